#include "device_uuid.h"

#include <algorithm>

#include "text_ops.h"

namespace portlink {

std::wstring deviceUuidOfName(const std::wstring &name, bool typeMayFollow) {
    static const std::wstring prefix = L"uuid:";
    const std::wstring trimmed = trimXmlWhiteSpace(name);
    if (trimmed.size() <= prefix.size())
        return std::wstring();
    for (size_t i = 0; i < prefix.size(); ++i) {
        const wchar_t c = trimmed[i];
        if ((c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c) != prefix[i])
            return std::wstring();
    }
    const size_t end = trimmed.find(L"::", prefix.size());
    if (end != std::wstring::npos && !typeMayFollow)
        return std::wstring();
    const size_t length = (end == std::wstring::npos ? trimmed.size() : end) - prefix.size();
    if (length == 0 || length > kMaxDeviceUuidLength)
        return std::wstring();
    const auto first = trimmed.begin() + static_cast<std::ptrdiff_t>(prefix.size());
    const auto last = first + static_cast<std::ptrdiff_t>(length);
    if (!std::all_of(first, last, [](wchar_t c) { return c > L' ' && c < 0x7F; }))
        return std::wstring();
    return std::wstring(first, last);
}

} // namespace portlink
