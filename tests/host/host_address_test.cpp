#include <gtest/gtest.h>

#include <string>

#include "ui/host_address.h"

namespace {

std::string chosen(const HostFacts& facts)
{
    char text[64];
    choose_host_text(facts, text, sizeof text);
    return text;
}

// A Windows machine with VirtualBox's host-only adapter listed before the Wi-Fi, which holds the
// default route; its name resolves to the virtual adapter's address first, as the list's order
// makes it.
constexpr InterfaceAddress VIRTUAL_FIRST[] = {
    {12, {192, 168, 56, 1}},
    {7, {169, 254, 10, 20}},  // the Wi-Fi's own link-local address, listed before its real one
    {7, {192, 168, 1, 23}},
    {1, {127, 0, 0, 1}},
};
constexpr uint8_t VIRTUAL_ADDRESS[] = {192, 168, 56, 1};

TEST(HostAddress, TheRoutedInterfaceWinsOverAVirtualAdapterListedFirst)
{
    const HostFacts facts = {VIRTUAL_FIRST, 4, true, 7, VIRTUAL_ADDRESS, "desk"};
    EXPECT_EQ(chosen(facts), "192.168.1.23");
}

TEST(HostAddress, WithoutARoutedInterfaceTheNameSaysIt)
{
    // No default route (an unplugged machine), or the system could not say which one holds it.
    const HostFacts unrouted = {VIRTUAL_FIRST, 4, false, 0, VIRTUAL_ADDRESS, "desk"};
    EXPECT_EQ(chosen(unrouted), "192.168.56.1");
    // A route through an interface with no address others can reach counts for nothing either.
    const HostFacts loopback_only = {VIRTUAL_FIRST, 4, true, 1, VIRTUAL_ADDRESS, "desk"};
    EXPECT_EQ(chosen(loopback_only), "192.168.56.1");
    // Nor through one the list does not have.
    const HostFacts unknown = {VIRTUAL_FIRST, 4, true, 99, nullptr, "desk"};
    EXPECT_EQ(chosen(unknown), "desk");
}

TEST(HostAddress, WithoutAnyAddressTheNameOrNothing)
{
    const HostFacts named = {nullptr, 0, false, 0, nullptr, "desk"};
    EXPECT_EQ(chosen(named), "desk");
    const HostFacts nothing = {nullptr, 0, false, 0, nullptr, ""};
    EXPECT_EQ(chosen(nothing), "");
    const HostFacts no_name = {nullptr, 0, false, 0, nullptr, nullptr};
    EXPECT_EQ(chosen(no_name), "");
}

TEST(HostAddress, TheTextIsCutToTheBufferAndAlwaysEnds)
{
    const InterfaceAddress longest[] = {{3, {255, 255, 255, 254}}};
    const HostFacts facts = {longest, 1, true, 3, nullptr, ""};
    char text[8];
    choose_host_text(facts, text, sizeof text);
    EXPECT_STREQ(text, "255.255");
}

}  // namespace
