#include "server/replies.h"

#include <winsock2.h>
#include <windows.h>

#include "server/command_flow.h"
#include "server/control_server.h"
#include "server/line_protocol.h"
#include "server/reply_queue.h"

bool reply_heard(uint16_t addressee)
{
    return reply_socket(addressee) != INVALID_SOCKET;
}

// Sends the whole reply on the (non-blocking) connection without waiting: what it cannot take now
// waits in the reply queue, and the worker sends it as room appears. A connection that fails, or
// whose waiting replies would pass the queue's bound, gets no more replies; the worker still
// receives and hands over whatever the client sent.
void send_reply(uint16_t addressee, const char* text)
{
    const SOCKET socket = reply_socket(addressee);
    if (socket == INVALID_SOCKET) {
        return;
    }
    char reply[REPLY_BUFFER_SIZE];
    const size_t length = compose_reply(text, reply, sizeof reply);
    switch (send_or_keep(socket, reply, length)) {
    case ReplyFate::sent:
        break;
    case ReplyFate::kept:
        // The worker sends it once the connection has room.
        wake_command_flow();
        break;
    case ReplyFate::refused:
        stop_replies(socket);
        break;
    }
}
