#include "ui/Gain.h"

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>

#include "engine/Gains.h"
#include "settings/Settings.h"
#include "ui/HeadroomText.h"
#include "ui/Layout.h"

namespace tessival {

TGainForm* GainForm = nullptr;

namespace {

// Designed sizes. The sliders stand 48 pixels apart, with a wider gap (64) before
// "S1" and before "Master"; the value labels above and the names below are centred
// on them, and the scale marks stand at the right edge.
constexpr QSize SliderSize(45, 168);
constexpr int ColumnWidth = 48;
constexpr int FirstColumnLeft = 7;  // the first slider stands 8 from the left edge
constexpr int GroupGap = 64 - ColumnWidth;
constexpr int LabelHeight = 18;
constexpr int ScaleWidth = 48;
constexpr int ScaleHeight = 16;

// Grid rows and the columns of the sliders; the spacer rows and columns between
// them carry the designed gaps. The clip lamps sit between the values and the sliders.
enum Row { ValueRow = 0, LampRow = 1, SliderRow = 2, NameRow = 4 };
constexpr QSize LampSize(22, 6);
constexpr int LampRowHeight = 10;
int ColumnOf(int k) { return k == 0 ? 0 : k <= 8 ? k + 1 : 11; }
constexpr int ScaleColumn = 13;

// The "+6 dB", "0 dB" and "-24 dB" marks beside the master slider, each centred on
// the height of its slider position. It spans the whole height of the dialog and
// follows the slider wherever the layout puts it.
class GainScale : public QWidget {
 public:
  GainScale(QWidget* parent, const TTrackBar* master, QLabel* (&labels)[3]) : QWidget(parent), Master(master) {
    const char* const texts[3] = {"+6 dB", "0 dB", "-24 dB"};
    QFont bold = font();
    bold.setBold(true);
    QPalette red = palette();
    red.setColor(QPalette::WindowText, Qt::red);
    for (int i = 0; i < 3; ++i) {
      auto* label = new QLabel(QString::fromLatin1(texts[i]), this);
      label->setObjectName(QStringLiteral("ScaleLabel%1").arg(i));
      label->setFont(bold);
      label->setPalette(red);
      label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      labels[i] = Labels[i] = label;
    }
  }

  QSize sizeHint() const override {
    int width = ScaleWidth;
    for (const QLabel* label : Labels) width = std::max(width, label->sizeHint().width());
    return {width, 0};
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

  // Puts the marks at the heights of the master slider's positions.
  void Place() {
    const int positions[3] = {GainPositionOf(MaxGainDb), GainPositionOf(0), GainPositionOf(MinGainDb)};
    const int sliderTop = Master->y() - y();
    for (int i = 0; i < 3; ++i) {
      const int height = std::max(ScaleHeight, Labels[i]->sizeHint().height());
      const int centre = sliderTop + Master->HandleCentreY(positions[i]);
      Labels[i]->setGeometry(0, centre - height / 2, width(), height);
    }
  }

 protected:
  void resizeEvent(QResizeEvent*) override { Place(); }
  void moveEvent(QMoveEvent*) override { Place(); }

 private:
  const TTrackBar* Master;
  QLabel* Labels[3];
};

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

TClipLamp::TClipLamp(QWidget* parent) : QWidget(parent) {
  setFixedSize(LampSize);
  setToolTip(QStringLiteral("Lit while a channel of this slider clips"));
}

void TClipLamp::SetLit(bool lit) {
  if (lit == Lit_) return;
  Lit_ = lit;
  update();
}

void TClipLamp::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Lit_ ? QColor(0x90, 0x00, 0x00) : palette().color(QPalette::Mid));
  p.setBrush(Lit_ ? QColor(0xe8, 0x00, 0x00) : palette().color(QPalette::Base));
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
}

TGainForm::TGainForm(QWidget* parent) : QDialog(parent) {
  setObjectName("GainForm");
  setWindowTitle("Channel Gain");
  setModal(false);

  auto* grid = new QGridLayout;
  grid->setContentsMargins(FirstColumnLeft, 6, 2, 10);
  grid->setSpacing(0);
  grid->setRowMinimumHeight(LampRow, LampRowHeight);
  grid->setRowMinimumHeight(SliderRow + 1, 4);
  grid->setColumnMinimumWidth(ColumnOf(1) - 1, GroupGap);
  grid->setColumnMinimumWidth(ColumnOf(9) - 1, GroupGap);
  grid->setColumnMinimumWidth(ScaleColumn - 1, 2);
  for (int k = 0; k < NumGainSliders; ++k) {
    const int column = ColumnOf(k);
    grid->setColumnMinimumWidth(column, ColumnWidth);

    auto* slider = new TTrackBar(this);
    slider->setObjectName(QStringLiteral("TrackBar%1").arg(k));
    slider->setProperty("tag", k);
    slider->setFixedSize(SliderSize);
    grid->addWidget(slider, SliderRow, column, Qt::AlignHCenter);
    TrackBar[k] = slider;

    auto* value = new QLabel(this);
    value->setObjectName(QStringLiteral("Label%1").arg(k));
    value->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    value->setMinimumHeight(LabelHeight);
    grid->addWidget(value, ValueRow, column);
    Label[k] = value;

    auto* lamp = new TClipLamp(this);
    lamp->setObjectName(QStringLiteral("ClipLamp%1").arg(k));
    grid->addWidget(lamp, LampRow, column, Qt::AlignCenter);
    ClipLamp[k] = lamp;

    auto* name = new QLabel(QString::fromLatin1(GainSliderNames[k]), this);
    name->setObjectName(QStringLiteral("NameLabel%1").arg(k));
    name->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    name->setMinimumHeight(LabelHeight);
    grid->addWidget(name, NameRow, column);
    NameLabel[k] = name;
  }
  auto* scale = new GainScale(this, TrackBar[9], ScaleLabel);
  grid->addWidget(scale, ValueRow, ScaleColumn, NameRow - ValueRow + 1, 1);

  FormCreate();
  FixToLayout(this, grid);
  scale->Place();

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
  ShowHeadroom();
}

void TGainForm::ShowClipping(const std::array<bool, MaxChannels>& clipped) {
  bool any = false;
  for (bool c : clipped) any = any || c;
  ClipLamp[0]->SetLit(clipped[0] || clipped[1]);
  for (int k = 1; k < MasterSlider; ++k) ClipLamp[k]->SetLit(clipped[k + 1]);
  ClipLamp[MasterSlider]->SetLit(any);
}

void TGainForm::ShowHeadroom() {
  for (int k = 0; k < NumGainSliders; ++k) TrackBar[k]->setToolTip(SliderHeadroomToolTip(k));
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
