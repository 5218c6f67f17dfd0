// IPv6 text both ways: any 16 bytes format to text that reads back to them and formats the
// same again; any text that reads as an address reads the same from its canonical form.
#include "ipv6_text.h"

#include <algorithm>

#include "fuzz_input.h"

using fuzzing::require;
using portlink::Ipv6Address;

namespace {

// Canonical text has no upper case, no group of five characters, and "::" at most once.
bool looksCanonical(const std::wstring &text) {
    if (std::any_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'A' && c <= L'Z'; }))
        return false;
    const size_t gap = text.find(L"::");
    return gap == std::wstring::npos || text.find(L"::", gap + 1) == std::wstring::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Ipv6Address bytes{};
    std::copy(data, data + std::min(size, bytes.size()), bytes.begin());
    const std::wstring text = portlink::formatIpv6(bytes);
    Ipv6Address back{};
    require(portlink::parseIpv6(text, back) && back == bytes);
    require(portlink::formatIpv6(back) == text && looksCanonical(text));

    Ipv6Address parsed{};
    if (portlink::parseIpv6(fuzzing::widenUntilZero(data, size), parsed)) {
        const std::wstring canonical = portlink::formatIpv6(parsed);
        Ipv6Address again{};
        require(portlink::parseIpv6(canonical, again) && again == parsed);
        require(portlink::formatIpv6(again) == canonical);
    }
    return 0;
}
