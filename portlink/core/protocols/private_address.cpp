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
