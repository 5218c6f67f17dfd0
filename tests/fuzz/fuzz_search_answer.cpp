// Judging of one SSDP answer of a search, sent by 192.168.77.1, and the reading of the same
// datagram as a NOTIFY.
#include "fuzz_input.h"
#include "ssdp.h"
#include "ssdp_notice.h"
#include "text_ops.h"

#include <cwctype>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring answer = fuzzing::widenUntilZero(data, size);
    const portlink::SsdpNotice notice = portlink::readSsdpNotice(answer);
    fuzzing::require(notice.kind != portlink::NoticeKind::None ||
                     (!notice.hasBootId && notice.bootId == 0));
    fuzzing::require(notice.kind == portlink::NoticeKind::None || answer.rfind(L"NOTIFY", 0) == 0);
    fuzzing::require(notice.bootId <= 0x7FFFFFFFu && (notice.hasBootId || notice.bootId == 0));
    const portlink::SearchAnswer result = portlink::examineSearchAnswer(answer, L"192.168.77.1");
    std::wstring rest;
    const bool passed = portlink::checkHttpStatus(answer, rest);
    fuzzing::require(passed == (result.verdict != portlink::AnswerVerdict::BadStatus));
    if (result.verdict != portlink::AnswerVerdict::Usable) {
        fuzzing::require(result.serviceType.empty() && result.descriptionUrl.empty());
        return 0;
    }
    bool known = false;
    for (const portlink::SearchTarget &target : portlink::searchTargets)
        known = known || result.serviceType == portlink::formatSearchTarget(target);
    fuzzing::require(known && rest.find(result.serviceType) != std::wstring::npos);
    const std::wstring &url = result.descriptionUrl;
    fuzzing::require(rest.find(url) != std::wstring::npos);
    fuzzing::require(!std::iswspace(static_cast<std::wint_t>(url.front())) &&
                     !std::iswspace(static_cast<std::wint_t>(url.back())));
    // The description is fetched from the sender alone.
    fuzzing::require(portlink::requestHost(url) == L"192.168.77.1");
    return 0;
}
