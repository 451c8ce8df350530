#pragma once
// The channel gain dialog: ten vertical sliders in whole decibels ("Dipole", "S1" to
// "S8", "Master") that keep GainSteps and GainFactors in step. Modeless; a slider
// movement takes effect from the next block, also while the devices run.
#include <QDialog>
#include <QSlider>
#include <QString>
#include <array>

#include "settings/Limits.h"

class QLabel;

namespace tessival {

// Slider position 0 (top) is +6 dB, 30 (bottom) is -24 dB.
constexpr int GainPositionOf(int db) { return 6 - db; }
constexpr int GainDbOf(int position) { return 6 - position; }

// "+6", "0", "-24": a plus sign above 0 dB, no unit.
QString GainLabelText(int db);

// A vertical gain slider. Its position counts 0 (top) to 30 (bottom); the QSlider
// value underneath is the decibel value, so the style fills the groove below the
// handle and the up key raises the gain.
class TTrackBar : public QSlider {
  Q_OBJECT

 public:
  explicit TTrackBar(QWidget* parent);
  int Position() const { return GainPositionOf(value()); }
  void SetPosition(int position) { setValue(GainDbOf(position)); }
  // Vertical centre of the handle at a position, in this slider's coordinates.
  int HandleCentreY(int position) const;
};

// A small clip lamp: red while lit.
class TClipLamp : public QWidget {
 public:
  explicit TClipLamp(QWidget* parent);
  void SetLit(bool lit);
  bool Lit() const { return Lit_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool Lit_ = false;
};

class TGainForm : public QDialog {
  Q_OBJECT

 public:
  explicit TGainForm(QWidget* parent = nullptr);

  // The shared change handler; the sender's tag (its index) selects the slider.
  void TrackBarChange(TTrackBar* Sender);

  // Lights the lamp of each slider whose channels clipped in the last second (Master:
  // any channel); all out when nothing plays.
  void ShowClipping(const std::array<bool, MaxChannels>& clipped);
  // Each slider's tooltip: the headroom of the channels it controls, from the load.
  void ShowHeadroom();

  TTrackBar* TrackBar[NumGainSliders];  // TrackBar0..TrackBar9
  QLabel* Label[NumGainSliders];        // value above each slider, Label0..Label9
  QLabel* NameLabel[NumGainSliders];    // "Dipole", "S1".."S8", "Master" under each slider
  QLabel* ScaleLabel[3];                 // "+6 dB", "0 dB", "-24 dB" at the right edge
  TClipLamp* ClipLamp[NumGainSliders];   // over each slider, lit while its channels clip

 private:
  void FormCreate();
};

extern TGainForm* GainForm;

}  // namespace tessival
