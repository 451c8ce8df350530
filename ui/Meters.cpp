#include "ui/Meters.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>

namespace tessival {

namespace {

constexpr float Silent = -std::numeric_limits<float>::infinity();

constexpr MeterBar EmptyBar{Silent, Silent, 0, false, -1};

// The bar follows each new peak at once and falls back slowly; the hold stands, then
// falls as the bar does, never below it.
void Follow(MeterBar& bar, float peakDb) {
  bar.LevelDb = std::max(peakDb, bar.LevelDb - MeterModel::DecayDb);
  if (bar.LevelDb < MeterModel::FloorDb) bar.LevelDb = Silent;
  if (peakDb >= bar.HoldDb) {
    bar.HoldDb = peakDb;
    bar.HoldLeft = MeterModel::HoldTicks;
  } else if (bar.HoldLeft > 0) {
    --bar.HoldLeft;
  } else {
    bar.HoldDb = std::max(bar.LevelDb, bar.HoldDb - MeterModel::DecayDb);
  }
}

// Drawing: places inside the panel's frame, in pixels.
constexpr int ScaleRight = 19;   // the dB figures end here
constexpr int BarsLeft = 24;
constexpr int BarPitch = 12;
constexpr int BarWidth = 9;
constexpr int InGap = 8;         // between the inputs and the dipole pair
constexpr int SurroundGap = 9;   // between the dipole pair and the surround channels
constexpr int ClipTop = 4;
constexpr int ClipHeight = 6;
constexpr int BarTop = 14;
constexpr int BarBottom = 118;
constexpr int NamesTop = 121;    // "L R", "1".."8" under the bars
constexpr int GroupsTop = 134;   // "In", "Dipole", "Surround" under those
constexpr int LineTop = 156;     // the status line
constexpr int RowHeight = 13;
constexpr float ScaleMarks[] = {0, -12, -24, -36, -48};

const QColor TrackColour(0xe4, 0xe4, 0xe4);
const QColor GridColour(0xc8, 0xc8, 0xc8);
const QColor LowColour(0x2e, 0x9e, 0x3e);     // below -12 dBFS
const QColor MiddleColour(0xe0, 0xa0, 0x00);  // -12 to -3 dBFS
const QColor HighColour(0xe0, 0x40, 0x20);    // above -3 dBFS
const QColor HoldColour(0x30, 0x30, 0x30);
const QColor ClipColour(0xe0, 0x00, 0x00);
const QColor ClipOffColour(0xd4, 0xd4, 0xd4);

int YOf(float db) {
  const float clamped = std::clamp(db, MeterModel::FloorDb, 0.0f);
  const float share = (clamped - MeterModel::FloorDb) / -MeterModel::FloorDb;
  return BarBottom - static_cast<int>(std::lround(share * (BarBottom - BarTop)));
}

// Bar x positions: inputs 0 and 1, then the output channels.
int InputX(int c) { return BarsLeft + c * BarPitch; }
int OutputX(int ch) {
  const int dipole = BarsLeft + 2 * BarPitch + InGap;
  return ch < 2 ? dipole + ch * BarPitch : dipole + 2 * BarPitch + SurroundGap + (ch - 2) * BarPitch;
}

void DrawBar(QPainter& p, int x, const MeterBar& bar) {
  p.fillRect(x, BarTop, BarWidth, BarBottom - BarTop, TrackColour);
  if (bar.LevelDb >= MeterModel::FloorDb) {
    // Coloured by zone, each zone up to where the level reaches.
    const float zones[3][2] = {{MeterModel::FloorDb, -12}, {-12, -3}, {-3, 0}};
    const QColor colours[3] = {LowColour, MiddleColour, HighColour};
    for (int z = 0; z < 3; ++z) {
      if (bar.LevelDb <= zones[z][0]) break;
      const int top = YOf(std::min(bar.LevelDb, zones[z][1]));
      p.fillRect(x, top, BarWidth, YOf(zones[z][0]) - top, colours[z]);
    }
  }
  if (bar.HoldDb >= MeterModel::FloorDb) p.fillRect(x, YOf(bar.HoldDb) - 1, BarWidth, 2, HoldColour);
}

}  // namespace

float LevelDb(float level) { return level > 0 ? 20.0f * std::log10(level) : Silent; }

void MeterModel::Start(int32_t channels) {
  Stop();
  Active_ = true;
  Channels_ = std::clamp<int32_t>(channels, 0, MaxChannels);
}

void MeterModel::Stop() {
  Active_ = false;
  Channels_ = 0;
  Ticks_ = 0;
  std::fill(std::begin(Outputs_), std::end(Outputs_), EmptyBar);
  std::fill(std::begin(Inputs_), std::end(Inputs_), EmptyBar);
  std::fill(std::begin(Loads_), std::end(Loads_), TickLoad{0, 0.0, 0.0f});
  Status_ = MeterStatus{};
}

void MeterModel::Tick(const RunFigures& recent, const MeterStatus& status) {
  if (!Active_) return;
  // A tick without a block brings no news: the bars stay (long blocks come less often
  // than the ticks).
  if (recent.Blocks > 0) {
    for (int ch = 0; ch < Channels_; ++ch) Follow(Outputs_[ch], LevelDb(recent.OutputPeak[ch]));
    for (int c = 0; c < 2; ++c) Follow(Inputs_[c], LevelDb(recent.InputPeak[c]));
  }
  for (int ch = 0; ch < Channels_; ++ch) {
    if (recent.Saturated[ch] > 0) {
      Outputs_[ch].Clip = true;
      Outputs_[ch].LastClipTick = Ticks_;
    }
  }
  Loads_[Ticks_ % TicksPerSecond] = TickLoad{recent.Blocks, recent.LoadSum, recent.WorstLoad};
  Status_ = status;
  ++Ticks_;
}

void MeterModel::ClearClips() {
  for (MeterBar& bar : Outputs_) bar.Clip = false;
}

bool MeterModel::ClippedLastSecond(int ch) const {
  const int64_t at = Outputs_[ch].LastClipTick;
  return Active_ && at >= 0 && Ticks_ - at <= TicksPerSecond;
}

bool MeterModel::LastSecondLoad(double* mean, double* worst) const {
  int64_t blocks = 0;
  double sum = 0;
  float most = 0;
  for (const TickLoad& t : Loads_) {
    blocks += t.Blocks;
    sum += t.LoadSum;
    most = std::max(most, t.Worst);
  }
  if (blocks == 0) return false;
  *mean = sum / static_cast<double>(blocks);
  *worst = most;
  return true;
}

namespace {

// A load in %: a tenth below 10 %, whole ones above.
QString Percent(double fraction) {
  const double pct = 100 * fraction;
  return pct < 9.95 ? QString::number(pct, 'f', 1) : QString::number(std::lround(pct));
}

}  // namespace

QString MeterModel::StatusLine() const {
  if (!Active_) return {};
  double mean = 0, worst = 0;
  const QString load =
      LastSecondLoad(&mean, &worst) ? Percent(mean) + QLatin1Char('/') + Percent(worst) : QStringLiteral("-");
  return QStringLiteral("DSP %1 %   %2 ms   %3/%4")
      .arg(load)
      .arg(std::lround(Status_.LatencyMs))
      .arg(Status_.Underruns)
      .arg(Status_.Skipped);
}

QString MeterModel::StatusToolTip() const {
  if (!Active_) return {};
  double mean = 0, worst = 0;
  const QString load = LastSecondLoad(&mean, &worst)
                           ? QStringLiteral("%1 % on average, %2 % at most").arg(100 * mean, 0, 'f', 1).arg(100 * worst, 0, 'f', 1)
                           : QStringLiteral("no block yet");
  return QStringLiteral(
             "DSP load (a block's time against the time it plays), last second: %1\n"
             "Latency from input to output: %2 ms\n"
             "Underruns / skipped blocks over all outputs: %3 / %4\n"
             "Click to put the clip marks out.")
      .arg(load)
      .arg(std::lround(Status_.LatencyMs))
      .arg(Status_.Underruns)
      .arg(Status_.Skipped);
}

TMeterPanel::TMeterPanel(QWidget* parent) : QFrame(parent) {
  setObjectName("MeterPanel");
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
}

void TMeterPanel::Refresh() {
  setToolTip(Model.StatusToolTip());
  update();
}

void TMeterPanel::mousePressEvent(QMouseEvent* event) {
  Model.ClearClips();
  update();
  QFrame::mousePressEvent(event);
}

void TMeterPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (!Model.Active()) return;  // stopped: empty, as the memo box was
  QPainter p(this);
  const QRect inner = contentsRect();
  p.translate(inner.topLeft());
  p.setClipRect(0, 0, inner.width(), inner.height());

