#include "private_address.h"

#include <cstring>

namespace portlink {

bool isPrivateAddress(uint32_t address) {
    uint8_t octets[4];
    std::memcpy(octets, &address, sizeof octets);
    const unsigned a = octets[0];
    const unsigned b = octets[1];
    if (a == 192 && b == 168)
        return true;
    if (a == 172 && b >= 16 && b <= 31)
        return true;
    if (a == 0)
        return true;
    return a == 10;
}

bool isSharedAddress(uint32_t address) {
    uint8_t octets[4];
    std::memcpy(octets, &address, sizeof octets);
    return octets[0] == 100 && (octets[1] & 0xc0) == 64;
}

bool isGloballyRoutable(uint32_t address) {
    uint8_t octets[4];
    std::memcpy(octets, &address, sizeof octets);
    const uint32_t host = uint32_t{octets[0]} << 24 | uint32_t{octets[1]} << 16 |
                          uint32_t{octets[2]} << 8 | octets[3];
    struct Block {
        uint32_t prefix;
        unsigned length;
    };
    static const Block kNotGlobal[] = {
        {0x00000000, 8},  {0x0a000000, 8},  {0x64400000, 10}, {0x7f000000, 8},
        {0xa9fe0000, 16}, {0xac100000, 12}, {0xc0000000, 24}, {0xc0000200, 24},
        {0xc0a80000, 16}, {0xc6120000, 15}, {0xc6336400, 24}, {0xcb007100, 24},
        {0xe0000000, 4},  {0xf0000000, 4},
    };
    for (const Block &b : kNotGlobal)
        if ((host >> (32 - b.length)) == (b.prefix >> (32 - b.length)))
            return false;
    return true;
}

std::wstring dottedAddress(uint32_t address) {
    uint8_t octets[4];
    std::memcpy(octets, &address, sizeof octets);
    std::wstring text;
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0)
            text += L'.';
        text += std::to_wstring(octets[i]);
    }
    return text;
}

} // namespace portlink
