#include "search/search_datagrams.h"

#include <cstring>
#include <string>

#include "private_address.h"
#include "ssdp_notice.h"
#include "ssdp_v6.h"
#include "win/ansi_text.h"
#include "win/socket_buffer.h"

namespace portlink {

int sendSearchDatagram(SOCKET socket, const std::wstring &text, uint32_t address, uint16_t port) {
    char buffer[kBufferSize];
    const std::string bytes = narrowAnsi(text);
    const size_t length = bytes.size() < kBufferSize ? bytes.size() : kBufferSize;
    std::memcpy(buffer, bytes.data(), length);

    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return sendto(socket, buffer, static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

bool readUsableAnswer(const Datagram &datagram, UsableSearchAnswer &usable) {
    const sockaddr_in *sender = datagram.senderIpv4();
    if (datagram.length == 0 || sender == nullptr)
        return false;
    const std::wstring text = widenAnsi(datagram.bytes, datagram.length);
    usable.answer = examineSearchAnswer(text, dottedAddress(sender->sin_addr.s_addr));
    if (usable.answer.verdict != AnswerVerdict::Usable)
        return false;
    // The device's boot as it answered: a later NOTIFY with another one is a restart.
    usable.hasBootId = readSsdpBootId(text, usable.bootId);
    usable.deviceUuid = deviceUuidOf(text);
    usable.sender = sender->sin_addr.s_addr;
    return true;
}

} // namespace portlink
