#pragma once
// The runtime-missing warning texts, one per UI language, and the choice among them.
//
// Texts are UTF-16 (char16_t) so that the same table serves the Windows build, where they
// go straight to the message box, and the native unit tests.
#include <cstddef>
#include <cstdint>

// The runtime download address; every warning text holds it exactly once.
#define BOUNDSTART_DOWNLOAD_ADDRESS u"https://verimon-tessel.example/runtime"

namespace boundstart {

struct MissingRuntimeMessage {
    const char *languageTag; // "de", "zh-Hans", ...; empty in the default entry
    uint32_t languageId;     // primary language in bits 0-9, sublanguage in bits 10-15
    const char16_t *messageText;
    const char16_t *okLabel; // carried with the entry; the box lets the system label OK
};

constexpr size_t kMissingRuntimeMessageCount = 17;
constexpr size_t kDefaultMissingRuntimeMessage = kMissingRuntimeMessageCount - 1;

// Fixed order: it decides which entry wins when several share a primary language.
extern const MissingRuntimeMessage missingRuntimeMessages[kMissingRuntimeMessageCount];

// The English text that belongs to the "-runtime <dir>" option.  Kept with the others; the
// launcher does not honour that option and so never shows it.
extern const char16_t *const runtimeOptionMessage;

// Index of the entry for UI language `languageId`: the first entry with exactly that id;
// else the first of the 16 language entries with the same primary language (low 10 bits);
// else the English default, entry 16.
size_t PickMissingRuntimeMessageFor(uint16_t languageId);

} // namespace boundstart
