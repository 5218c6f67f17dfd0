#pragma once
// The atom name as chordwatch makes it on Windows: the C runtime's srand/rand seeded with the
// calendar time in whole seconds, characters judged by IsCharAlphaNumericA.  The test tools
// link this library too, so they can name the atom that a run in a given second uses.
#include "hotkey_request.h"

namespace chordwatch {

// Seeds srand with `seconds` and composes the name from rand().
AtomName makeAtomNameForSeconds(unsigned seconds);

// makeAtomNameForSeconds with the current calendar time.
AtomName makeAtomName();

} // namespace chordwatch
