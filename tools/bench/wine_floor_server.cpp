// Wine's own socket floor: the least a Winsock server can do for the control protocol's
// request/reply pattern. One thread, blocking accept, recv and send (Windows Sockets 2.2, the
// program's receive buffer), one send per reply ("pause!" to every LF). Built for Windows and run
// under Wine with the build's prefix, it shows what Wine's sockets cost before any program does
// anything.
//
//   wine_floor_server PORT [LIFETIME_S]

#include "tools/bench/win_floor.h"

int main(int argc, char** argv)
{
    long port = 0;
    long lifetime_s = 0;
    if (!win_floor::parse_arguments(argc, argv, "wine_floor_server", &port, &lifetime_s)) {
        return 2;
    }
    win_floor::limit_lifetime(lifetime_s);
    const SOCKET listener = win_floor::start_listening(port);
    if (listener == INVALID_SOCKET) {
        return 1;
    }
    for (;;) {
        const SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            continue;
        }
        win_floor::set_up_connection(client, nullptr);
        static char chunk[64 * 1024];
        for (;;) {
            const int n = recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            bool failed = false;
            for (int i = 0; i < n && !failed; ++i) {
                failed =
                    chunk[i] == '\n' && !win_floor::send_all(client, win_floor::REPLY, sizeof win_floor::REPLY - 1);
            }
            if (failed) {
                break;
            }
        }
        closesocket(client);
    }
}
