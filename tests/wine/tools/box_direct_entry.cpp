// box_direct_entry LIBRARY: loads the runtime library from LIBRARY, calls its entry
// "Boundstart" with this program's instance and the library's module handle, and exits with
// the entry's result; the launcher-free baseline of the start benchmark.  Exit code 4 when
// the library does not load or has no entry.
#include <windows.h>

#include <shellapi.h>

int main() {
    // Wide arguments without a wide entry point.
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return 2;
    }
    if (argc < 2) {
        return 2;
    }
    const HMODULE runtime = LoadLibraryW(argv[1]);
    if (runtime == nullptr) {
        return 4;
    }
    const FARPROC proc = GetProcAddress(runtime, "Boundstart");
    if (proc == nullptr) {
        return 4;
    }
    using Entry = int(__cdecl *)(HINSTANCE, HMODULE);
    const Entry entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(proc));
    ExitProcess(static_cast<UINT>(entry(GetModuleHandleW(nullptr), runtime)));
}
