// Control of running programs for the hotkey tests:
//   chord_ctl pids EXE            Windows process ids of processes named EXE, one a line
//   chord_ctl quit PID|EXE        posts WM_QUIT to every thread of the process(es);
//                                 prints "posted N" (N threads)
//   chord_ctl tryreg MODS KEY     registers the combination for this thread and frees it
//                                 again; prints "ok" or "failed ERROR"
//   chord_ctl hold MODS KEY       registers the combination, prints "held" (or "failed
//                                 ERROR" and exits) and keeps it until stdin ends
//   chord_ctl mem PID             prints "peak BYTES current BYTES" (working set)
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A snapshot or process handle, closed at scope end.
class Handle {
  public:
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() {
        if (valid())
            CloseHandle(h_);
    }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

std::vector<DWORD> processIds(const char *exe) {
    std::vector<DWORD> ids;
    Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap.valid())
        return ids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32First(snap.get(), &entry); ok; ok = Process32Next(snap.get(), &entry)) {
        char name[MAX_PATH];
        WideCharToMultiByte(CP_ACP, 0, entry.szExeFile, -1, name, sizeof name, nullptr, nullptr);
        if (lstrcmpiA(name, exe) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

int postQuit(const std::vector<DWORD> &pids) {
    int posted = 0;
    Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snap.valid())
        return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Thread32First(snap.get(), &entry); ok; ok = Thread32Next(snap.get(), &entry)) {
        for (DWORD pid : pids)
            if (entry.th32OwnerProcessID == pid &&
                PostThreadMessageA(entry.th32ThreadID, WM_QUIT, 0, 0))
                ++posted;
    }
    return posted;
}

bool isNumber(const char *text) {
    if (*text == '\0')
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    const char *cmd = argc >= 2 ? argv[1] : "";
    if (std::strcmp(cmd, "pids") == 0 && argc == 3) {
        for (DWORD pid : processIds(argv[2]))
            std::printf("%lu\n", pid);
        return 0;
    }
    if (std::strcmp(cmd, "quit") == 0 && argc == 3) {
        std::vector<DWORD> pids;
        if (isNumber(argv[2]))
            pids.push_back(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        else
            pids = processIds(argv[2]);
        std::printf("posted %d\n", postQuit(pids));
        return 0;
    }
    if ((std::strcmp(cmd, "tryreg") == 0 || std::strcmp(cmd, "hold") == 0) && argc == 4) {
        const UINT mods = static_cast<UINT>(std::atoi(argv[2]));
        const UINT key = static_cast<UINT>(std::atoi(argv[3]));
        if (!RegisterHotKey(nullptr, 1, mods, key)) {
            std::printf("failed %lu\n", GetLastError());
            return 0;
        }
        if (cmd[0] == 't') {
            std::printf("ok\n");
        } else {
            std::printf("held\n");
            std::fflush(stdout);
            char line[64];
            while (std::fgets(line, sizeof line, stdin)) {
            }
        }
        UnregisterHotKey(nullptr, 1);
        return 0;
    }
    if (std::strcmp(cmd, "mem") == 0 && argc == 3) {
        const DWORD pid = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
        Handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        if (!process.valid() || !GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) {
            std::printf("failed %lu\n", GetLastError());
            return 1;
        }
        std::printf("peak %lu current %lu\n",
                    static_cast<unsigned long>(counters.PeakWorkingSetSize),
                    static_cast<unsigned long>(counters.WorkingSetSize));
        return 0;
    }
    std::fprintf(stderr, "usage: chord_ctl pids EXE | quit PID|EXE | tryreg MODS KEY | "
                         "hold MODS KEY | mem PID\n");
    return 2;
}
