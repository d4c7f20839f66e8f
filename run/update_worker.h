// The update worker: carries one update run from reset through announcement and serving
// to its outcome, on a detached thread of its own, and the network half of stopping a run.
#pragma once

#include <cstdint>

// How long a new run's worker waits for the worker of an earlier run to end before it gives
// up with OUTCOME_NO_DEVICE (the earlier one has been stopped and normally ends within a
// second or so; a close may linger 2 seconds).
constexpr unsigned PREVIOUS_RUN_WAIT_MS = 5000;

// The thread body the Update button starts: StartDetachedThread(UpdateWorker, nullptr).
// The argument is ignored.
void UpdateWorker(void* ignored);

// Sets g_server.state to TS_STOPPED. Returns 0.
int MarkServerStopped();

// The network half of the window's StopUpdateRun: while a worker is active, asks the run to
// end (the server loop and its worker then end within about a second, their sockets
// closed), stops the announcer and marks the server stopped. Waits at most about half a
// second. A run stopped this way publishes no outcome of its own: the window has ended it.
void StopUpdateRunNetwork();

// Stops whatever run is still going and waits until no worker of any run, and no
// announcer thread, is still running. true when all have ended within timeout_ms. The
// shut-down calls it before the images are freed.
bool WaitForWorkerEnd(unsigned timeout_ms);

// The outcome after a server loop that returned result, given the outcome stored so far:
// 0 gives OUTCOME_NO_DEVICE, 8 OUTCOME_OLD_VERSION, 9 and 11 OUTCOME_FAILED, 10
// OUTCOME_COMPLETED; every other result leaves the outcome as it was.
int32_t OutcomeAfterServer(int result, int32_t outcome);
