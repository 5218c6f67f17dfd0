#pragma once
// Retrieval of the gateway's device description and the recording of its control URL.

namespace portlink {

// GETs the session's descriptionUrl and records baseUrl and, when a connection service is
// found (the named type first, then the other candidates), controlUrl and serviceType.  True
// when controlUrl is non-empty at the end.  Discovery thread only.
bool fetchDeviceDescription();

} // namespace portlink
