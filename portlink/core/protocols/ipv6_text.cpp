#include "ipv6_text.h"

#include <algorithm>
#include <cstddef>

#include "ipv4_text.h"

namespace portlink {

namespace {

constexpr size_t kGroups = 8;

uint32_t group(const Ipv6Address &address, size_t index) {
    return static_cast<uint32_t>(address[2 * index] << 8 | address[2 * index + 1]);
}

bool isIpv4Mapped(const Ipv6Address &address) {
    for (size_t i = 0; i < 10; ++i)
        if (address[i] != 0)
            return false;
    return address[10] == 0xff && address[11] == 0xff;
}

void appendHex(std::wstring &text, uint32_t value) {
    static const wchar_t digits[] = L"0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const uint32_t digit = (value >> shift) & 0xf;
        started = started || digit != 0 || shift == 0;
        if (started)
            text += digits[digit];
    }
}

int hexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

} // namespace

std::wstring formatIpv6(const Ipv6Address &address) {
    if (isIpv4Mapped(address)) {
        std::wstring text = L"::ffff:";
        for (size_t i = 12; i < 16; ++i) {
            if (i > 12)
                text += L'.';
            text += std::to_wstring(address[i]);
        }
        return text;
    }
    // The first longest run of zero groups, if it spans two or more.
    size_t bestStart = kGroups, bestLength = 1;
    for (size_t i = 0; i < kGroups;) {
        size_t length = 0;
        while (i + length < kGroups && group(address, i + length) == 0)
            ++length;
        if (length > bestLength) {
            bestStart = i;
            bestLength = length;
        }
        i += length == 0 ? 1 : length;
    }
    std::wstring text;
    for (size_t i = 0; i < kGroups; ++i) {
        if (i == bestStart) {
            text += L"::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != L':')
            text += L':';
        appendHex(text, group(address, i));
    }
    return text;
}

bool parseIpv6(const std::wstring &text, Ipv6Address &address) {
    // The longest valid text is eight four-digit groups, or six and a dotted tail: 45.
    if (text.size() < 2 || text.size() > 45)
        return false;
    Ipv6Address bytes{};
    size_t count = 0;         // groups read, a dotted tail counting as two
    size_t gap = kGroups + 1; // where "::" stands, in groups; kGroups + 1 when absent
    const wchar_t *pos = text.data();
    const wchar_t *const end = pos + text.size();
    if (pos[0] == L':') {
        if (pos[1] != L':')
            return false;
        gap = 0;
        pos += 2;
    }
    while (pos < end) {
        const wchar_t *start = pos;
        uint32_t value = 0;
        for (; pos < end && pos - start < 5 && hexValue(*pos) >= 0; ++pos)
            value = value << 4 | static_cast<uint32_t>(hexValue(*pos));
        if (pos < end && *pos == L'.') {
            // A dotted tail ends the text and takes the place of two groups.
            if (count + 2 > kGroups || !parseDottedIpv4(start, end, &bytes[2 * count]))
                return false;
            count += 2;
            pos = end;
            break;
        }
        if (pos == start || pos - start > 4 || count == kGroups)
            return false;
        bytes[2 * count] = static_cast<uint8_t>(value >> 8);
        bytes[2 * count + 1] = static_cast<uint8_t>(value);
        ++count;
        if (pos == end)
            break;
        if (*pos != L':' || ++pos == end)
            return false; // a stray character, or a lone ":" at the end
        if (*pos == L':') {
            if (gap != kGroups + 1)
                return false;
            gap = count;
            ++pos;
        }
    }
    if (gap == kGroups + 1) {
        if (count != kGroups)
            return false;
    } else {
        if (count >= kGroups)
            return false; // "::" must stand for at least one group
        // The groups after the gap go to the end; the gap's groups are zero.
        const size_t head = 2 * gap, tail = 2 * (count - gap);
        Ipv6Address spread{};
        std::copy(bytes.begin(), bytes.begin() + head, spread.begin());
        std::copy(bytes.begin() + head, bytes.begin() + head + tail, spread.end() - tail);
        bytes = spread;
    }
    address = bytes;
    return true;
}

bool isGlobalUnicast(const Ipv6Address &address) {
    return (address[0] & 0xe0) == 0x20;
}

bool isLinkLocal(const Ipv6Address &address) {
    return address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
}

} // namespace portlink
