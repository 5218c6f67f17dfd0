// chord_press MODIFIERS KEY COUNT [GAP_MS [DOWNS]]: presses a key combination COUNT times with
// SendInput (modifier keys down, key down, key up, modifiers up; one SendInput per press),
// GAP_MS apart (default 100), and prints "sent N" after each press.  DOWNS > 1 sends that many
// key-down events before the key-up, as the keyboard's repeat does while a key is held.
// chord_press MODIFIERS KEY -: the same, one press for every "press" line read from stdin;
// a "ping" line is answered "pong" without a press (the caller's round-trip baseline).
// Modifier bits: Alt 1, Control 2, Shift 4, Windows key 8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

INPUT keyInput(WORD vk, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return in;
}

bool press(unsigned modifiers, WORD key, int downs = 1) {
    static const struct {
        unsigned bit;
        WORD vk;
    } kModifierKeys[] = {
        {MOD_CONTROL, VK_CONTROL}, {MOD_SHIFT, VK_SHIFT}, {MOD_ALT, VK_MENU}, {MOD_WIN, VK_LWIN}};
    std::vector<INPUT> inputs;
    for (const auto &m : kModifierKeys)
        if (modifiers & m.bit)
            inputs.push_back(keyInput(m.vk, false));
    for (int i = 0; i < downs; ++i)
        inputs.push_back(keyInput(key, false));
    inputs.push_back(keyInput(key, true));
    for (auto it = std::rbegin(kModifierKeys); it != std::rend(kModifierKeys); ++it)
        if (modifiers & it->bit)
            inputs.push_back(keyInput(it->vk, true));
    const UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    return sent == inputs.size();
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: chord_press MODIFIERS KEY COUNT|- [GAP_MS]\n");
        return 2;
    }
    const unsigned modifiers = static_cast<unsigned>(std::atoi(argv[1]));
    const WORD key = static_cast<WORD>(std::atoi(argv[2]));
    if (std::strcmp(argv[3], "-") == 0) {
        char line[64];
        int n = 0;
        while (std::fgets(line, sizeof line, stdin)) {
            if (std::strncmp(line, "ping", 4) == 0) {
                std::printf("pong\n");
            } else if (std::strncmp(line, "press", 5) == 0) {
                if (!press(modifiers, key)) {
                    std::printf("failed %lu\n", GetLastError());
                    return 1;
                }
                std::printf("sent %d\n", ++n);
            }
            std::fflush(stdout);
        }
        return 0;
    }
    const int count = std::atoi(argv[3]);
    const DWORD gap = argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 100;
    const int downs = argc > 5 ? std::atoi(argv[5]) : 1;
    for (int i = 1; i <= count; ++i) {
        if (!press(modifiers, key, downs)) {
            std::printf("failed %lu\n", GetLastError());
            return 1;
        }
        std::printf("sent %d\n", i);
        std::fflush(stdout);
        if (i < count)
            Sleep(gap);
    }
    return 0;
}
