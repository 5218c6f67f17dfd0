#pragma once
// Literal, case-sensitive text operations shared by the protocol code: the status test of a
// response, the inner text of an element, and the parts of a URL.  No state; any thread.
#include <cstdint>
#include <string>

namespace portlink {

// True when the second space-separated word of the response's first line (lines split at
// CR/LF, runs counting as one, leading ones skipped) begins with '2'.  `rest` receives the
// text after the single character that ends the first line (empty when there is none; the
// whole response when it holds nothing but line ends).
bool checkHttpStatus(const std::wstring &response, std::wstring &rest);

// Inner text of the first <tag>...</tag> in text, untrimmed; empty when either tag is missing.
std::wstring getElementText(const std::wstring &tag, const std::wstring &text);

// Splits scheme://authority/path.  Returns the host; authority, path and port are outputs.
// Port: 80 when the authority names none, wcstol-style reading otherwise, 0 without "://".
std::wstring splitUrl(const std::wstring &url, std::wstring &authority, std::wstring &path,
                      int32_t &port);

} // namespace portlink
