// Gateway discovery (placeholder until the discovery thread lands).
#include "extension_functions.h"
#include "runtime_values.h"

extern "C" PORTLINK_FUNCTION(startSearch) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return portlink::booleanAnswer(true);
}
