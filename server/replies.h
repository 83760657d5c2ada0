#pragma once
// The sending half of the control protocol, on the main thread: the replies to the connected
// client, each in one piece and ending in "!".

// The status text and "!" to the connected client, if any.
void send_status();
// The track list (only while playing) and "!" to the connected client, if any.
void send_track_list();
