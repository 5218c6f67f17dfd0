// Port-mapping actions (placeholder until the SOAP actions land).
#include "extension_functions.h"
#include "runtime_values.h"

extern "C" PORTLINK_FUNCTION(addNATPortMapping) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return portlink::booleanAnswer(false);
}

extern "C" PORTLINK_FUNCTION(removeNATPortMapping) {
    (void)context, (void)functionData, (void)argumentCount, (void)arguments;
    return portlink::booleanAnswer(false);
}
