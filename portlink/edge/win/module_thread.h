#pragma once
// Threads that keep this library loaded while they run.
namespace portlink {

// Starts a thread that runs `work` and then ends.  The thread holds its own reference to this
// library, taken before it exists, so an unload by the runtime while it runs cannot pull its
// code away; it frees that reference as its very last act (FreeLibraryAndExitThread).  An
// exception that escapes `work` ends the work, never the process.  False, with nothing
// started, when the reference or the thread could not be had.
bool startModuleThread(void (*work)());

} // namespace portlink
