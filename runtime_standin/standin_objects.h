#pragma once
// Calls that only the stand-in's own host uses: making argument objects and reading answers.
#include <cstdint>

#include "runtime_interface.h"

extern "C" {
enum VnxKind : int32_t { VNX_KIND_INVALID = 0, VNX_KIND_INT32 = 1, VNX_KIND_BOOL = 2, VNX_KIND_TEXT = 3 };

VNX_RUNTIME_API VnxResult __cdecl VnxNewObjectFromInt32(int32_t value, VnxObject *object);
// Kind of the object; for a boolean or integer *number receives its value; for text up to
// capacity-1 bytes are copied to text (NUL-terminated) and *number receives the full length.
VNX_RUNTIME_API int32_t __cdecl VnxDescribeObject(VnxObject object, int32_t *number, char *text,
                                                  uint32_t capacity);
// Releases a live object.  A handle that is not one (released already, or never made) is
// refused with VNX_NOT_LIVE and its memory is not touched.
VNX_RUNTIME_API VnxResult __cdecl VnxReleaseObject(VnxObject object);
constexpr VnxResult VNX_NOT_LIVE = 4;
}
