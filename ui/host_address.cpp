#include "ui/host_address.h"

#include <cstdio>

namespace {

// An address another machine may reach this one by: not "any", not this machine's loopback, not
// a link-local one that the system picks for itself when no network gave it an address.
bool reachable(const uint8_t* address)
{
    const bool unspecified = address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
    const bool loopback = address[0] == 127;
    const bool link_local = address[0] == 169 && address[1] == 254;
    return !unspecified && !loopback && !link_local;
}

void write_address(const uint8_t* address, char* text, size_t size)
{
    std::snprintf(text, size, "%u.%u.%u.%u", static_cast<unsigned>(address[0]), static_cast<unsigned>(address[1]),
        static_cast<unsigned>(address[2]), static_cast<unsigned>(address[3]));
}

}  // namespace

void choose_host_text(const HostFacts& facts, char* text, size_t size)
{
    if (size == 0) {
        return;
    }
    text[0] = '\0';
    if (facts.routed) {
        for (size_t i = 0; i < facts.address_count; ++i) {
            const InterfaceAddress& entry = facts.addresses[i];
            if (entry.interface_index == facts.routed_index && reachable(entry.address)) {
                write_address(entry.address, text, size);
                return;
            }
        }
    }
    if (facts.resolved != nullptr) {
        write_address(facts.resolved, text, size);
        return;
    }
    if (facts.name != nullptr) {
        std::snprintf(text, size, "%s", facts.name);
    }
}
