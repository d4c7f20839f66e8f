// The single-instance lock. Windows: the named mutex in the session's namespace. POSIX: a
// lock per user that the kernel drops when the process dies and that writes no file.
#pragma once

// Takes the lock for name, atomically: of two processes that try at the same moment exactly
// one gets it. true when this process now holds it (until it ends); false when another
// process holds it. A failure to take the lock for any other reason counts as holding it.
bool AcquireSingleInstanceLock(const char* name);

// Asks the instance that holds the lock to bring its window to the front, where the
// platform makes that cheap; does nothing otherwise.
void ActivateRunningInstance(const char* name);

// Where the platform carries activation requests itself (POSIX: over the lock), the handler
// runs when another start asks this instance to come to the front. It runs on the lock's own
// thread: a toolkit must hand the request to its UI thread.
void SetInstanceActivationHandler(void (*handler)());
