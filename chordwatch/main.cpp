// chordwatch: registers one key combination as a hotkey of its own thread and reports on
// standard output "startHotkey", then "0" (the atom name is taken), "1" (no registration) or
// "2" (registered) followed by one "3" per hotkey press.  Runs until WM_QUIT; exit code 0.
#include "atom_name.h"
#include "hotkey_request.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

// One report line, CR LF ended (stdout is in text mode) and flushed so that a reader at the
// other end of a pipe sees it before the next event.
void printLine(const char *text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A global atom that this process added; deleted once, by remove() or at scope end.
class GlobalAtom {
  public:
    explicit GlobalAtom(ATOM atom) : atom_(atom) {}
    GlobalAtom(const GlobalAtom &) = delete;
    GlobalAtom &operator=(const GlobalAtom &) = delete;
    ~GlobalAtom() { remove(); }

    ATOM get() const { return atom_; }
    void remove() {
        if (atom_ != 0)
            GlobalDeleteAtom(atom_);
        atom_ = 0;
    }

  private:
    ATOM atom_;
};

// A hotkey registered for the calling thread (no window); unregistered at scope end.
class ThreadHotkey {
  public:
    ThreadHotkey(int id, UINT modifiers, UINT key)
        : id_(id), registered_(RegisterHotKey(nullptr, id, modifiers, key) != FALSE) {}
    ThreadHotkey(const ThreadHotkey &) = delete;
    ThreadHotkey &operator=(const ThreadHotkey &) = delete;
    ~ThreadHotkey() {
        if (registered_)
            UnregisterHotKey(nullptr, id_);
    }

    bool registered() const { return registered_; }

  private:
    int id_;
    bool registered_;
};

// Until WM_QUIT: one "3" per WM_HOTKEY; every message is translated and dispatched.
void runMessageLoop() {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        // -1 (a failed call) ends the loop as well, instead of spinning on it.
        if (got == 0 || got == -1 || msg.message == WM_QUIT)
            return;
        if (msg.message == WM_HOTKEY)
            printLine("3");
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

} // namespace

int main(int argc, char **argv) {
    // Text mode whatever the CRT's default: "\n" leaves as CR LF.
    _setmode(_fileno(stdout), _O_TEXT);

    const auto request = chordwatch::readHotkeyArguments(argc, argv);
    printLine("startHotkey");
    if (!request) {
        printLine("1");
        return 0;
    }

    const chordwatch::AtomName name = chordwatch::makeAtomName();
    if (GlobalFindAtomA(name.data()) != 0) {
        printLine("0");
        return 0;
    }

    GlobalAtom atom(GlobalAddAtomA(name.data()));
    if (atom.get() == 0) {
        // The atom table would not take the name: nothing to delete, nothing registered.
        printLine("1");
        return 0;
    }

    // The atom doubles as the hotkey's identifier.
    ThreadHotkey hotkey(atom.get(), request->modifiers, request->key);
    if (!hotkey.registered()) {
        atom.remove();
        printLine("1");
        return 0;
    }

    printLine("2");
    runMessageLoop();
    // Leaving scope unregisters the hotkey, then deletes the atom; nothing more is printed.
    return 0;
}
