#include "ui/settings_dialog.h"

#include <winsock2.h>

#include <cstdio>

#include "app/shell.h"
#include "common/text.h"
#include "res/resource.h"
#include "res/texts.h"
#include "server/control_server.h"
#include "ui/dialog.h"

namespace {

constexpr size_t TEXT_SIZE = 1000;

void show_host(HWND dialog)
{
    char name[TEXT_SIZE] = "";
    if (gethostname(name, TEXT_SIZE - 1) != 0) {
        return;
    }
    name[TEXT_SIZE - 1] = '\0';
    const char* shown = name;
    const hostent* host = gethostbyname(name);
    if (host != nullptr && host->h_addrtype == AF_INET && host->h_addr_list[0] != nullptr) {
        in_addr address;
        memcpy(&address, host->h_addr_list[0], sizeof address);
        shown = inet_ntoa(address);
    }
    char line[TEXT_SIZE];
    std::snprintf(line, sizeof line, TEXT_HOST_FORMAT, shown);
    SetDlgItemTextA(dialog, IDC_HOST, line);
}

void on_init(HWND dialog)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d", port);
    SetDlgItemTextA(dialog, IDC_PORT, text);
    show_host(dialog);
}

void on_ok(HWND dialog)
{
    char text[TEXT_SIZE] = "";
    GetDlgItemTextA(dialog, IDC_PORT, text, TEXT_SIZE);
    int new_port = 0;
    if (is_ascii_digit(text[0])) {
        new_port = parse_decimal(text);
    } else {
        const servent* service = getservbyname(text, nullptr);
        if (service == nullptr) {
            MessageBoxA(dialog, TEXT_BAD_PORT_NAME, TEXT_ERROR_TITLE, MB_OK);
            return;
        }
        new_port = ntohs(static_cast<u_short>(service->s_port));
    }
    if (new_port != port) {
        port = new_port;
        restart_listener(port);
        write_port(port);
    }
    EndDialog(dialog, IDOK);
}

constexpr DialogHandlers SETTINGS_DIALOG = {on_init, on_ok};

}  // namespace

INT_PTR show_settings_dialog(HWND owner)
{
    return show_dialog(owner, IDD_SETTINGS, SETTINGS_DIALOG);
}
