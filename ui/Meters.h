#pragma once
// The meter panel of the main window, in the memo box's place. While playing it shows
// a bar per input and per output channel in use (peak in dBFS with a short hold, and
// over each output a clip mark that stays lit until the next start or a click on the
// panel) and one line: DSP load, latency and the devices' underruns and skipped
// blocks. The main window's meter timer feeds it about ten times a second, on the main
// thread; stopped, it is empty.
#include <QFrame>
#include <QString>
#include <cstdint>

#include "engine/Engine.h"

namespace tessival {

// What the devices of the run add to the panel's line.
struct MeterStatus {
  double LatencyMs = 0;    // NumBuffers x BlockLength at the rate, plus the devices' own delay
  uint64_t Underruns = 0;  // times an output ran dry, over all outputs
  uint64_t Skipped = 0;    // blocks an output dropped to keep its queue bounded, over all outputs
};

// One bar, in dBFS; minus infinity shows nothing.
struct MeterBar {
  float LevelDb;         // the latest peak, falling back by DecayDb a tick with blocks
  float HoldDb;          // the latest high point, held HoldTicks
  int HoldLeft;          // ticks the hold still stands
  bool Clip;             // held samples since the start or the last click (outputs)
  int64_t LastClipTick;  // tick of the latest held sample; below 0: none
};

// The meters' state without the drawing: recent figures in, tick by tick; bars, marks
// and texts out.
class MeterModel {
 public:
  static constexpr int TicksPerSecond = 10;
  static constexpr float FloorDb = -60.0f;  // the bottom of the scale
  static constexpr float DecayDb = 2.0f;    // fall per tick: 20 dB a second
  static constexpr int HoldTicks = 15;      // 1.5 s

  MeterModel() { Stop(); }

  // A new run of `channels` output channels: every bar, mark and figure from nothing.
  void Start(int32_t channels);
  // No run: nothing to show.
  void Stop();
  // One tick: the figures counted since the previous one.
  void Tick(const RunFigures& recent, const MeterStatus& status);
  // The click on the panel: every clip mark out.
  void ClearClips();

  bool Active() const { return Active_; }
  int32_t Channels() const { return Channels_; }
  const MeterBar& Output(int ch) const { return Outputs_[ch]; }
  const MeterBar& Input(int c) const { return Inputs_[c]; }
  // Output channel ch held samples within the last second.
  bool ClippedLastSecond(int ch) const;
  // Mean and worst load of the blocks of the last second, as fractions; false when
  // it had none.
  bool LastSecondLoad(double* mean, double* worst) const;
  // "DSP 12/30 %   684 ms   0/0": load mean / worst, latency, underruns / skipped
  // blocks. Empty while not active.
  QString StatusLine() const;
  QString StatusToolTip() const;

 private:
  struct TickLoad {
    int64_t Blocks;
    double LoadSum;
    float Worst;
  };

  bool Active_ = false;
  int32_t Channels_ = 0;
  int64_t Ticks_ = 0;  // ticks since the start
  MeterBar Outputs_[MaxChannels];
  MeterBar Inputs_[2];
  TickLoad Loads_[TicksPerSecond];  // the last second, by Ticks_ modulo its size
  MeterStatus Status_;
};

// 20 log10 of a full-scale-1.0 level; minus infinity for 0.
float LevelDb(float level);

class TMeterPanel : public QFrame {
  Q_OBJECT

 public:
  explicit TMeterPanel(QWidget* parent);

  MeterModel Model;

  // Shows the model as it is now.
  void Refresh();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;  // puts the clip marks out
};

}  // namespace tessival
