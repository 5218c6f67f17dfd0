#include "win/side_by_side.h"

#include <winsock2.h>
#include <windows.h>

#include "win/win_handles.h"

namespace portlink {

namespace {

DWORD WINAPI runPiece(LPVOID piece) {
    (*static_cast<std::function<void()> *>(piece))();
    return 0;
}

} // namespace

void runSideBySide(const std::function<void()> &main, std::vector<std::function<void()>> &beside) {
    std::vector<UniqueHandle> threads;
    std::vector<std::function<void()> *> inline_;
    threads.reserve(beside.size());
    for (std::function<void()> &piece : beside) {
        UniqueHandle thread(CreateThread(nullptr, 0, runPiece, &piece, 0, nullptr));
        if (thread.valid())
            threads.push_back(std::move(thread));
        else
            inline_.push_back(&piece);
    }
    main();
    for (std::function<void()> *piece : inline_)
        (*piece)();
    for (const UniqueHandle &thread : threads)
        WaitForSingleObject(thread.get(), INFINITE);
}

} // namespace portlink
