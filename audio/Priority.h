#pragma once
// Scheduling priority while the devices run: the main thread (which runs every block's
// convolution) and the drivers' I/O threads ask for real-time scheduling, as far as
// the user's limits allow. Refusals are silent: the program runs on without.
#include <pthread.h>

namespace tessival {

constexpr int IoThreadRealTimePriority = 70;    // device I/O threads
constexpr int MainThreadRealTimePriority = 60;  // below the I/O threads that feed it
constexpr int WorkerRealTimePriority = 50;      // partitioned mode: the first level's worker; each longer
                                                // level's one below, as its results are due later

// Lowers the nice value of the process's main thread as far as allowed and asks for
// real-time scheduling of the calling (main) thread, and of the engine's worker threads
// (partitioned mode) below it; remembers what to restore. Does nothing more when
// already raised, or when the driver in use is simulated and `evenSimulated` is false.
void RaisePriorities(bool evenSimulated = false);

// Puts back the scheduling and nice value saved by RaisePriorities, thread first.
void RestorePriorities();

// Asks for SCHED_FIFO (else SCHED_RR) at priority, limited by RLIMIT_RTPRIO, for the
// calling thread (or `thread`). False when refused.
bool RequestRealTimeScheduling(int priority);
bool RequestRealTimeScheduling(pthread_t thread, int priority);

}  // namespace tessival
