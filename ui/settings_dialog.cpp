#include "ui/settings_dialog.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "res/resource.h"
#include "res/texts.h"
#include "ui/dialog.h"
#include "ui/wide_text.h"

namespace {

constexpr size_t TEXT_SIZE = 1000;

// This machine's address, or its name when that does not resolve; nothing without a name.
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
        std::memcpy(&address, host->h_addr_list[0], sizeof address);
        shown = inet_ntoa(address);
    }
    // The name comes in the system's code page, the line's format in 932.
    set_item_text(dialog, IDC_HOST, TEXT_HOST_FORMAT, shown);
}

void on_init(HWND dialog, void* context)
{
    const SettingsChoice* choice = static_cast<const SettingsChoice*>(context);
    char text[32];
    std::snprintf(text, sizeof text, "%d", choice->port);
    SetDlgItemTextA(dialog, IDC_PORT, text);
    show_host(dialog);
}

bool on_ok(HWND dialog, void* context)
{
    char text[TEXT_SIZE] = "";
    GetDlgItemTextA(dialog, IDC_PORT, text, TEXT_SIZE);
    int port = 0;
    if (is_ascii_digit(text[0])) {
        port = parse_decimal(text);
    } else {
        const servent* service = getservbyname(text, nullptr);
        if (service == nullptr) {
            show_message(dialog, TEXT_BAD_PORT_NAME, TEXT_ERROR_TITLE);
            return false;
        }
        port = ntohs(static_cast<u_short>(service->s_port));
    }
    // The listener takes the low 16 bits: those of 0 or 65536 would make it take any free port.
    if ((port & 0xFFFF) == 0) {
        show_message(dialog, TEXT_BAD_PORT_NAME, TEXT_ERROR_TITLE);
        return false;
    }
    SettingsChoice* choice = static_cast<SettingsChoice*>(context);
    if (port != choice->port && choice->use_port != nullptr && !choice->use_port(dialog, port)) {
        show_message(dialog, TEXT_PORT_IN_USE, TEXT_ERROR_TITLE);
        return false;
    }
    choice->port = port;
    return true;
}

constexpr DialogHandlers SETTINGS_DIALOG = {on_init, on_ok};

}  // namespace

INT_PTR show_settings_dialog(HINSTANCE module, HWND owner, SettingsChoice* choice)
{
    return show_dialog(module, owner, IDD_SETTINGS, SETTINGS_DIALOG, choice);
}
