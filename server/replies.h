#pragma once
// The sending half of the control protocol, on the main thread: the replies to the connected
// client, each in one piece and ending in "!".
#include <cstdint>

// Whether a reply to this addressee (a connection's generation, or REPLY_TO_CURRENT) would reach
// anyone now.
bool reply_heard(uint16_t addressee);
// The status text and "!".
void send_status(uint16_t addressee);
// The track list (only while playing) and "!".
void send_track_list(uint16_t addressee);
