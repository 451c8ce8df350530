#include "ui/Gain.h"

#include <QLabel>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>

#include "engine/Gains.h"
#include "settings/Settings.h"

namespace tessival {

TGainForm* GainForm = nullptr;

namespace {

constexpr int ClientWidth = 571;
constexpr int ClientHeight = 226;
constexpr int SliderWidth = 45;
constexpr int SliderTop = 26;
constexpr int SliderHeight = 168;
constexpr int RowPitch = 48;     // S1..S8
constexpr int GroupGap = 64;     // before S1 and before Master
constexpr int FirstLeft = 8;

int SliderLeft(int k) {
  if (k == 0) return FirstLeft;
  if (k <= 8) return FirstLeft + GroupGap + (k - 1) * RowPitch;
  return FirstLeft + GroupGap + 7 * RowPitch + GroupGap;
}

}  // namespace

QString GainLabelText(int db) {
  return db > 0 ? QStringLiteral("+%1").arg(db) : QString::number(db);
}

TTrackBar::TTrackBar(QWidget* parent) : QSlider(Qt::Vertical, parent) {
  setRange(MinGainDb, MaxGainDb);
  setSingleStep(1);
  setPageStep(2);
  setTickPosition(QSlider::TicksBothSides);
  setTickInterval(2);
  SetPosition(GainPositionOf(0));
}

int TTrackBar::HandleCentreY(int position) const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  option.sliderPosition = GainDbOf(position);
  option.sliderValue = GainDbOf(position);
  const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
  return handle.center().y();
}

TGainForm::TGainForm(QWidget* parent) : QDialog(parent) {
  setObjectName("GainForm");
  setWindowTitle("Channel Gain");
  setFixedSize(ClientWidth, ClientHeight);
  setModal(false);

  for (int k = 0; k < NumGainSliders; ++k) {
    const int left = SliderLeft(k);
    auto* slider = new TTrackBar(this);
    slider->setObjectName(QStringLiteral("TrackBar%1").arg(k));
    slider->setProperty("tag", k);
    slider->setGeometry(left, SliderTop, SliderWidth, SliderHeight);
    TrackBar[k] = slider;

    auto* value = new QLabel(this);
    value->setObjectName(QStringLiteral("Label%1").arg(k));
    value->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    value->setGeometry(left - 4, 6, SliderWidth + 8, 18);
    Label[k] = value;

    auto* name = new QLabel(QString::fromLatin1(GainSliderNames[k]), this);
    name->setObjectName(QStringLiteral("NameLabel%1").arg(k));
    name->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    name->setGeometry(left - 8, SliderTop + SliderHeight + 4, SliderWidth + 16, 18);
    NameLabel[k] = name;
  }

  // The scale sits beside the master slider at the heights of its marks.
  const char* const scaleTexts[3] = {"+6 dB", "0 dB", "-24 dB"};
  const int scaleDb[3] = {MaxGainDb, 0, MinGainDb};
  const int scaleLeft = SliderLeft(9) + SliderWidth + 4;
  QFont bold = font();
  bold.setBold(true);
  QPalette red = palette();
  red.setColor(QPalette::WindowText, Qt::red);
  for (int i = 0; i < 3; ++i) {
    auto* scale = new QLabel(QString::fromLatin1(scaleTexts[i]), this);
    scale->setObjectName(QStringLiteral("ScaleLabel%1").arg(i));
    scale->setFont(bold);
    scale->setPalette(red);
    scale->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int height = 16;
    const int centre = SliderTop + TrackBar[9]->HandleCentreY(GainPositionOf(scaleDb[i]));
    scale->setGeometry(scaleLeft, centre - height / 2, ClientWidth - scaleLeft - 2, height);
    ScaleLabel[i] = scale;
  }

  FormCreate();

  for (int k = 0; k < NumGainSliders; ++k) {
    TTrackBar* slider = TrackBar[k];
    connect(slider, &QSlider::valueChanged, this, [this, slider](int) { TrackBarChange(slider); });
  }
}

// Puts the stored gains on the sliders and computes every factor, so the gains are
// in force from the start even if the dialog is never shown. A stored value the
// slider cannot show is held to the nearest end and kept as shown.
void TGainForm::FormCreate() {
  for (int k = 0; k < NumGainSliders; ++k) {
    GainSteps[k] = std::clamp(GainSteps[k], MinGainDb, MaxGainDb);
    TrackBar[k]->SetPosition(GainPositionOf(GainSteps[k]));
    Label[k]->setText(GainLabelText(GainSteps[k]));
  }
  ComputeGainFactors();
}

void TGainForm::TrackBarChange(TTrackBar* Sender) {
  const int k = Sender->property("tag").toInt();
  if (k < 0 || k >= NumGainSliders) return;
  const int v = GainDbOf(Sender->Position());
  Label[k]->setText(GainLabelText(v));
  GainSteps[k] = v;
  UpdateGainFactorsForSlider(k);
}

}  // namespace tessival
