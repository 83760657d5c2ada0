#pragma once
// The replies a connection could not take at once, kept in order until it has room. The main
// thread composes a reply and sends it straight away when nothing waits; what the connection does
// not take waits here, and the worker, which watches the connection, sends it as room appears. So
// the main thread never waits for a client, and the bytes go out once each, in order.
//
// Threads: one queue, for the current connection. The main thread appends (while the connection
// is the current one); the worker sends from the front and empties it before the next connection
// becomes the current one. Each side's position is an atomic that only it writes; a side touches
// only the bytes between the positions that are its own.
#include <winsock2.h>
#include <windows.h>

#include <cstddef>

// A connection whose waiting replies would pass this many bytes gets no more replies: a client
// that reads nothing for about sixty status replies, or a track list or two beyond its system's
// buffers, has stopped listening.
constexpr size_t REPLY_QUEUE_BYTES = 64 * 1024;

// What became of a reply: all of it in the connection; (some of) it kept, for the worker to send
// once the connection has room (the caller wakes it); or refused, with nothing of it kept or
// sent, because the connection has failed or the reply would pass the bound.
enum class ReplyFate { sent, kept, refused };

// Main thread: sends the reply now if nothing waits, and keeps what the connection does not take.
ReplyFate send_or_keep(SOCKET socket, const char* reply, size_t length);

// Worker, before a connection becomes the current one: nothing waits.
void clear_reply_queue();
// Worker: whether replies wait for room.
bool replies_waiting();
// Worker: sends what waits, as far as the connection takes it. False when the connection failed.
bool send_waiting_replies(SOCKET socket);
