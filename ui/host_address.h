#pragma once
// What the settings dialog's host line shows: an address of this machine that clients can reach.
// Platform-free, so the choice is unit-tested natively; ui/settings_dialog.cpp feeds it what the
// system says about its network interfaces.
#include <cstddef>
#include <cstdint>

// One IPv4 address of a network interface that is up, in the order the system lists them:
// interface by interface, each one's addresses in its order. The bytes as written, a.b.c.d.
struct InterfaceAddress {
    uint32_t interface_index;
    uint8_t address[4];
};

struct HostFacts {
    const InterfaceAddress* addresses;
    size_t address_count;
    // The interface that holds the default route, toward the rest of the network; none when the
    // machine has no such route, or the system cannot say.
    bool routed;
    uint32_t routed_index;
    // The first address the host's own name resolves to, or nullptr.
    const uint8_t* resolved;
    // The host's name ("" when it has none).
    const char* name;
};

// The text to show, into text (always terminated): the first address of the routed interface
// that others can reach (neither 0.0.0.0, nor loopback, nor link-local 169.254.x.x); otherwise the
// first address the name resolves to; otherwise the name; "" when there is none of them. A list
// often starts with a virtual adapter (Hyper-V, WSL, VirtualBox, a VPN) whose address leads
// nowhere from another machine, and a name often resolves to one: the route tells the one in use.
void choose_host_text(const HostFacts& facts, char* text, size_t size);
