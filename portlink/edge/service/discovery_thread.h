#pragma once
// The gateway's discovery at work: the search, run once per process on its own thread, and
// what it found published (publishGateway).

namespace portlink {

// Starts the discovery thread (which runs the search at most once per process).  False only
// when the thread could not be started.
bool startSearchThread();

} // namespace portlink
