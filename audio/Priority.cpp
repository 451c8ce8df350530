#include "audio/Priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "audio/WaveDriver.h"
#include "engine/Engine.h"

namespace tessival {

namespace {

struct SavedPriorities {
  bool Raised = false;
  int Workers = 0;  // engine workers raised
  pid_t Tid = 0;
  pthread_t Thread{};
  int Nice = 0;
  int Policy = SCHED_OTHER;
  sched_param Param{};
};

SavedPriorities Saved;

// The lowest nice value RLIMIT_NICE lets an unprivileged thread reach.
int NiceFloorFromLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -20;
  return 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
}

void LowerNice(pid_t tid, int current) {
  // Privileged users get the lowest value; others go as far as their limit reaches.
  if (setpriority(PRIO_PROCESS, tid, -20) == 0) return;
  const int floor = NiceFloorFromLimit();
  if (floor < current) setpriority(PRIO_PROCESS, tid, floor);
}

}  // namespace

bool RequestRealTimeScheduling(int priority) { return RequestRealTimeScheduling(pthread_self(), priority); }

bool RequestRealTimeScheduling(pthread_t self, int priority) {
  sched_param param{};
  param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO),
                                    sched_get_priority_max(SCHED_FIFO));
  if (pthread_setschedparam(self, SCHED_FIFO, &param) == 0) return true;
  if (pthread_setschedparam(self, SCHED_RR, &param) == 0) return true;
  // An unprivileged user may have a real-time limit below the wanted priority.
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0 ||
      limit.rlim_cur == RLIM_INFINITY || static_cast<int>(limit.rlim_cur) >= param.sched_priority) {
    return false;
  }
  param.sched_priority = static_cast<int>(limit.rlim_cur);
  return pthread_setschedparam(self, SCHED_FIFO, &param) == 0;
}

void RaisePriorities(bool evenSimulated) {
  WaveDriver& driver = ActiveWaveDriver();
  driver.NoteEvent("RaisePriorities");
  // The simulated devices need no help, and tests must not hog the machine.
  if (Saved.Raised || !(driver.WantsRealTimePriority() || evenSimulated)) return;
  Saved.Tid = gettid();
  Saved.Thread = pthread_self();
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, Saved.Tid);
  if (nice == -1 && errno != 0) return;
  if (pthread_getschedparam(Saved.Thread, &Saved.Policy, &Saved.Param) != 0) return;
  Saved.Nice = nice;
  Saved.Raised = true;
  LowerNice(Saved.Tid, nice);  // the process first, then the thread
  RequestRealTimeScheduling(MainThreadRealTimePriority);
  // The partitioned mode's workers: below the main thread, whose blocks come first, and
  // each longer level below the shorter ones, whose results are due sooner.
  Saved.Workers = TheEngine.Partitions.WorkerCount();
  for (int i = 0; i < Saved.Workers; ++i) {
    if (const pid_t tid = TheEngine.Partitions.WorkerTid(i)) LowerNice(tid, 0);
    RequestRealTimeScheduling(TheEngine.Partitions.WorkerThread(i), WorkerRealTimePriority - i);
  }
}

void RestorePriorities() {
  ActiveWaveDriver().NoteEvent("RestorePriorities");
  if (!Saved.Raised) return;
  Saved.Raised = false;
  pthread_setschedparam(Saved.Thread, Saved.Policy, &Saved.Param);
  setpriority(PRIO_PROCESS, Saved.Tid, Saved.Nice);
  // The workers were made at normal priority.
  const sched_param normal{};
  for (int i = 0; i < std::min(Saved.Workers, TheEngine.Partitions.WorkerCount()); ++i) {
    pthread_setschedparam(TheEngine.Partitions.WorkerThread(i), SCHED_OTHER, &normal);
    if (const pid_t tid = TheEngine.Partitions.WorkerTid(i)) setpriority(PRIO_PROCESS, tid, 0);
  }
  Saved.Workers = 0;
}

}  // namespace tessival