  QFont small = font();
  small.setPixelSize(10);
  p.setFont(small);
  p.setPen(palette().color(QPalette::Text));

  // The scale, and its marks across the bars.
  const int barsRight = OutputX(std::max(Model.Channels(), 2) - 1) + BarWidth;
  for (float db : ScaleMarks) {
    const int y = YOf(db);
    p.drawText(QRect(0, y - 6, ScaleRight, 12), Qt::AlignRight | Qt::AlignVCenter, QString::number(db));
  }

  for (int c = 0; c < 2; ++c) DrawBar(p, InputX(c), Model.Input(c));
  for (int ch = 0; ch < Model.Channels(); ++ch) {
    const int x = OutputX(ch);
    DrawBar(p, x, Model.Output(ch));
    p.fillRect(x, ClipTop, BarWidth, ClipHeight, Model.Output(ch).Clip ? ClipColour : ClipOffColour);
  }
  p.setPen(GridColour);
  for (float db : ScaleMarks) {
    const int y = YOf(db);
    for (int x = BarsLeft; x < barsRight; x += 2) p.drawPoint(x, y);
  }

  // Names: each bar, then its group.
  p.setPen(palette().color(QPalette::Text));
  const auto name = [&](int x, int width, int top, const QString& text, Qt::Alignment align) {
    p.drawText(QRect(x, top, width, RowHeight), align | Qt::AlignVCenter, text);
  };
  const char* const sides[2] = {"L", "R"};
  for (int c = 0; c < 2; ++c) name(InputX(c) - 2, BarWidth + 4, NamesTop, sides[c], Qt::AlignHCenter);
  for (int ch = 0; ch < Model.Channels(); ++ch)
    name(OutputX(ch) - 2, BarWidth + 4, NamesTop, ch < 2 ? QString(sides[ch]) : QString::number(ch - 1),
         Qt::AlignHCenter);
  name(InputX(0) - 4, 2 * BarPitch + 5, GroupsTop, "In", Qt::AlignHCenter);
  name(OutputX(0) - 6, 2 * BarPitch + 9, GroupsTop, "Dipole", Qt::AlignHCenter);
  if (Model.Channels() > 2) name(OutputX(2), inner.width() - OutputX(2), GroupsTop, "Surround", Qt::AlignLeft);

  // The status line, under a rule.
  p.setPen(GridColour);
  p.drawLine(4, LineTop - 3, inner.width() - 5, LineTop - 3);
  p.setPen(palette().color(QPalette::Text));
  QFont line = font();
  line.setPixelSize(11);
  p.setFont(line);
  const QString text = QFontMetrics(line).elidedText(Model.StatusLine(), Qt::ElideRight, inner.width() - 8);
  p.drawText(QRect(4, LineTop, inner.width() - 8, 18), Qt::AlignLeft | Qt::AlignVCenter, text);
}

}  // namespace tessival
