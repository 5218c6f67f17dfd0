#pragma once
// Our declarations of the extension runtime's interface: the value-object calls that the
// runtime provides, and the shapes of the entry points and function table that an extension
// hands it.  Every function that crosses between runtime and extension is cdecl with an
// undecorated name.
#include <cstdint>

extern "C" {

// Opaque, pointer-sized handle of one value owned by the runtime.
typedef void *VnxObject;
// Result code of a runtime call (0 for success).
typedef int32_t VnxResult;

#ifdef VNX_RUNTIME_BUILD
#define VNX_RUNTIME_API __declspec(dllexport)
#else
#define VNX_RUNTIME_API __declspec(dllimport)
#endif

VNX_RUNTIME_API VnxResult __cdecl VnxGetObjectAsInt32(VnxObject object, int32_t *value);
VNX_RUNTIME_API VnxResult __cdecl VnxNewObjectFromBool(uint32_t value, VnxObject *object);
VNX_RUNTIME_API VnxResult __cdecl VnxNewObjectFromUTF8(uint32_t length, const char *bytes,
                                                       VnxObject *object);

// One extension function: (context, function data, argument count, argument array) -> answer.
typedef VnxObject(__cdecl *VnxExtensionFunction)(void *context, void *functionData,
                                                 uint32_t argumentCount, VnxObject *arguments);

struct VnxNamedFunction {
    const char *name;
    void *functionData;
    VnxExtensionFunction function;
};

typedef void(__cdecl *VnxContextInitializer)(void *extensionData, const char *contextType,
                                             void *context, uint32_t *functionCount,
                                             const VnxNamedFunction **functions);
typedef void(__cdecl *VnxContextFinalizer)(void *context);
typedef void(__cdecl *VnxExtensionInitializer)(void **extensionData,
                                               VnxContextInitializer *contextInitializer,
                                               VnxContextFinalizer *contextFinalizer);
typedef void(__cdecl *VnxExtensionFinalizer)(void *extensionData);
}
