#pragma once
// Partitioned convolution: blocks of P frames however long the filters are. The filter
// is cut into levels of uniform partitions, growing along the filter: the head (blocks
// of P, transforms of 2P points) is computed in the block itself, on the caller's
// thread; every later level (blocks of B = 4P, 16P, ...) by a worker thread of its own,
// which has B frames of time for each block because the level starts far enough into
// the filter (at tap 2B - P or later) that its result is needed only one block later.
//
// Contract: Configure takes every buffer, plan and thread; the block calls
// (NewFrames, BeginBlock, DeviceBlock, EndBlock) take nothing, and in the real-time mode
// they lock nothing, make no system call and never wait for a worker: a result that is
// not there when its block is played is counted as late and left out. Offline (the
// renderer, tests) the block waits for it instead.
#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <vector>

namespace tessival {

// One level of uniform partitions.
struct LevelShape {
  int32_t Block;       // B: frames per step, and taps per partition
  int32_t Partitions;  // K
  int32_t Offset;      // first tap of the filters that this level covers
};

// The levels for blocks of P frames and filters of M taps, head first. They cover taps
// 0 .. M - 1 without gap or overlap (the last partition may run past M).
std::vector<LevelShape> PlanLevels(int32_t p, int32_t m);

struct UniformLevel;
struct WorkerLevel;

class PartitionedConvolver {
 public:
  PartitionedConvolver();
  ~PartitionedConvolver();
  PartitionedConvolver(const PartitionedConvolver&) = delete;
  PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

  // Takes everything for blocks of `period` frames, `channels` output channels (1..10)
  // and filters of `filterLength` taps, and starts the worker threads. `realTime`:
  // never wait for a worker (a live run); `sampleRate` paces the real-time workers.
  // `measurePlans` as FftPlanMeasure. False on out of memory or a failed plan (nothing
  // is then held).
  bool Configure(int32_t period, int32_t channels, int32_t filterLength, int32_t sampleRate, bool realTime,
                 bool measurePlans);
  // Stops the workers and releases everything (safe when nothing is held).
  void Release();
  bool Configured() const { return Head != nullptr; }

  // Filters of output channel ch: `left` for the left input, `right` for the right, n taps
  // each (n <= filterLength). Between Configure and the first block; on the caller's thread.
  void SetFilters(int32_t ch, const float* left, const float* right, int32_t n);

  // Silent history, block count and late count back to 0. Waits for busy workers to finish.
  void Reset();

  // One block: write the P new input frames (left and right interleaved, 2P floats) to
  // NewFrames(), call BeginBlock, DeviceBlock for every device, then EndBlock.
  float* NewFrames();
  void BeginBlock();
  // The P output samples of channels 2d and 2d + 1 (the second is silence beyond the
  // last channel), before any gain.
  void DeviceBlock(int32_t d, float* left, float* right);
  void EndBlock();

  // Level results that were not there when their block was played (real-time mode).
  int64_t LatePartitions() const { return Late; }
  const std::vector<LevelShape>& Levels() const { return Shapes; }
  int32_t WorkerCount() const { return static_cast<int32_t>(Workers.size()); }
  // The worker thread of level i + 1, for the priority control.
  pthread_t WorkerThread(int32_t i) const;

  // For tests: while held, the workers take no new block (so that results come late).
  void HoldWorkers(bool hold);

 private:
  void CountOrWait(WorkerLevel& w, uint32_t chunk);

  int32_t Period = 0;  // P
  int32_t Channels = 0;
  int32_t Devices = 0;
  bool RealTime = false;
  std::vector<LevelShape> Shapes;
  std::unique_ptr<UniformLevel> Head;
  std::vector<std::unique_ptr<WorkerLevel>> Workers;
  std::shared_ptr<std::atomic<bool>> Hold;
  int64_t Blocks = 0;  // blocks since Reset
  int64_t Late = 0;
};

}  // namespace tessival
