#include "audio/Priority.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "audio/AlsaDriver.h"
#include "audio/SimDriver.h"

namespace tessival {
namespace {

struct Scheduling {
  int Policy = 0;
  int Priority = 0;
  int Nice = 0;
  bool operator==(const Scheduling&) const = default;
};

Scheduling Current() {
  Scheduling s;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &s.Policy, &param);
  s.Priority = param.sched_priority;
  s.Nice = getpriority(PRIO_PROCESS, gettid());
  return s;
}

TEST(Priorities, AreRaisedAsFarAsAllowedAndRestoredExactly) {
  InstallWaveDriver(MakeAlsaDriver());
  const Scheduling before = Current();
  RaisePriorities();
  const Scheduling raised = Current();
  EXPECT_LE(raised.Nice, before.Nice);
  if (geteuid() == 0) {
    EXPECT_EQ(raised.Policy, SCHED_FIFO);
    EXPECT_EQ(raised.Priority, MainThreadRealTimePriority);
    EXPECT_EQ(raised.Nice, -20);
  }
  RaisePriorities();  // a second raise must not make the raised state the one restored
  RestorePriorities();
  EXPECT_EQ(Current(), before);
  RestorePriorities();
  EXPECT_EQ(Current(), before);

  bool granted = false;
  Scheduling io;
  std::thread([&] {
    granted = RequestRealTimeScheduling(IoThreadRealTimePriority);
    io = Current();
  }).join();
  if (granted) {
    EXPECT_NE(io.Policy, SCHED_OTHER);
    EXPECT_GT(io.Priority, 0);
  } else {
    EXPECT_EQ(io.Policy, SCHED_OTHER);
  }
  InstallWaveDriver(nullptr);
}

TEST(Priorities, AreLeftAloneWithTheSimulatedDriverButNoted) {
  SimDriver& sim = InstallSimDriver();
  const Scheduling before = Current();
  RaisePriorities();
  EXPECT_EQ(Current(), before);
  RestorePriorities();
  EXPECT_EQ(sim.CallLog(), (std::vector<std::string>{"RaisePriorities", "RestorePriorities"}));
  InstallWaveDriver(nullptr);
}

}  // namespace
}  // namespace tessival
