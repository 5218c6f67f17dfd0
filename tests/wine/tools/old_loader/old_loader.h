// Force-included into old-loader/Boundstart.exe, a test build of the launcher from its own
// source.  Its loader calls go to OldLoaderLoadLibraryExW, which answers as the loader of
// Windows Vista and 7 without the 2011 update: any LOAD_LIBRARY_SEARCH_* flag is refused with
// ERROR_INVALID_PARAMETER, other flags load as usual.  Each call is reported on standard
// output, so that a test sees which load was refused and which one followed.
#pragma once

#include <windows.h>

#include <cstdio>

inline HMODULE OldLoaderLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR (0x100) up to LOAD_LIBRARY_SEARCH_DEFAULT_DIRS (0x1000).
    constexpr DWORD kSearchFlags = 0x1F00;
    const bool refused = (flags & kSearchFlags) != 0;
    std::printf("old-loader %s flags=0x%lx name=%ls\n", refused ? "refused" : "load", flags, name);
    std::fflush(stdout);
    if (refused) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryExW(name, file, flags);
}

#define BOUNDSTART_LOAD_LIBRARY_EX OldLoaderLoadLibraryExW
