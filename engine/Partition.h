#pragma once
// Partitioned convolution: blocks of P frames however long the filters are. The filter
// is cut into levels of uniform partitions, growing along the filter: the head (blocks
// of P, transforms of 2P points) is computed in the block itself, on the caller's
// thread; every later level (blocks of B = 4P, 16P, ...) by a worker thread of its own,
// which has B frames of time for each block because the level starts far enough into
// the filter (at tap 2B - P or later) that its result is needed only one block later.
//
// Contract: Configure takes every buffer, plan and thread; the block calls
// (NewFrames, BeginBlock, DeviceBlock, EndBlock) take nothing, and in the live mode they
// lock nothing, make no system call and never wait for a worker: a result that is not
// there when its block is played is counted as late and left out.
#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <sys/types.h>
#include <vector>

namespace tessival {

// One level of uniform partitions.
struct LevelShape {
  int32_t Block;       // B: frames per step, and taps per partition
  int32_t Partitions;  // K
  int32_t Offset;      // first tap of the filters that this level covers
};

// The levels for blocks of P frames, filters of M taps and C channels, head first,
// chosen by a cost model measured on this kind of machine. They cover taps 0 .. M - 1
// without gap or overlap (the last partition may run past M).
std::vector<LevelShape> PlanLevels(int32_t p, int32_t m, int32_t c);

// Who computes the levels after the head.
enum class WorkerMode {
  Live,    // worker threads paced by the clock; the block never waits (a live run)
  Waited,  // worker threads; the block waits for a result not yet there (tests, --workers)
  Inline,  // the block itself, as soon as a level's block is complete (the renderer: the
           // least work where nothing runs in real time); the same results bit for bit
};

struct UniformLevel;
struct WorkerLevel;

class PartitionedConvolver {
 public:
  PartitionedConvolver();
  ~PartitionedConvolver();
  PartitionedConvolver(const PartitionedConvolver&) = delete;
  PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

  // Takes everything for blocks of `period` frames (a multiple of 8), `channels` output
  // channels (1..10) and filters of `filterLength` taps, and starts the worker threads
  // (none Inline); `sampleRate` paces the live ones. Plans are measured as FftPlanMeasure
  // says. False on out of memory or a failed plan (nothing is then held).
  bool Configure(int32_t period, int32_t channels, int32_t filterLength, int32_t sampleRate, WorkerMode mode);
  // The same with levels of the caller's choice (as PlanLevels gives them), for tests
  // and measurements.
  bool Configure(int32_t period, int32_t channels, int32_t sampleRate, WorkerMode mode,
                 std::vector<LevelShape> levels);
  // Stops the workers and releases everything (safe when nothing is held).
  void Release();
  bool Configured() const { return Head != nullptr; }

  // Filters of output channel ch: `left` for the left input, `right` for the right, n taps
  // each (n <= filterLength). Between Configure and the first block; on the caller's thread.
  void SetFilters(int32_t ch, const float* left, const float* right, int32_t n);

  // Silent history, block count and late count back to 0; from now on real-time workers
  // are paced by `sampleRate` (0: as before). Waits for busy workers to finish.
  void Reset(int32_t sampleRate = 0);

  // One block: write the P new input frames (left and right interleaved, 2P floats) to
  // NewFrames(), call BeginBlock, DeviceBlock for every device, then EndBlock.
  float* NewFrames();
  void BeginBlock();
  // The P output samples of channels 2d and 2d + 1 (the second is silence beyond the
  // last channel), before any gain.
  void DeviceBlock(int32_t d, float* left, float* right);
  void EndBlock();

  // Level results that were not there when their block was played (live mode).
  int64_t LatePartitions() const { return Late; }
  const std::vector<LevelShape>& Levels() const { return Shapes; }
  // Worker threads running (none Inline).
  int32_t WorkerCount() const { return Mode == WorkerMode::Inline ? 0 : static_cast<int32_t>(Workers.size()); }
  // The worker thread of level i + 1 and its kernel thread id (0 until it has started),
  // for the priority control.
  pthread_t WorkerThread(int32_t i) const;
  pid_t WorkerTid(int32_t i) const;

  // For tests: while held, the workers take no new block (so that results come late).
  void HoldWorkers(bool hold);

 private:
  void CountOrWait(WorkerLevel& w, uint32_t chunk);

  void Pace(int32_t sampleRate);

  int32_t Period = 0;  // P
  int32_t Channels = 0;
  int32_t Devices = 0;
  WorkerMode Mode = WorkerMode::Live;
  std::vector<LevelShape> Shapes;
  std::unique_ptr<UniformLevel> Head;
  std::vector<std::unique_ptr<WorkerLevel>> Workers;
  std::atomic<bool> Held{false};
  int64_t Blocks = 0;  // blocks since Reset
  int64_t Late = 0;
};

}  // namespace tessival
