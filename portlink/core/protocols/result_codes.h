#pragma once
// Result codes of portlink's network operations: 0 is success, every failure is negative.
#include <cstdint>

namespace portlink {

constexpr int32_t resultCode(uint32_t bits) { return static_cast<int32_t>(bits); }

constexpr int32_t RESULT_OK = 0;
constexpr int32_t ERR_NOT_LAN_ADDRESS = resultCode(0x80040201u);   // add: this host is not on a private LAN
constexpr int32_t ERR_NO_RESPONSE = resultCode(0x80040203u);       // not one byte of answer arrived
constexpr int32_t ERR_NO_GATEWAY = resultCode(0x80040205u);        // no usable control URL: nothing sent
constexpr int32_t ERR_SOCKET = resultCode(0x80040209u);            // no TCP socket could be created
constexpr int32_t ERR_HTTP_STATUS = resultCode(0x80040211u);       // answer's status code is not 2xx
constexpr int32_t ERR_REQUEST_TOO_LARGE = resultCode(0x80040213u); // request does not fit the buffer
constexpr int32_t ERR_UNREADABLE_ANSWER = resultCode(0x80040215u); // answer in a coding we cannot read
constexpr int32_t ERR_MAPPING_REFUSED = resultCode(0x80040217u);   // PCP/NAT-PMP answered an error
constexpr int32_t ERR_OTHER_PORT = resultCode(0x80040219u);        // granted another external port
constexpr int32_t ERR_NOT_MAPPED_HERE = resultCode(0x8004021Bu);   // remove: not this process's mapping
constexpr int32_t ERR_NO_NONCE = resultCode(0x8004021Du);          // no random nonce could be drawn
constexpr int32_t ERR_PORT_TAKEN_HERE = resultCode(0x8004021Fu);   // add: internal port mapped to another external

} // namespace portlink
