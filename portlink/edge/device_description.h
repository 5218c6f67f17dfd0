#pragma once
// Retrieval of the gateway's device description and the recording of its control URL.

namespace portlink {

// GETs the session's descriptionUrl and, when a usable connection service is found (the live
// one when there are several), records its controlUrl and serviceType.  True when controlUrl is non-empty at the end.
// Discovery thread only.
bool fetchDeviceDescription();

} // namespace portlink
