#include "ui/settings_dialog.h"

#include <winsock2.h>

#include <cstdio>

#include "app/main_window.h"
#include "app/settings.h"
#include "app/text.h"
#include "res/resource.h"
#include "res/texts.h"
#include "server/control_server.h"

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
    place_near_cursor(dialog);
    show_at_once(dialog);
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

INT_PTR CALLBACK settings_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        on_init(dialog);
        break;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
            on_ok(dialog);
        } else if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
        }
        break;
    default:
        break;
    }
    return FALSE;
}

}  // namespace

void place_near_cursor(HWND dialog)
{
    RECT work_area = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work_area, 0);
    RECT rect = {};
    GetWindowRect(dialog, &rect);
    POINT cursor = {};
    GetCursorPos(&cursor);
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    LONG x = cursor.x;
    LONG y = cursor.y;
    if (x + width >= work_area.right) {
        x -= width;
    }
    if (y + height >= work_area.bottom) {
        y -= height;
    }
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void show_at_once(HWND dialog)
{
    ShowWindow(dialog, SW_SHOW);
}

INT_PTR show_settings_dialog(HWND owner)
{
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), owner, settings_procedure, 0);
}
