// chord_atoms names SECONDS...: prints "SECONDS NAME" for each, NAME being the atom name that
// chordwatch makes when started in that second (the same code, linked from chordwatch).
// chord_atoms find SECONDS...: prints "SECONDS NAME present" or "SECONDS NAME absent"
// according to GlobalFindAtomA.
// chord_atoms now: prints the calendar time in seconds as this process sees it.
#include "atom_name.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "now") == 0) {
        std::printf("%lld\n", static_cast<long long>(std::time(nullptr)));
        return 0;
    }
    if (argc < 2 || (std::strcmp(argv[1], "names") != 0 && std::strcmp(argv[1], "find") != 0)) {
        std::fprintf(stderr, "usage: chord_atoms names|find SECONDS... | chord_atoms now\n");
        return 2;
    }
    const bool find = std::strcmp(argv[1], "find") == 0;
    for (int i = 2; i < argc; ++i) {
        const unsigned seconds = static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10));
        const chordwatch::AtomName name = chordwatch::makeAtomNameForSeconds(seconds);
        if (find)
            std::printf("%u %s %s\n", seconds, name.data(),
                        GlobalFindAtomA(name.data()) != 0 ? "present" : "absent");
        else
            std::printf("%u %s\n", seconds, name.data());
    }
    return 0;
}
