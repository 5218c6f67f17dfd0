#pragma once
// The seven functions that the application calls through the runtime, and the entry points
// through which the runtime finds them.  All cdecl, exported by their undecorated names.
#include "boundary/runtime_interface.h"

#define PORTLINK_FUNCTION(name)                                                                  \
    VnxObject __cdecl name(void *context, void *functionData, uint32_t argumentCount,            \
                           VnxObject *arguments)

extern "C" {
PORTLINK_FUNCTION(removeNATPortMapping);
PORTLINK_FUNCTION(addNATPortMapping);
PORTLINK_FUNCTION(getLocalIP);
PORTLINK_FUNCTION(isSearchEnd);
PORTLINK_FUNCTION(isSearchSucces);
PORTLINK_FUNCTION(isLANIP);
PORTLINK_FUNCTION(startSearch);

void __cdecl UpnpExtInitializer(void **extensionData, VnxContextInitializer *contextInitializer,
                                VnxContextFinalizer *contextFinalizer);
void __cdecl UpnpExtFinalizer(void *extensionData);
}

// A class without data; its assignment operator is exported for callers that expect it.
class CPortlink {
  public:
    CPortlink &operator=(const CPortlink &source);
};
