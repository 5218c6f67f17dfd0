#include "atom_name.h"

#include <windows.h>

#include <cstdlib>
#include <ctime>

namespace chordwatch {

AtomName makeAtomNameForSeconds(unsigned seconds) {
    std::srand(seconds);
    return composeAtomName([] { return std::rand(); },
                           [](char c) { return IsCharAlphaNumericA(c) != FALSE; });
}

AtomName makeAtomName() {
    return makeAtomNameForSeconds(static_cast<unsigned>(std::time(nullptr)));
}

} // namespace chordwatch
