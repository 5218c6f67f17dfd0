// box_spawn COUNT PROGRAM [ARGS...]: starts PROGRAM with ARGS COUNT times, one after the
// other, waits for each, and prints per run "exit=<code as unsigned decimal>
// elapsed_us=<microseconds from CreateProcessW until the process had ended>".  The child
// inherits the standard handles, so its own output comes first.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Quotes one argument the way CommandLineToArgvW splits it back.
void AppendQuoted(std::wstring &line, const wchar_t *arg) {
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t *p = arg; *p != 0; ++p) {
        if (*p == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(*p == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += *p;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

} // namespace

int main() {
    // Wide arguments without a wide entry point.
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return 2;
    }
    if (argc < 3) {
        std::fputs("usage: box_spawn COUNT PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    const unsigned long count = std::wcstoul(argv[1], nullptr, 10);
    std::wstring line;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) {
            line += L' ';
        }
        AppendQuoted(line, argv[i]);
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (unsigned long run = 0; run < count; ++run) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        std::wstring mutableLine = line;
        LARGE_INTEGER begin, end;
        QueryPerformanceCounter(&begin);
        if (!CreateProcessW(argv[2], &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            std::printf("spawn-failed error=%lu\n", GetLastError());
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        QueryPerformanceCounter(&end);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        const long long micros = (end.QuadPart - begin.QuadPart) * 1000000LL / frequency.QuadPart;
        std::printf("exit=%lu elapsed_us=%lld\n", static_cast<unsigned long>(code), micros);
        std::fflush(stdout);
    }
    return 0;
}
