// Entry points, the function table, and the functions that only read the session.
#include "extension_functions.h"

#include "ansi_text.h"
#include "nat_session.h"
#include "private_address.h"
#include "runtime_values.h"

using namespace portlink;

namespace {

// Order and spelling are what the application calls the functions by.
const VnxNamedFunction functionTable[] = {
    {"removeNATPortMapping", nullptr, removeNATPortMapping},
    {"addNATPortMapping", nullptr, addNATPortMapping},
    {"getLocalIP", nullptr, getLocalIP},
    {"isSearchEnd", nullptr, isSearchEnd},
    {"isSearchSucces", nullptr, isSearchSucces},
    {"isLANIP", nullptr, isLANIP},
    {"startSearch", nullptr, startSearch},
};

void __cdecl UpnpContextInitializer(void *, const char *, void *, uint32_t *functionCount,
                                    const VnxNamedFunction **functions) {
    *functionCount = static_cast<uint32_t>(sizeof functionTable / sizeof functionTable[0]);
    *functions = functionTable;
}

} // namespace

extern "C" {

void __cdecl UpnpExtInitializer(void **extensionData, VnxContextInitializer *contextInitializer,
                                VnxContextFinalizer *contextFinalizer) {
    *extensionData = nullptr;
    *contextInitializer = UpnpContextInitializer;
    *contextFinalizer = UpnpExtFinalizer;
}

// Nothing to release: the table is static and the session lives until unload.
void __cdecl UpnpExtFinalizer(void *) {}

PORTLINK_FUNCTION(isSearchEnd) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return booleanAnswer(session().searchEnded());
}

PORTLINK_FUNCTION(isSearchSucces) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return booleanAnswer(session().hasControlUrl());
}

PORTLINK_FUNCTION(getLocalIP) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    // A dotted address is digits and dots only, so its ANSI bytes are also its UTF-8 form.
    return textAnswer(narrowAnsi(session().getLocalAddressText()));
}

PORTLINK_FUNCTION(isLANIP) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return booleanAnswer(isPrivateAddress(session().getLocalAddress()));
}

} // extern "C"

CPortlink &CPortlink::operator=(const CPortlink &) { return *this; }
