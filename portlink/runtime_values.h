#pragma once
// Unpacking arguments from, and packing answers into, the runtime's value objects.
#include <cstdint>
#include <string>

#include "runtime_interface.h"

namespace portlink {

// Argument `index` as a 32-bit integer.  An argument the runtime cannot read counts as 0,
// and so does one beyond the count the runtime passed (it is never read).
int32_t integerArgument(uint32_t count, VnxObject *arguments, uint32_t index);

// New boolean / string value objects; null when the runtime could not make one.
VnxObject booleanAnswer(bool value);
VnxObject textAnswer(const std::string &utf8);

} // namespace portlink
