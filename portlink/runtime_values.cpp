#include "runtime_values.h"

#include <climits>

namespace portlink {

int32_t integerArgument(uint32_t count, VnxObject *arguments, uint32_t index) {
    int32_t value = 0;
    if (arguments != nullptr && index < count)
        VnxGetObjectAsInt32(arguments[index], &value);
    return value;
}

VnxObject booleanAnswer(bool value) {
    VnxObject answer = nullptr;
    VnxNewObjectFromBool(value ? 1u : 0u, &answer);
    return answer;
}

VnxObject textAnswer(const std::string &utf8) {
    VnxObject answer = nullptr;
    if (utf8.size() <= UINT32_MAX)
        VnxNewObjectFromUTF8(static_cast<uint32_t>(utf8.size()), utf8.data(), &answer);
    return answer;
}

} // namespace portlink
