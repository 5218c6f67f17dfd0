#include "description.h"

#include "text_ops.h"

namespace portlink {

std::wstring buildDescriptionRequest(const std::wstring &path, const std::wstring &authority) {
    return L"GET " + path + L" HTTP/1.1\r\nHOST: " + authority +
           L"\r\nACCEPT-LANGUAGE: en\r\n\r\n";
}

DescriptionResult parseDescription(const std::wstring &rest, const std::wstring &serviceType,
                                   const std::wstring &authority) {
    DescriptionResult result;
    result.baseUrl = getElementText(L"URLBase", rest);
    if (result.baseUrl.empty())
        result.baseUrl = L"http://" + authority + L"/";
    if (result.baseUrl.back() != L'/')
        result.baseUrl += L'/';

    // The service is chosen by the exact text of its serviceType element; its controlURL is
    // looked for only between that element and the end of the same service element.
    const std::wstring marker = L"<serviceType>" + serviceType + L"</serviceType>";
    const size_t found = rest.find(marker);
    if (found == std::wstring::npos)
        return result;
    const size_t sectionStart = found + marker.size();
    const size_t sectionEnd = rest.find(L"</service>", sectionStart);
    if (sectionEnd == std::wstring::npos)
        return result;
    const std::wstring section = rest.substr(sectionStart, sectionEnd - sectionStart);

    result.controlUrl = getElementText(L"controlURL", section);
    // Only a path beginning with "/" is joined to the base; baseUrl already ends with "/".
    if (!result.controlUrl.empty() && result.controlUrl[0] == L'/')
        result.controlUrl = result.baseUrl + result.controlUrl.substr(1);
    return result;
}

} // namespace portlink
