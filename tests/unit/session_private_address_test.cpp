// The private-address rule at its boundaries, as both isLANIP and the add action apply it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "private_address.h"

using portlink::isPrivateAddress;

namespace {

// The address a.b.c.d in network order, as it would be stored from an in_addr.
uint32_t addressFromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t octets[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

struct Case {
    uint8_t a, b, c, d;
    bool isPrivate;
};

void expectAll(const std::vector<Case> &cases) {
    for (const Case &c : cases)
        EXPECT_EQ(isPrivateAddress(addressFromOctets(c.a, c.b, c.c, c.d)), c.isPrivate)
            << int(c.a) << '.' << int(c.b) << '.' << int(c.c) << '.' << int(c.d);
}

} // namespace

TEST(PrivateAddress, OneNinetyTwoOneSixtyEightOnly) {
    expectAll({{192, 168, 0, 1, true},
               {192, 168, 1, 20, true},
               {192, 168, 255, 255, true},
               {192, 167, 0, 1, false},
               {192, 169, 0, 1, false},
               {168, 192, 0, 1, false}});
}

TEST(PrivateAddress, OneSeventyTwoSixteenToThirtyOne) {
    expectAll({{172, 15, 0, 1, false},
               {172, 16, 0, 1, true},
               {172, 16, 5, 5, true},
               {172, 31, 0, 1, true},
               {172, 31, 255, 254, true},
               {172, 32, 0, 1, false}});
}

TEST(PrivateAddress, TenAndZeroFirstOctets) {
    expectAll({{10, 0, 0, 0, true},
               {10, 1, 2, 3, true},
               {10, 255, 255, 255, true},
               {11, 0, 0, 1, false},
               {9, 255, 255, 255, false},
               {0, 0, 0, 0, true},
               {0, 1, 2, 3, true}});
    EXPECT_TRUE(isPrivateAddress(0)); // an address that was never found
}

TEST(PrivateAddress, PublicAndSpecialRangesAreNotPrivate) {
    expectAll({{127, 0, 0, 1, false},
               {169, 254, 1, 1, false},
               {100, 64, 0, 1, false},
               {8, 8, 8, 8, false},
               {255, 255, 255, 255, false}});
}

TEST(PrivateAddress, OctetOrderIsNetworkOrder) {
    // 10.x in network order must not be confused with x.x.x.10.
    EXPECT_FALSE(isPrivateAddress(addressFromOctets(1, 2, 3, 10)));
    EXPECT_TRUE(isPrivateAddress(addressFromOctets(10, 3, 2, 1)));
}

// Which external addresses of the gateway mean that another NAT sits beyond it.
TEST(ExternalAddress, GloballyRoutableAndShared) {
    using portlink::isGloballyRoutable;
    using portlink::isSharedAddress;
    struct Row {
        uint8_t a, b, c, d;
        bool global, shared;
    };
    const Row rows[] = {
        {8, 8, 4, 77, true, false},      {100, 63, 255, 255, true, false},
        {100, 64, 0, 1, false, true},    {100, 127, 255, 254, false, true},
        {100, 128, 0, 0, true, false},   {10, 1, 2, 3, false, false},
        {172, 16, 0, 1, false, false},   {172, 32, 0, 1, true, false},
        {192, 168, 1, 2, false, false},  {192, 0, 0, 9, false, false},
        {192, 0, 1, 1, true, false},     {192, 0, 2, 7, false, false},
        {198, 18, 0, 1, false, false},   {198, 19, 255, 1, false, false},
        {198, 20, 0, 1, true, false},    {203, 0, 113, 5, false, false},
        {169, 254, 3, 4, false, false},  {127, 0, 0, 1, false, false},
        {0, 0, 0, 0, false, false},      {224, 0, 0, 1, false, false},
        {255, 255, 255, 255, false, false}, {223, 255, 255, 254, true, false},
    };
    for (const Row &r : rows) {
        const uint32_t address = addressFromOctets(r.a, r.b, r.c, r.d);
        EXPECT_EQ(isGloballyRoutable(address), r.global)
            << int(r.a) << '.' << int(r.b) << '.' << int(r.c) << '.' << int(r.d);
        EXPECT_EQ(isSharedAddress(address), r.shared)
            << int(r.a) << '.' << int(r.b) << '.' << int(r.c) << '.' << int(r.d);
    }
}
