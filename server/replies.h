#pragma once
// The sending half of the control protocol, on the main thread: each reply goes to its addressee
// in one piece and ends in "!". What a reply says is the caller's: this half knows nothing of the
// drive.
#include <cstdint>

// Whether a reply to this addressee (a connection's generation, or REPLY_TO_CURRENT) would reach
// anyone now.
bool reply_heard(uint16_t addressee);
// The text (at most REPLY_BUFFER_SIZE - 2 bytes of it) and "!", to the addressee's connection;
// nothing when nobody would hear it.
void send_reply(uint16_t addressee, const char* text);
