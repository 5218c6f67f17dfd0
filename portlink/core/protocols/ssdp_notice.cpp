#include "ssdp_notice.h"

#include "text_ops.h"

namespace portlink {

namespace {

wchar_t lowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// The value of header `name` (lower case, with its colon) on the line [start, end), or false.
bool headerValue(const std::wstring &text, const LineSpan &line, const std::wstring &name,
                 std::wstring &value) {
    if (line.end - line.start < name.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lowerAscii(text[line.start + i]) != name[i])
            return false;
    value = trimXmlWhiteSpace(text.substr(line.start + name.size(),
                                          line.end - line.start - name.size()));
    return true;
}

bool readBootId(const std::wstring &value, uint32_t &bootId) {
    if (value.empty() || value.size() > 10)
        return false;
    uint64_t number = 0;
    for (const wchar_t c : value) {
        if (c < L'0' || c > L'9')
            return false;
        number = number * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (number > 0x7FFFFFFFu)
        return false;
    bootId = static_cast<uint32_t>(number);
    return true;
}

} // namespace

SsdpNotice readSsdpNotice(const std::wstring &datagram) {
    SsdpNotice notice;
    LineSpan line;
    if (!findLine(datagram, 0, line) ||
        datagram.compare(line.start, line.end - line.start, L"NOTIFY * HTTP/1.1") != 0)
        return notice;
    NoticeKind kind = NoticeKind::None;
    std::wstring value;
    for (size_t from = line.end; findLine(datagram, from, line); from = line.end) {
        if (headerValue(datagram, line, L"nts:", value)) {
            if (value == L"ssdp:alive")
                kind = NoticeKind::Alive;
            else if (value == L"ssdp:byebye")
                kind = NoticeKind::ByeBye;
        } else if (headerValue(datagram, line, L"bootid.upnp.org:", value)) {
            // The last one counts, as a header given twice is read elsewhere.
            uint32_t bootId = 0;
            notice.hasBootId = readBootId(value, bootId);
            notice.bootId = bootId;
        }
    }
    notice.kind = kind;
    if (kind == NoticeKind::None)
        notice = SsdpNotice();
    return notice;
}

} // namespace portlink
