// box_read CAPTION TIMEOUT_MS [keep]: waits up to TIMEOUT_MS for a top-level window with
// that caption (a message box), prints one line "owner=<0|1> ok=<0|1> cancel=<0|1>" and
// then the box's text as UTF-8, and closes the box with its OK button unless "keep" is
// given.  Exit code 0 when the box was found, 1 when it never appeared.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void WriteUtf8(const std::wstring &text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
              nullptr);
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
        std::fputs("usage: box_read CAPTION TIMEOUT_MS [keep]\n", stderr);
        return 2;
    }
    const wchar_t *caption = argv[1];
    const DWORD timeout = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    const bool keep = argc > 3 && std::wcscmp(argv[3], L"keep") == 0;

    const ULONGLONG start = GetTickCount64();
    HWND box = nullptr;
    while ((box = FindWindowW(nullptr, caption)) == nullptr) {
        if (GetTickCount64() - start > timeout) {
            return 1;
        }
        Sleep(50);
    }
    // The box is found as soon as it exists; let it finish building its controls.
    Sleep(300);

    wchar_t text[4096] = {};
    GetDlgItemTextW(box, 0xFFFF, text, static_cast<int>(sizeof(text) / sizeof(text[0])));
    std::wstring line = L"owner=";
    line += GetWindow(box, GW_OWNER) != nullptr ? L"1" : L"0";
    line += L" ok=";
    line += GetDlgItem(box, IDOK) != nullptr ? L"1" : L"0";
    line += L" cancel=";
    line += GetDlgItem(box, IDCANCEL) != nullptr ? L"1" : L"0";
    line += L"\n";
    WriteUtf8(line + text);
    if (!keep) {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    return 0;
}
