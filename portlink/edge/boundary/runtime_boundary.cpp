// The one boundary between the runtime and portlink: the entry points, the function table,
// and the seven extension functions with their argument and answer convention.  Each function
// only unpacks its arguments, calls the protocol work and packs the answer; all of that runs
// inside one guard, so no exception ever unwinds into the runtime's frames.
#include "boundary/extension_functions.h"

#include <climits>
#include <string>

#include "win/ansi_text.h"
#include "service/discovery_thread.h"
#include "service/nat_session.h"
#include "service/gateway_mapping.h"
#include "service/mapping_service.h"
#include "private_address.h"
#include "result_codes.h"
#include "soap.h"

using namespace portlink;

namespace {

// Argument `index` as a 32-bit integer.  An argument the runtime cannot read counts as 0,
// and so does one beyond the count the runtime passed (it is never read).
int32_t integerArgument(uint32_t count, VnxObject *arguments, uint32_t index) {
    int32_t value = 0;
    if (arguments != nullptr && index < count)
        VnxGetObjectAsInt32(arguments[index], &value);
    return value;
}

// New boolean / string value objects; null when the runtime could not make one.
VnxObject makeAnswer(bool value) {
    VnxObject answer = nullptr;
    VnxNewObjectFromBool(value ? 1u : 0u, &answer);
    return answer;
}

VnxObject makeAnswer(const std::string &utf8) {
    VnxObject answer = nullptr;
    if (utf8.size() <= UINT32_MAX)
        VnxNewObjectFromUTF8(static_cast<uint32_t>(utf8.size()), utf8.data(), &answer);
    return answer;
}

// The guard of every extension function: `work` computes the answer, a boolean or UTF-8
// text.  Any exception (out of memory in a text, above all) becomes the false answer of the
// same kind, false or an empty string.
template <typename Work> VnxObject guarded(Work work) noexcept {
    using Value = decltype(work());
    try {
        return makeAnswer(work());
    } catch (...) {
        return makeAnswer(Value());
    }
}

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

void __cdecl UpnpContextInitializer(void *, const char *, void *context, uint32_t *functionCount,
                                    const VnxNamedFunction **functions) {
    try {
        mappings().contextOpened(context);
    } catch (...) {
        // Out of memory: this context is not counted, so its finalizer ends nothing.
    }
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

// The extension's finalizer (with the extension data, null) and every context's finalizer
// (with the context).  The table is static and the session lives until unload; only the
// keeping of the mappings ends, at the extension's finalizer or once the last context open
// is finalized, since the keeper thread holds the library loaded while it runs.
void __cdecl UpnpExtFinalizer(void *dataOrContext) {
    try {
        mappings().finalizerCalled(dataOrContext);
    } catch (...) {
    }
}

PORTLINK_FUNCTION(removeNATPortMapping) {
    (void)context, (void)functionData;
    return guarded([=] {
        const int32_t externalPort = integerArgument(argumentCount, arguments, 0);
        const int32_t selector = integerArgument(argumentCount, arguments, 1);
        return removePortMapping(externalPort, selector) == RESULT_OK;
    });
}

PORTLINK_FUNCTION(addNATPortMapping) {
    (void)context, (void)functionData;
    return guarded([=] {
        const int32_t internalPort = integerArgument(argumentCount, arguments, 0);
        const int32_t externalPort = integerArgument(argumentCount, arguments, 1);
        const int32_t selector = integerArgument(argumentCount, arguments, 2);
        return addPortMapping(internalPort, externalPort, selector) == RESULT_OK;
    });
}

PORTLINK_FUNCTION(getLocalIP) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    // A dotted address is digits and dots only, so its ANSI bytes are also its UTF-8 form.
    return guarded([] { return narrowAnsi(session().getLocalAddressText()); });
}

PORTLINK_FUNCTION(isSearchEnd) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return guarded([] { return session().searchEnded(); });
}

PORTLINK_FUNCTION(isSearchSucces) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return guarded([] { return session().foundGateway(); });
}

PORTLINK_FUNCTION(isLANIP) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return guarded([] { return isPrivateAddress(session().getLocalAddress()); });
}

PORTLINK_FUNCTION(startSearch) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return guarded([] { return startSearchThread(); });
}

} // extern "C"

CPortlink &CPortlink::operator=(const CPortlink &) { return *this; }
