#include "soap.h"

#include "exchange_outcome.h"
#include "result_codes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

using namespace portlink;

namespace {
const std::wstring kIp = L"urn:schemas-upnp-org:service:WANIPConnection:1";
}

TEST(PortlinkSoap, ConstantsAndProtocolSelector) {
    EXPECT_EQ(std::wstring(mappingDescription), L"Verimon veri.test");
    EXPECT_EQ(std::wstring(mappingDescription).size(), 17u);
    EXPECT_EQ(std::wstring(protocolText(1)), L"TCP");
    for (int32_t selector : {0, 2, 6, 17, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ(std::wstring(protocolText(selector)), L"UDP") << selector;
}

TEST(PortlinkSoap, ArgumentElementsWrittenAsTheyAre) {
    EXPECT_EQ(argumentElement(L"NewRemoteHost", L""), L"<NewRemoteHost></NewRemoteHost>");
    EXPECT_EQ(argumentElement(L"A", L"x<&>y"), L"<A>x<&>y</A>");
    EXPECT_EQ(numericArgumentElement(L"N", 0), L"<N>0</N>");
    EXPECT_EQ(numericArgumentElement(L"N", 65535), L"<N>65535</N>");
    EXPECT_EQ(numericArgumentElement(L"N", -1), L"<N>-1</N>");
    EXPECT_EQ(numericArgumentElement(L"N", INT32_MAX), L"<N>2147483647</N>");
    EXPECT_EQ(numericArgumentElement(L"N", INT32_MIN), L"<N>-2147483648</N>");
}

TEST(PortlinkSoap, ArgumentListsInOrder) {
    EXPECT_EQ(addPortMappingArguments(80, L"TCP", 8080, L"192.168.77.20", mappingDescription),
              L"<NewRemoteHost></NewRemoteHost>"
              L"<NewExternalPort>80</NewExternalPort>"
              L"<NewProtocol>TCP</NewProtocol>"
              L"<NewInternalPort>8080</NewInternalPort>"
              L"<NewInternalClient>192.168.77.20</NewInternalClient>"
              L"<NewEnabled>1</NewEnabled>"
              L"<NewPortMappingDescription>Verimon veri.test</NewPortMappingDescription>"
              L"<NewLeaseDuration>0</NewLeaseDuration>");
    // Ports are unsigned 16-bit; an unknown local address gives an empty client element.
    EXPECT_EQ(addPortMappingArguments(65535, L"UDP", 0, L"", L"d"),
              L"<NewRemoteHost></NewRemoteHost><NewExternalPort>65535</NewExternalPort>"
              L"<NewProtocol>UDP</NewProtocol><NewInternalPort>0</NewInternalPort>"
              L"<NewInternalClient></NewInternalClient><NewEnabled>1</NewEnabled>"
              L"<NewPortMappingDescription>d</NewPortMappingDescription>"
              L"<NewLeaseDuration>0</NewLeaseDuration>");
    EXPECT_EQ(deletePortMappingArguments(80, L"UDP"),
              L"<NewRemoteHost></NewRemoteHost>"
              L"<NewExternalPort>80</NewExternalPort>"
              L"<NewProtocol>UDP</NewProtocol>");
}

TEST(PortlinkSoap, EnvelopeAndRequestByteForByte) {
    const std::wstring envelope = buildEnvelope(L"DeletePortMapping", L"<A>1</A><B>2</B>", kIp);
    const std::wstring expectedEnvelope =
        L"<?xml version=\"1.0\"?><s:Envelope\r\n"
        L"    xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"\r\n"
        L"    s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
        L"  <s:Body>\r\n"
        L"    <u:DeletePortMapping xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
        L"<A>1</A><B>2</B>    </u:DeletePortMapping>\r\n"
        L"  </s:Body>\r\n"
        L"</s:Envelope>\r\n"
        L"\r\n";
    EXPECT_EQ(envelope, expectedEnvelope);

    EXPECT_EQ(buildControlRequest(L"/ctl/IPConn", L"192.168.77.1:5000", envelope.size(), kIp,
                                  L"DeletePortMapping", envelope),
              L"POST /ctl/IPConn HTTP/1.1\r\n"
              L"HOST: 192.168.77.1:5000\r\n"
              L"Content-Length: 327\r\n"
              L"Content-Type: text/xml; charset=\"utf-8\"\r\n"
              L"SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#DeletePortMapping\"\r\n"
              L"\r\n" +
                  expectedEnvelope);

    // The length is the caller's byte count, not the character count; an empty path stays empty.
    EXPECT_EQ(buildControlRequest(L"", L"gw", 0, L"st", L"A", L""),
              L"POST  HTTP/1.1\r\nHOST: gw\r\nContent-Length: 0\r\n"
              L"Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"st#A\"\r\n\r\n");
}

TEST(PortlinkSoap, ConnectionStatusFromTheStatusAnswer) {
    const auto answer = [](const std::wstring &status) {
        return L"HTTP/1.1 200 OK\r\n\r\n<s:Envelope><s:Body><u:GetStatusInfoResponse xmlns:u=\"x\">"
               L"<NewConnectionStatus>" + status + L"</NewConnectionStatus>"
               L"<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
               L"</u:GetStatusInfoResponse></s:Body></s:Envelope>";
    };
    EXPECT_TRUE(reportsConnectionUp(answer(L"Connected")));
    EXPECT_TRUE(reportsConnectionUp(answer(L"Up")));
    EXPECT_TRUE(reportsConnectionUp(answer(L"\r\n  Connected\t")));
    for (const wchar_t *status : {L"Disconnected", L"Unconfigured", L"Connecting", L"connected",
                                  L"Connected Up", L""})
        EXPECT_FALSE(reportsConnectionUp(answer(status))) << status;
    EXPECT_FALSE(reportsConnectionUp(L"HTTP/1.1 200 OK\r\n\r\n"));
}

// What a check of a kept mapping makes of GetSpecificPortMappingEntry's answer or fault.
TEST(PortlinkSoap, MappingCheckOutcomes) {
    const std::wstring entry = L"<NewInternalPort>8080</NewInternalPort>"
                               L"<NewInternalClient> 192.168.77.20 </NewInternalClient>"
                               L"<NewEnabled>1</NewEnabled>";
    auto fault = [](const std::wstring &code) {
        return L"<s:Fault><detail><UPnPError><errorCode>" + code +
               L"</errorCode></UPnPError></detail></s:Fault>";
    };
    const struct {
        int32_t code;
        std::wstring answer;
        ExchangeOutcome outcome;
    } rows[] = {
        {RESULT_OK, entry, ExchangeOutcome::Granted},
        {RESULT_OK, L"<NewInternalPort>8080</NewInternalPort>"
                    L"<NewInternalClient>192.168.77.20</NewInternalClient>",
         ExchangeOutcome::Granted},
        {RESULT_OK, L"<NewInternalPort>8081</NewInternalPort>"
                    L"<NewInternalClient>192.168.77.20</NewInternalClient>",
         ExchangeOutcome::Refused},
        {RESULT_OK, L"<NewInternalPort>8080</NewInternalPort>"
                    L"<NewInternalClient>192.168.77.21</NewInternalClient>",
         ExchangeOutcome::Refused},
        {RESULT_OK, entry + L"<NewEnabled>0</NewEnabled>", ExchangeOutcome::Granted},
        {RESULT_OK, L"<NewEnabled>0</NewEnabled><NewInternalPort>8080</NewInternalPort>"
                    L"<NewInternalClient>192.168.77.20</NewInternalClient>",
         ExchangeOutcome::Refused},
        {RESULT_OK, L"", ExchangeOutcome::Refused},
        {ERR_HTTP_STATUS, fault(L"714"), ExchangeOutcome::Refused},
        {ERR_HTTP_STATUS, fault(L" 401 "), ExchangeOutcome::Unsupported},
        {ERR_HTTP_STATUS, fault(L"602"), ExchangeOutcome::Unsupported},
        {ERR_HTTP_STATUS, fault(L"606"), ExchangeOutcome::Unsupported},
        {ERR_HTTP_STATUS, L"HTTP/1.1 404 Not Found", ExchangeOutcome::Unanswered},
        {ERR_HTTP_STATUS, fault(L"40l"), ExchangeOutcome::Unanswered},
        {ERR_HTTP_STATUS, fault(L"501"), ExchangeOutcome::Refused},
        {ERR_HTTP_STATUS, fault(L"402"), ExchangeOutcome::Refused},
        {ERR_NO_RESPONSE, L"", ExchangeOutcome::Unanswered},
        {ERR_SOCKET, L"", ExchangeOutcome::Unanswered},
        {ERR_UNREADABLE_ANSWER, L"", ExchangeOutcome::Refused},
    };
    for (const auto &row : rows)
        EXPECT_EQ(upnpCheckOutcome(row.code, row.answer, L"192.168.77.20", 8080), row.outcome)
            << row.code << " " << std::string(row.answer.begin(), row.answer.end());
    // A remove's check names no internal port: the client alone decides.
    const std::wstring port8081 = L"<NewInternalPort>8081</NewInternalPort>"
                                  L"<NewInternalClient>192.168.77.20</NewInternalClient>";
    EXPECT_EQ(upnpCheckOutcome(RESULT_OK, port8081, L"192.168.77.20", 0), ExchangeOutcome::Granted);
    EXPECT_EQ(upnpCheckOutcome(RESULT_OK, port8081, L"192.168.77.21", 0), ExchangeOutcome::Refused);
    EXPECT_EQ(upnpCheckOutcome(RESULT_OK, L"<NewInternalPort>8081</NewInternalPort>",
                               L"192.168.77.20", 0),
              ExchangeOutcome::Refused);
    EXPECT_EQ(upnpErrorCode(fault(L"99999")), -1);
    EXPECT_EQ(upnpActionOutcome(RESULT_OK), ExchangeOutcome::Granted);
    EXPECT_EQ(upnpActionOutcome(ERR_HTTP_STATUS), ExchangeOutcome::Refused);
    EXPECT_EQ(getSpecificPortMappingEntryArguments(80, L"TCP"),
              deletePortMappingArguments(80, L"TCP"));
}

// The external address a GetExternalIPAddress answer names: strictly dotted IPv4, or 0.
TEST(PortlinkSoap, ExternalAddressFromItsAnswer) {
    // The action's envelope carries no argument elements.
    EXPECT_EQ(buildEnvelope(externalAddressAction, L"", kIp),
              L"<?xml version=\"1.0\"?><s:Envelope\r\n"
              L"    xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"\r\n"
              L"    s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
              L"  <s:Body>\r\n"
              L"    <u:GetExternalIPAddress "
              L"xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
              L"    </u:GetExternalIPAddress>\r\n"
              L"  </s:Body>\r\n"
              L"</s:Envelope>\r\n"
              L"\r\n");

    const auto answer = [](const std::wstring &address) {
        return L"HTTP/1.1 200 OK\r\n\r\n<s:Envelope><s:Body>"
               L"<u:GetExternalIPAddressResponse xmlns:u=\"x\"><NewExternalIPAddress>" +
               address + L"</NewExternalIPAddress></u:GetExternalIPAddressResponse>"
                         L"</s:Body></s:Envelope>";
    };
    const auto address = [](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        const uint8_t octets[4] = {a, b, c, d};
        uint32_t value;
        std::memcpy(&value, octets, sizeof value);
        return value;
    };
    const struct {
        std::wstring text;
        uint32_t address;
    } rows[] = {
        {L"192.168.1.2", address(192, 168, 1, 2)},
        {L"100.64.0.1", address(100, 64, 0, 1)},
        {L"\r\n\t 203.0.113.7 \n", address(203, 0, 113, 7)},
        {L"255.255.255.255", address(255, 255, 255, 255)},
        {L"1.0.0.0", address(1, 0, 0, 0)},
        {L"0.0.0.0", 0},
        {L"", 0},
        {L"  ", 0},
        {L"router.example", 0},
        {L"2001:db8::1", 0},
        {L"::ffff:192.168.1.2", 0},
        {L"192.168.1", 0},
        {L"192.168.1.2.3", 0},
        {L"192.168.1.256", 0},
        {L"192.168.1.2000", 0},
        {L"192.168..2", 0},
        {L"192. 168.1.2", 0},
        {L"192.168.1.2 x", 0},
        {L"192.168.1.2/24", 0},
        {L"192.168.01.2", 0},
        {L"+192.168.1.2", 0},
        {L"192.168.1.-2", 0},
        {L"0xc0.168.1.2", 0},
        {L"3232235778", 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(readExternalAddress(answer(row.text)), row.address)
            << std::string(row.text.begin(), row.text.end());
    // No element, or a fault in its place.
    EXPECT_EQ(readExternalAddress(L"HTTP/1.1 200 OK\r\n\r\n<s:Envelope></s:Envelope>"), 0u);
    EXPECT_EQ(readExternalAddress(L"HTTP/1.1 500 Internal Server Error\r\n\r\n<s:Fault><detail>"
                                  L"<UPnPError><errorCode>501</errorCode></UPnPError></detail>"
                                  L"</s:Fault>"),
              0u);
    EXPECT_EQ(readExternalAddress(L"<NewExternalIPAddress>192.168.1.2"), 0u);
}
