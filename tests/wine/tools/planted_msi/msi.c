/* A msi.dll as someone might leave it beside a program.  Loading it writes the line
 * "planted-msi-loaded" to standard output; its component-location call (ordinal 90, as the
 * system's library exports it) knows no component. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    static const char mark[] = "planted-msi-loaded\r\n";
    DWORD written = 0;
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), mark, (DWORD)(sizeof mark - 1), &written, NULL);
    }
    return TRUE;
}

/* -1: INSTALLSTATE_UNKNOWN. */
int WINAPI PlantedLocateComponent(const wchar_t *component, wchar_t *path, DWORD *count) {
    (void)component;
    (void)path;
    (void)count;
    return -1;
}
