// Inner text of an element.  The input is "tag|text"; without a '|' the tag is controlURL.
#include "fuzz_input.h"
#include "text_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring input = fuzzing::widenUntilZero(data, size);
    const size_t bar = input.find(L'|');
    const std::wstring tag = bar == std::wstring::npos ? L"controlURL" : input.substr(0, bar);
    const std::wstring text = bar == std::wstring::npos ? input : input.substr(bar + 1);
    const std::wstring inner = portlink::getElementText(tag, text);
    // A non-empty result stands between the two tags in the text.
    if (!inner.empty())
        fuzzing::require(text.find(L"<" + tag + L">" + inner + L"</" + tag + L">") !=
                         std::wstring::npos);
    return 0;
}
