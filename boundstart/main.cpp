// Boundstart: the application's launcher.  Finds the runtime library "Verimon Tessel.dll"
// (a private copy below the launcher's own folder, else the runtime that Windows Installer
// knows), loads it and hands the whole run to its entry `Boundstart`.  When no runtime can
// be found or bound it shows the runtime-missing warning and exits with 3 or 4.
#include <windows.h>

#include <msi.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdint>
#include <utility>

#include "launcher_paths.h"
#include "missing_runtime_messages.h"
#include "runtime_component.h"

// Hybrid-graphics drivers look for these exports in the executable of a starting process;
// they hold for the whole process, the runtime included.  Nothing here reads them.
extern "C" {
__declspec(dllexport) DWORD AmdPowerXpressRequestBetterBatteryLife = 1;
__declspec(dllexport) DWORD NvOptimusDisablement = 1;
}

namespace boundstart {
namespace {

// The runtime's entry: launcher instance, runtime module; its result is our exit code.
using RuntimeEntry = int(__cdecl *)(HINSTANCE launcher, HMODULE runtime);
using SetDllDirectoryFn = BOOL(WINAPI *)(LPCSTR);
// Windows Installer's component-location call: component code, path buffer (or none) and
// in/out character count; returns the component's install state.
using LocateComponentFn = INSTALLSTATE(WINAPI *)(LPCWSTR, LPWSTR, LPDWORD);
constexpr WORD kLocateComponentOrdinal = 90;

constexpr wchar_t kPrivateCopySuffix[] = L"\\Verimon Tessel\\Versions\\1.0\\Verimon Tessel.dll";
constexpr wchar_t kInstalledSuffix[] = L"\\Versions\\1.0\\Verimon Tessel.dll";
constexpr wchar_t kComponentCode[] = L"" BOUNDSTART_RUNTIME_COMPONENT_CODE;
constexpr wchar_t kCaption[] = L"Verimon Tessel";

// Result codes of FindRuntime, and the launcher's exit codes on failure.
constexpr int kFound = 0;
constexpr int kNotInstalled = 3;
constexpr int kFailed = 4;
constexpr int kOutOfMemory = -3;

// The export `name` of `module` (a name, or an ordinal given by MAKEINTRESOURCEA) as a
// function of type Fn; null when the module does not export it.
template <typename Fn> Fn ExportedFunction(HMODULE module, LPCSTR name) {
    const FARPROC proc = GetProcAddress(module, name);
    // Through void (*)(), the function pointer type that converts to any other unwarned.
    return proc == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// A wide-character buffer from the process heap, freed when its owner lets go of it.
class HeapText {
  public:
    HeapText() = default;
    // A size whose byte count does not fit in size_t fails like an allocation: no buffer.
    explicit HeapText(size_t chars, DWORD flags = 0) {
        if (chars <= SIZE_MAX / sizeof(wchar_t)) {
            text_ =
                static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), flags, chars * sizeof(wchar_t)));
        }
    }
    ~HeapText() { reset(); }
    HeapText(const HeapText &) = delete;
    HeapText &operator=(const HeapText &) = delete;
    HeapText(HeapText &&other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
    HeapText &operator=(HeapText &&other) noexcept {
        if (this != &other) {
            reset();
            text_ = std::exchange(other.text_, nullptr);
        }
        return *this;
    }
    void reset() {
        if (text_ != nullptr) {
            HeapFree(GetProcessHeap(), 0, text_);
            text_ = nullptr;
        }
    }
    wchar_t *get() const { return text_; }
    explicit operator bool() const { return text_ != nullptr; }

  private:
    wchar_t *text_ = nullptr;
};

// The argument vector of CommandLineToArgvW, released with LocalFree.
class ArgumentWords {
  public:
    // Called in the body, once every member is initialised, so that what the call writes to
    // count_ stays whatever order the members are declared in.
    ArgumentWords() { words_ = CommandLineToArgvW(GetCommandLineW(), &count_); }
    ~ArgumentWords() {
        if (words_ != nullptr) {
            LocalFree(words_);
        }
    }
    ArgumentWords(const ArgumentWords &) = delete;
    ArgumentWords &operator=(const ArgumentWords &) = delete;
    int count() const { return words_ != nullptr ? count_ : 0; }
    const wchar_t *operator[](int i) const { return words_[i]; }

