#include "ssdp_notice.h"

#include "device_uuid.h"
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

bool readSsdpBootId(const std::wstring &datagram, uint32_t &bootId) {
    SsdpNotice notice;
    std::wstring value;
    LineSpan line;
    for (size_t from = 0; findLine(datagram, from, line); from = line.end)
        if (headerValue(datagram, line, L"bootid.upnp.org:", value))
            notice.hasBootId = readBootId(value, notice.bootId);
    if (notice.hasBootId)
        bootId = notice.bootId;
    return notice.hasBootId;
}

SsdpNotice readSsdpNotice(const std::wstring &datagram) {
    SsdpNotice notice;
    LineSpan line;
    if (!findLine(datagram, 0, line) ||
        datagram.compare(line.start, line.end - line.start, L"NOTIFY * HTTP/1.1") != 0)
        return notice;
    NoticeKind kind = NoticeKind::None;
    bool usnSeen = false;
    std::wstring value;
    for (size_t from = line.end; findLine(datagram, from, line); from = line.end) {
        if (!usnSeen && headerValue(datagram, line, L"usn:", value)) {
            usnSeen = true;
            notice.deviceUuid = deviceUuidOfName(value, true);
        }
        if (headerValue(datagram, line, L"nts:", value)) {
            if (value == L"ssdp:alive")
                kind = NoticeKind::Alive;
            else if (value == L"ssdp:byebye")
                kind = NoticeKind::ByeBye;
        }
    }
    notice.hasBootId = readSsdpBootId(datagram, notice.bootId);
    notice.kind = kind;
    if (kind == NoticeKind::None)
        notice = SsdpNotice();
    return notice;
}

} // namespace portlink
