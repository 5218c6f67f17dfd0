#pragma once
// Turns fuzzer bytes into the wide text that the socket edge would make of them: one byte
// becomes one character, as in a single-byte code page, and the text ends at the first zero
// byte, where the conversion of a received answer ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzzing {

inline std::wstring widenUntilZero(const uint8_t *data, size_t size) {
    std::wstring text;
    text.reserve(size);
    for (size_t i = 0; i < size && data[i] != 0; ++i)
        text += static_cast<wchar_t>(data[i]);
    return text;
}

inline bool endsWith(const std::wstring &text, const std::wstring &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Stops the run with a crash report when a property of the code under test does not hold.
inline void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace fuzzing