  private:
    int count_ = 0;
    LPWSTR *words_ = nullptr;
};

// Whether the command line asks for "-runtime <dir>" (second word, or fourth of five).  The
// option is recognised only: the runtime is looked for in the same places either way and
// the command line reaches the runtime as the system gave it.
bool CommandLineNamesRuntimeDir() {
    const ArgumentWords words;
    bool named = false;
    if (words.count() >= 3 && StrCmpW(words[1], L"-runtime") == 0) {
        named = true;
    }
    if (words.count() >= 5 && StrCmpW(words[3], L"-runtime") == 0) {
        named = true;
    }
    return named;
}

// Fills `path` (kPathCapacity characters) with the private copy's path below the folder of
// the launcher's executable.
bool GetPathBesideLauncher(wchar_t *path) {
    const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(kPathCapacity));
    // A result of the full capacity means the path was cut.
    if (length == 0 || length >= kPathCapacity) {
        return false;
    }
    return ReplaceFileNameWith(path, length, kPrivateCopySuffix,
                               sizeof(kPrivateCopySuffix) / sizeof(wchar_t) - 1);
}

constexpr wchar_t kInstallerLibrary[] = L"msi.dll";

// The loader call of LoadFromSystemFolder.  Only a test build of the launcher, kept with the
// test tools, puts another in: one that refuses LOAD_LIBRARY_SEARCH_SYSTEM32 as the loaders
// of Windows Vista and 7 without the 2011 update do.
#ifndef BOUNDSTART_LOAD_LIBRARY_EX
#define BOUNDSTART_LOAD_LIBRARY_EX LoadLibraryExW
#endif

