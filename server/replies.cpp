#include "server/replies.h"

#include <winsock2.h>
#include <windows.h>

#include "player/cd_device.h"
#include "player/status_text.h"
#include "server/control_server.h"
#include "server/line_protocol.h"

namespace {

// Sends the whole reply, continuing partial sends. A connection that fails (or whose client
// stops reading for the send time-out) gets no more replies; the worker still receives and
// hands over whatever the client sent.
void send_reply(const char* text)
{
    const SOCKET socket = reply_socket();
    if (socket == INVALID_SOCKET) {
        return;
    }
    char reply[TRACK_LIST_SIZE + 2];
    const size_t length = compose_reply(text, reply, sizeof reply);
    size_t sent = 0;
    while (sent < length) {
        const int result = send(socket, reply + sent, static_cast<int>(length - sent), 0);
        if (result == SOCKET_ERROR || result == 0) {
            stop_replies(socket);
            return;
        }
        sent += static_cast<size_t>(result);
    }
}

}  // namespace

void send_status()
{
    send_reply(status_text);
}

void send_track_list()
{
    if (reply_socket() == INVALID_SOCKET) {
        return;
    }
    char list[TRACK_LIST_SIZE] = "";
    if (query_mode() == MCI_MODE_PLAY) {
        build_track_list(list);
    }
    send_reply(list);
}
