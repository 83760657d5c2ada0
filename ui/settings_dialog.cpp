#include "ui/settings_dialog.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "res/resource.h"
#include "res/texts.h"
#include "ui/dialog.h"
#include "ui/host_address.h"
#include "ui/wide_text.h"

namespace {

constexpr size_t TEXT_SIZE = 1000;
// The interfaces' addresses the host line chooses from, and the room the system lists them in
// (its documentation advises 15 KB to begin with); a machine with more has the resolver's answer.
constexpr size_t HOST_ADDRESSES = 64;
constexpr size_t ADAPTER_LIST_BYTES = 32 * 1024;
// An address outside every local network, only to ask the routing table which interface holds
// the default route (GetBestInterface sends nothing). From a block reserved for documentation,
// which no network routes specially.
constexpr uint8_t OUTSIDE_ADDRESS[] = {203, 0, 113, 1};

// The IPv4 addresses of the interfaces that are up, in the system's order; how many.
size_t list_interface_addresses(InterfaceAddress* addresses, size_t capacity)
{
    // Aligned for the records the system writes into it.
    static ULONGLONG list[ADAPTER_LIST_BYTES / sizeof(ULONGLONG)];
    ULONG size = sizeof list;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(list);
    if (GetAdaptersAddresses(AF_INET, flags, nullptr, adapters, &size) != NO_ERROR) {
        return 0;
    }
    size_t count = 0;
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
             unicast != nullptr && count < capacity; unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (address == nullptr || address->sa_family != AF_INET) {
                continue;
            }
            const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
            addresses[count].interface_index = adapter->IfIndex;
            std::memcpy(addresses[count].address, &ipv4->sin_addr, sizeof addresses[count].address);
            ++count;
        }
    }
    return count;
}

// An address of this machine that clients can reach (ui/host_address.h), or its name; nothing
// without either.
void show_host(HWND dialog)
{
    char name[TEXT_SIZE] = "";
    if (gethostname(name, TEXT_SIZE - 1) != 0) {
        name[0] = '\0';
    }
    name[TEXT_SIZE - 1] = '\0';
    uint8_t resolved[4];
    const hostent* host = name[0] != '\0' ? gethostbyname(name) : nullptr;
    const bool resolves = host != nullptr && host->h_addrtype == AF_INET && host->h_addr_list[0] != nullptr;
    if (resolves) {
        std::memcpy(resolved, host->h_addr_list[0], sizeof resolved);
    }
    InterfaceAddress addresses[HOST_ADDRESSES];
    const size_t count = list_interface_addresses(addresses, HOST_ADDRESSES);
    IPAddr outside;
    std::memcpy(&outside, OUTSIDE_ADDRESS, sizeof outside);
    DWORD routed_index = 0;
    const bool routed = GetBestInterface(outside, &routed_index) == NO_ERROR;
    const HostFacts facts = {addresses, count, routed, routed_index, resolves ? resolved : nullptr, name};
    char shown[TEXT_SIZE];
    choose_host_text(facts, shown, sizeof shown);
    if (shown[0] == '\0') {
        return;
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
