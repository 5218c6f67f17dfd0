#pragma once
// Conversion between the extension's wide text and the 8-bit text that crosses a socket,
// both ways in the calling thread's ANSI code page.
#include <cstddef>
#include <string>

namespace portlink {

// Wide text to 8-bit text (no terminator in the result).
std::string narrowAnsi(const std::wstring &text);

// The first `count` bytes, up to the first zero byte among them, to wide text.
std::wstring widenAnsi(const char *bytes, size_t count);

} // namespace portlink
