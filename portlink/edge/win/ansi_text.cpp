#include "win/ansi_text.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace portlink {

std::string narrowAnsi(const std::wstring &text) {
    if (text.empty() || text.size() > INT_MAX)
        return std::string();
    const int length = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, &result[0], bytes, nullptr,
                        nullptr);
    return result;
}

std::wstring widenAnsi(const char *bytes, size_t count) {
    const void *zero = std::memchr(bytes, 0, count);
    if (zero != nullptr)
        count = static_cast<size_t>(static_cast<const char *>(zero) - bytes);
    if (count == 0 || count > INT_MAX)
        return std::wstring();
    const int length = static_cast<int>(count);
    const int chars = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, length, nullptr, 0);
    if (chars <= 0)
        return std::wstring();
    std::wstring result(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, length, &result[0], chars);
    return result;
}

} // namespace portlink
