#include "ipv4_text.h"

#include <cstddef>
#include <cstring>

namespace portlink {

bool parseDottedIpv4(const wchar_t *begin, const wchar_t *end, uint8_t *octets) {
    uint8_t read[4];
    const wchar_t *pos = begin;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos == end || *pos != L'.')
                return false;
            ++pos;
        }
        const wchar_t *start = pos;
        uint32_t value = 0;
        for (; pos < end && pos - start < 3 && *pos >= L'0' && *pos <= L'9'; ++pos)
            value = value * 10 + static_cast<uint32_t>(*pos - L'0');
        const ptrdiff_t digits = pos - start;
        if (digits == 0 || value > 255 || (digits > 1 && *start == L'0'))
            return false;
        read[part] = static_cast<uint8_t>(value);
    }
    if (pos != end)
        return false;
    std::memcpy(octets, read, sizeof read);
    return true;
}

} // namespace portlink