// The library `name` (`length` characters) from the system folder only.  Windows Vista and 7
// without the 2011 loader update do not know LOAD_LIBRARY_SEARCH_SYSTEM32 and refuse it with
// ERROR_INVALID_PARAMETER; there the library is loaded by its full path in the system folder,
// its own dependencies looked for from that folder first.  Any other failure is final.
HMODULE LoadFromSystemFolder(const wchar_t *name, size_t length) {
    const HMODULE module = BOUNDSTART_LOAD_LIBRARY_EX(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) {
        return module;
    }
    wchar_t path[kPathCapacity];
    const UINT folder = GetSystemDirectoryW(path, static_cast<UINT>(kPathCapacity));
    if (!AppendToSystemFolder(path, folder, name, length)) {
        return nullptr;
    }
    return BOUNDSTART_LOAD_LIBRARY_EX(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// msi.dll from the system folder, loaded only for as long as Windows Installer is asked.  It
// is neither imported nor looked for on the library search path: msi.dll is not one of the
// system's known libraries, so the search would start in the launcher's own folder, and a
// file of that name there would run inside the launcher.
class InstallerLibrary {
  public:
    InstallerLibrary() {
        module_ = LoadFromSystemFolder(kInstallerLibrary,
                                       sizeof(kInstallerLibrary) / sizeof(wchar_t) - 1);
        if (module_ != nullptr) {
            locate_ = ExportedFunction<LocateComponentFn>(
                module_, MAKEINTRESOURCEA(kLocateComponentOrdinal));
        }
    }
    ~InstallerLibrary() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    InstallerLibrary(const InstallerLibrary &) = delete;
    InstallerLibrary &operator=(const InstallerLibrary &) = delete;
    // The component-location call; null when msi.dll or the call is missing.
    LocateComponentFn locate() const { return locate_; }

  private:
    HMODULE module_ = nullptr;
    LocateComponentFn locate_ = nullptr;
};

bool AcceptedInstallState(INSTALLSTATE state) {
    return state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_ABSENT;
}

// The folder of the installed runtime's key file, in a buffer with `reserve` characters to
// spare for the library's relative path; `dir` stays empty when Windows Installer knows no
// usable installation, or cannot be asked.  Returns 0, or kOutOfMemory when the buffer
// cannot be allocated.
int GetInstalledRuntimeDir(size_t reserve, HeapText &dir) {
    const InstallerLibrary installer;
    const LocateComponentFn locate = installer.locate();
    if (locate == nullptr) {
        return 0;
    }
    DWORD count = 0;
    if (!AcceptedInstallState(locate(kComponentCode, nullptr, &count))) {
        return 0;
    }
    // The key path, its terminator and the reserve must fit the second call's 32-bit count;
    // a larger size counts as a buffer that cannot be allocated.
    if (reserve > MAXDWORD - 1 || count > MAXDWORD - 1 - reserve) {
        return kOutOfMemory;
    }
    const size_t capacity = static_cast<size_t>(count) + 1 + reserve;
    // Zero-filled, so that whatever the second call leaves unwritten reads as the end of
    // the text: the buffer is never read beyond what the call put there.
    HeapText buffer(capacity, HEAP_ZERO_MEMORY);
    if (!buffer) {
        return kOutOfMemory;
    }
    count = static_cast<DWORD>(capacity);
    if (!AcceptedInstallState(locate(kComponentCode, buffer.get(), &count)) || count >= capacity) {
        return 0;
    }
    PathRemoveFileSpecW(buffer.get());
    // An empty or relative folder would let the library search order pick some other file.
    if (!IsAbsoluteDirectory(buffer.get())) {
        return 0;
    }
    dir = std::move(buffer);
    return 0;
}

int FindRuntime(RuntimeEntry &entry, HMODULE &runtime) {
    HeapText path(kPathCapacity);
    if (!path) {
        return kFailed;
    }
    if (!GetPathBesideLauncher(path.get())) {
        return kFailed;
    }
    // Anything at the private path, a directory included, decides: the installed runtime
    // is asked only when nothing is there.
    if (GetFileAttributesW(path.get()) == INVALID_FILE_ATTRIBUTES) {
        path.reset();
        if (GetInstalledRuntimeDir(sizeof(kInstalledSuffix) / sizeof(wchar_t), path) ==
            kOutOfMemory) {
            return kFailed;
        }
        if (!path) {
            return kNotInstalled;
        }
        // Not tested for existence: the load below decides.
        if (!PathAppendW(path.get(), kInstalledSuffix)) {
            return kFailed;
        }
    }
    runtime = LoadLibraryW(path.get());
    if (runtime == nullptr) {
        return kFailed;
    }
    path.reset();
    // The library stays loaded on every path from here on.
    entry = ExportedFunction<RuntimeEntry>(runtime, "Boundstart");
    return entry != nullptr ? kFound : kFailed;
}

size_t PickMissingRuntimeMessage() {
    return PickMissingRuntimeMessageFor(GetUserDefaultUILanguage());
}

[[noreturn]] void Run() {
    // Take the current directory out of the library search order, where the system has it.
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel != nullptr) {
        if (const auto setDllDirectory =
                ExportedFunction<SetDllDirectoryFn>(kernel, "SetDllDirectoryA")) {
            setDllDirectory("");
        }
    }
    static_cast<void>(CommandLineNamesRuntimeDir());

    RuntimeEntry entry = nullptr;
    HMODULE runtime = nullptr;
    const int code = FindRuntime(entry, runtime);
    if (code != kFound) {
        const MissingRuntimeMessage &message = missingRuntimeMessages[PickMissingRuntimeMessage()];
        // char16_t and wchar_t are both UTF-16 code units on Windows.
        static_assert(sizeof(wchar_t) == 2, "the warning texts reach the box as wchar_t");
        MessageBoxExW(nullptr, reinterpret_cast<const wchar_t *>(message.messageText), kCaption,
                      MB_OK | MB_ICONEXCLAMATION, 0);
        ExitProcess(static_cast<UINT>(code));
    }
    ExitProcess(static_cast<UINT>(entry(GetModuleHandleW(nullptr), runtime)));
}

} // namespace
} // namespace boundstart

int main(int, char **) {
    boundstart::Run();
}
