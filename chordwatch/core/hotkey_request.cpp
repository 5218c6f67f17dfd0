#include "hotkey_request.h"

#include <cstdlib>

namespace chordwatch {

std::optional<HotkeyRequest> readHotkeyArguments(int argc, const char *const *argv) {
    if (argc < 4 || argv == nullptr)
        return std::nullopt;
    HotkeyRequest request;
    request.modifiers = static_cast<std::uint32_t>(std::atoi(argv[1])) |
                        static_cast<std::uint32_t>(std::atoi(argv[2]));
    request.key = static_cast<std::uint32_t>(std::atoi(argv[3]));
    return request;
}

} // namespace chordwatch
