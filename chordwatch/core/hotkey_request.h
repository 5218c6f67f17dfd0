#pragma once
// What chordwatch reads from its command line and how it spells its atom name; no platform
// calls here, so the native unit tests exercise the same code the Windows program runs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace chordwatch {

// The combination to register: modifier flags (Alt 1, Control 2, Shift 4, Windows key 8, or
// any other bits, passed on unchecked) and the virtual-key code, also unchecked.
struct HotkeyRequest {
    std::uint32_t modifiers = 0;
    std::uint32_t key = 0;
};

// Reads argv[1..3] as atoi reads them: the first two OR-ed into the modifier mask, the third
// the key.  Arguments past the third are ignored.  Empty when fewer than three were given.
std::optional<HotkeyRequest> readHotkeyArguments(int argc, const char *const *argv);

// The atom name: 33 characters out of 0-9, A-Z, a-y, then NUL.
constexpr std::size_t kAtomNameLength = 33;
using AtomName = std::array<char, kAtomNameLength + 1>;

// Fills every position with draw() % 74 + 48 (codes '0' to 'y'), drawing again until
// accept(character) says yes.  draw is the generator (rand on Windows), accept the platform's
// letter-or-digit test; both are parameters so that the caller chooses them.
template <class Draw, class Accept> AtomName composeAtomName(Draw &&draw, Accept &&accept) {
    AtomName name{};
    for (std::size_t i = 0; i < kAtomNameLength; ++i) {
        char c;
        do {
            c = static_cast<char>(static_cast<int>(draw()) % 74 + 48);
        } while (!accept(c));
        name[i] = c;
    }
    name[kAtomNameLength] = '\0';
    return name;
}

} // namespace chordwatch
