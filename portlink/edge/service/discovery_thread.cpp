#include "service/discovery_thread.h"

#include "search/gateway_search.h"
#include "service/mapping_service.h"
#include "service/nat_session.h"
#include "win/module_thread.h"

namespace portlink {

namespace {

// searchGateway, then publishGateway; a finalizer that comes meanwhile ends the search.
bool discoverGateway() {
    return publishGateway(searchGateway([] { return mappings().stopped(); }));
}

void runSearchOnce() {
    // Only the first thread to claim the search runs it; every later one ends at once.
    if (!session().claimSearch())
        return;
    try {
        discoverGateway();
    } catch (...) {
        // Out of memory in a text: the discovery ends as a failed one.
    }
    session().markSearchEnded();
}

} // namespace

bool startSearchThread() { return startModuleThread(runSearchOnce); }

} // namespace portlink
