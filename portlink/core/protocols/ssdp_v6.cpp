#include "ssdp_v6.h"

#include "text_ops.h"

namespace portlink {

namespace {

wchar_t lowerAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// True when text[at, at + lower.size()) is `lower` (lower case) in any letter case.
bool matchesFolded(const std::wstring &text, size_t at, const std::wstring &lower) {
    if (text.size() - at < lower.size())
        return false;
    for (size_t i = 0; i < lower.size(); ++i)
        if (lowerAscii(text[at + i]) != lower[i])
            return false;
    return true;
}

// The value of the first header line after the first line whose name is `name` (lower case,
// with its colon), white space at both ends dropped.  False when no line has it.
bool firstHeader(const std::wstring &text, const std::wstring &name, std::wstring &value) {
    LineSpan line;
    if (!findLine(text, 0, line))
        return false;
    for (size_t from = line.end; findLine(text, from, line); from = line.end) {
        if (line.end - line.start >= name.size() && matchesFolded(text, line.start, name)) {
            value = trimXmlWhiteSpace(
                text.substr(line.start + name.size(), line.end - line.start - name.size()));
            return true;
        }
    }
    return false;
}

} // namespace

std::wstring buildSearchRequest6(const std::wstring &searchTarget) {
    return buildSearchRequestTo(L"[FF02::C]", searchTarget);
}

std::wstring deviceUuidOf(const std::wstring &answer) {
    std::wstring usn;
    return firstHeader(answer, L"usn:", usn) ? deviceUuidOfName(usn, true) : std::wstring();
}

SearchAnswer6 examineSearchAnswer6(const std::wstring &answer, const Ipv6Address &sender) {
    // The host of the LOCATION, when it is the sender's address, is handed to the IPv4
    // judging as the sender's text, so that every other rule stays that judging's own.  The
    // header is found here as that judging finds it; were the two ever to differ, the
    // judging would see another host and call the answer ElsewhereLocation: never Usable.
    std::wstring location;
    std::wstring senderText;
    if (firstHeader(answer, L"location:", location)) {
        const std::wstring host = requestHost(location);
        Ipv6Address named{};
        if (host.size() > 2 && host.front() == L'[' && host.back() == L']' &&
            parseIpv6(host.substr(1, host.size() - 2), named) && named == sender)
            senderText = host;
    }
    // An empty sender text matches no host: requestHost is never empty where it is compared.
    SearchAnswer6 result;
    result.search = examineSearchAnswer(answer, senderText);
    result.deviceUuid = deviceUuidOf(answer);
    return result;
}

} // namespace portlink
