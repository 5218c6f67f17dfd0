#include "win/module_thread.h"

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <new>

#include "win/win_handles.h"

namespace portlink {

namespace {

// Any object inside this library: its address names the module for a reference to it.
const char moduleAnchor = 0;

struct ThreadStart {
    HMODULE module;
    void (*work)();
};

DWORD WINAPI moduleThread(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart *>(parameter);
    delete static_cast<ThreadStart *>(parameter);
    try {
        start.work();
    } catch (...) {
        // Out of memory, above all: the work ends, the process goes on.
    }
    FreeLibraryAndExitThread(start.module, 0);
}

} // namespace

bool startModuleThread(void (*work)()) {
    ModuleReference library(&moduleAnchor);
    if (library.get() == nullptr)
        return false;
    std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart{library.get(), work});
    if (start == nullptr)
        return false;
    UniqueHandle thread(CreateThread(nullptr, 0, moduleThread, start.get(), 0, nullptr));
    if (!thread.valid())
        return false;
    start.release();   // now the thread's
    library.release(); // freed by FreeLibraryAndExitThread
    return true;
}

} // namespace portlink
