// Judging of one SSDP answer of a search, sent by 192.168.77.1 or by 2001:db8:77::1, the
// device uuid of its USN, and the reading of the same datagram as a NOTIFY with its device.
#include "device_uuid.h"
#include "fuzz_input.h"
#include "ssdp.h"
#include "ssdp_notice.h"
#include "ssdp_v6.h"
#include "text_ops.h"

#include <cwctype>

namespace {

// The IPv6 judging: the uuid is a bounded piece of the input, in the form a UDN reads into;
// a usable answer is one that the IPv4 judging also finds usable with the sender's text as
// written in the LOCATION, and that LOCATION's bracketed host reads as the sender's address.
void checkIpv6Judging(const std::wstring &answer) {
    const portlink::Ipv6Address sender = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0,
                                          0,    0,    0,    0,    0, 0,    0, 1};
    const std::wstring uuid = portlink::deviceUuidOf(answer);
    fuzzing::require(uuid.size() <= portlink::kMaxDeviceUuidLength);
    fuzzing::require(uuid.empty() || answer.find(uuid) != std::wstring::npos);
    fuzzing::require(uuid.empty() || portlink::deviceUuidOfName(L"uuid:" + uuid, false) == uuid);
    const portlink::SearchAnswer6 result = portlink::examineSearchAnswer6(answer, sender);
    fuzzing::require(result.deviceUuid == uuid);
    if (result.search.verdict != portlink::AnswerVerdict::Usable) {
        fuzzing::require(result.search.serviceType.empty() && result.search.descriptionUrl.empty());
        return;
    }
    const std::wstring host = portlink::requestHost(result.search.descriptionUrl);
    portlink::Ipv6Address named{};
    fuzzing::require(host.size() > 2 && host.front() == L'[' && host.back() == L']' &&
                     portlink::parseIpv6(host.substr(1, host.size() - 2), named) &&
                     named == sender);
    const portlink::SearchAnswer same = portlink::examineSearchAnswer(answer, host);
    fuzzing::require(same.verdict == portlink::AnswerVerdict::Usable &&
                     same.descriptionUrl == result.search.descriptionUrl &&
                     same.serviceType == result.search.serviceType);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring answer = fuzzing::widenUntilZero(data, size);
    checkIpv6Judging(answer);
    const portlink::SsdpNotice notice = portlink::readSsdpNotice(answer);
    fuzzing::require(notice.kind != portlink::NoticeKind::None ||
                     (!notice.hasBootId && notice.bootId == 0));
    // Line ends before the first line are skipped, as for every SSDP datagram.
    const size_t firstLine = answer.find_first_not_of(L"\r\n");
    fuzzing::require(notice.kind == portlink::NoticeKind::None ||
                     answer.compare(firstLine, 17, L"NOTIFY * HTTP/1.1") == 0);
    fuzzing::require(notice.bootId <= 0x7FFFFFFFu && (notice.hasBootId || notice.bootId == 0));
    // A notice's device is the one its USN names, as an answer's is; nothing without a notice.
    fuzzing::require(notice.deviceUuid ==
                     (notice.kind == portlink::NoticeKind::None ? std::wstring()
                                                                : portlink::deviceUuidOf(answer)));
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
