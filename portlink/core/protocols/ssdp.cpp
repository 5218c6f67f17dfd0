#include "ssdp.h"

#include "text_ops.h"

#include <cwctype>
#include <utility>

namespace portlink {

const SearchTarget searchTargets[3] = {
    {L"service", L"WANPPPConnection"},
    {L"service", L"WANIPConnection"},
    {L"device", L"InternetGatewayDevice"},
};

const wchar_t urnPrefix[] = L"urn:schemas-upnp-org:";

std::wstring formatSearchTarget(const SearchTarget &target) {
    static_assert(kSearchTargetVersion >= 0 && kSearchTargetVersion <= 9,
                  "the version is written as one digit");
    std::wstring text = urnPrefix;
    text += target.kind;
    text += L':';
    text += target.name;
    text += L':';
    text += static_cast<wchar_t>(L'0' + kSearchTargetVersion);
    return text;
}

std::wstring buildSearchRequestTo(const std::wstring &group, const std::wstring &searchTarget) {
    static_assert(kSearchMx >= 0 && kSearchMx <= 9, "MX is written as one digit");
    std::wstring text = L"M-SEARCH * HTTP/1.1\r\nHOST: ";
    text += group;
    text += L':';
    text += std::to_wstring(kSsdpPort);
    text += L"\r\nMAN: \"ssdp:discover\"\r\nMX: ";
    text += static_cast<wchar_t>(L'0' + kSearchMx);
    text += L"\r\nST: ";
    text += searchTarget;
    text += L"\r\n\r\n";
    return text;
}

std::wstring buildSearchRequest(const std::wstring &searchTarget) {
    // The group is ASCII: each byte widens to the same character.
    return buildSearchRequestTo(std::wstring(kSsdpGroup, kSsdpGroup + sizeof kSsdpGroup - 1),
                                searchTarget);
}

namespace {

wchar_t asciiUpper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool isWhiteSpace(wchar_t c) { return std::iswspace(static_cast<std::wint_t>(c)) != 0; }

// True when the first 9 characters of line[start, end), upper-cased, are "LOCATION:".
bool startsWithLocation(const std::wstring &text, size_t start, size_t end) {
    static const wchar_t name[] = L"LOCATION:";
    const size_t nameLength = sizeof name / sizeof name[0] - 1;
    if (end - start < nameLength)
        return false;
    for (size_t i = 0; i < nameLength; ++i) {
        if (asciiUpper(text[start + i]) != name[i])
            return false;
    }
    return true;
}

} // namespace

SearchAnswer examineSearchAnswer(const std::wstring &answer, const std::wstring &sender) {
    SearchAnswer result;
    std::wstring rest;
    if (!checkHttpStatus(answer, rest)) {
        result.verdict = AnswerVerdict::BadStatus;
        return result;
    }

    // The first search target in table order that the rest names wins.
    std::wstring chosen;
    for (const SearchTarget &target : searchTargets) {
        std::wstring formatted = formatSearchTarget(target);
        if (rest.find(formatted) != std::wstring::npos) {
            chosen = std::move(formatted);
            break;
        }
    }
    if (chosen.empty()) {
        result.verdict = AnswerVerdict::NoKnownTarget;
        return result;
    }

    // Only the first LOCATION line counts.
    LineSpan line;
    for (size_t pos = 0; findLine(rest, pos, line); pos = line.end) {
        if (!startsWithLocation(rest, line.start, line.end))
            continue;
        size_t first = line.start + 9;
        size_t last = line.end;
        while (first < last && isWhiteSpace(rest[first]))
            ++first;
        while (last > first && isWhiteSpace(rest[last - 1]))
            --last;
        std::wstring url = rest.substr(first, last - first);
        const std::wstring host = requestHost(url);
        if (host.empty()) {
            result.verdict = AnswerVerdict::BadLocation;
        } else if (host != sender) {
            result.verdict = AnswerVerdict::ElsewhereLocation;
        } else {
            result.serviceType = std::move(chosen);
            result.descriptionUrl = std::move(url);
            result.verdict = AnswerVerdict::Usable;
        }
        return result;
    }
    result.verdict = AnswerVerdict::NoLocation;
    return result;
}

} // namespace portlink
