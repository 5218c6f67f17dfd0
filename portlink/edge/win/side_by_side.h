#pragma once
// Runs a few pieces of work at the same time and waits for all of them.
#include <functional>
#include <vector>

namespace portlink {

// Runs each of `beside` on a thread of its own while `main` runs on the calling thread, and
// returns once every one has ended.  A piece whose thread cannot be started runs on the
// calling thread after `main`.  The pieces must not throw.
void runSideBySide(const std::function<void()> &main, std::vector<std::function<void()>> &beside);

} // namespace portlink
