#include "ui/WaveDev.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "audio/WaveDevice.h"
#include "engine/Engine.h"
#include "settings/Settings.h"
#include "ui/Layout.h"
#include "ui/RadioGroup.h"

namespace tessival {

TWaveDevForm* WaveDevForm = nullptr;

namespace {

// Designed sizes: rows of a label and a combo box, one every 40 pixels; below them
// the two order groups, the buffers group and the buttons.
constexpr QSize LabelSize(128, 24);
constexpr QSize ComboSize(217, 24);
constexpr int RowGap = 16;
constexpr QSize OrderGroupSize(104, 81);
constexpr QSize BufferGroupSize(65, 81);
constexpr QSize ButtonSize(61, 27);

// A product name is at most 32 bytes and may lack its terminating zero.
QString ProductName(const char (&name)[32]) {
  return QString::fromLocal8Bit(name, static_cast<qsizetype>(strnlen(name, sizeof name)));
}

// Selects a stored device id; an id past the list shows the first device, a
// negative one shows no selection.
void SelectDevice(QComboBox* box, int32_t id) {
  box->setCurrentIndex(id < box->count() ? std::max(id, -1) : 0);
}

QComboBox* MakeDeviceBox(QWidget* parent, const QString& name) {
  auto* box = new QComboBox(parent);
  box->setObjectName(name);
  box->setEditable(true);
  // Only the selected item's index counts; typed text must never become a device.
  box->setInsertPolicy(QComboBox::NoInsert);
  // Its width does not follow the device names, so the dialog keeps its size as
  // devices come and go.
  box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  box->setMinimumSize(ComboSize);
  return box;
}

}  // namespace

TWaveDevForm::TWaveDevForm(QWidget* parent) : QDialog(parent) {
  setObjectName("WaveDevForm");
  setWindowTitle("Select Wave Devices");

  // The device rows, 12 pixels in from the edges.
  auto* rows = new QGridLayout;
  rows->setContentsMargins(4, 0, 4, 0);
  rows->setHorizontalSpacing(4);
  rows->setVerticalSpacing(RowGap);
  rows->setColumnStretch(1, 1);
  const char* const captions[6] = {"Wave Record",        "Stereo Dipole Out",  "Surround Out (1-2)",
                                   "Surround Out (3-4)", "Surround Out (5-6)", "Surround Out (7-8)"};
  ComboBoxIn = MakeDeviceBox(this, "ComboBoxIn");
  for (int k = 0; k < MaxOutDevices; ++k) ComboBoxOut[k] = MakeDeviceBox(this, QStringLiteral("ComboBoxOut%1").arg(k));
  for (int row = 0; row < 6; ++row) {
    auto* label = new QLabel(QString::fromLatin1(captions[row]), this);
    label->setObjectName(QStringLiteral("Label%1").arg(row + 1));
    label->setMinimumSize(LabelSize);
    QComboBox* box = row == 0 ? ComboBoxIn : ComboBoxOut[row - 1];
    label->setBuddy(box);
    rows->addWidget(label, row, 0);
    rows->addWidget(box, row, 1);
    DeviceLabel[row] = label;
  }

  RadioGroupOpen = new TRadioGroup("Open Order", {"Play, Rec", "Rec, Play"}, 1, this);
  RadioGroupOpen->setObjectName("RadioGroupOpen");
  RadioGroupOpen->setMinimumSize(OrderGroupSize);

  RadioGroupStart = new TRadioGroup("Start Order", {"Play, Rec", "Rec, Play"}, 1, this);
  RadioGroupStart->setObjectName("RadioGroupStart");
  RadioGroupStart->setMinimumSize(OrderGroupSize);

  GroupBoxBuf = new TGroupBox("Buffers", this);
  GroupBoxBuf->setObjectName("GroupBoxBuf");
  GroupBoxBuf->setMinimumSize(BufferGroupSize);
  UpDownBuf = new QSpinBox(GroupBoxBuf);
  UpDownBuf->setObjectName("UpDownBuf");
  UpDownBuf->setRange(MinBuffers, MaxBuffers);
  UpDownBuf->setWrapping(false);
  // A number typed outside 2..8 settles on the nearest bound, not the old value.
  UpDownBuf->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  UpDownBuf->setAlignment(Qt::AlignCenter);
  QFont large = UpDownBuf->font();
  large.setPointSize(16);
  large.setBold(true);
  UpDownBuf->setFont(large);
  // One digit in a fixed font: the group's designed width holds it, whatever the
  // spin box would ask for.
  UpDownBuf->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  auto* bufLayout = new QVBoxLayout(GroupBoxBuf);
  bufLayout->setContentsMargins(8, 4, 8, 8);
  bufLayout->addWidget(UpDownBuf);
  EditBuf = UpDownBuf->findChild<QLineEdit*>();
  EditBuf->setObjectName("EditBuf");

  BitBtn1 = new TDialogButton(TDialogButton::Ok, ButtonSize, this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  BitBtn2 = new TDialogButton(TDialogButton::Cancel, ButtonSize, this);
  BitBtn2->setObjectName("BitBtn2");
  auto* buttons = new QVBoxLayout;
  buttons->setContentsMargins(0, 10, 0, 6);
  buttons->setSpacing(11);
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);

  // The groups from the left, OK above Cancel at the right.
  auto* bottom = new QHBoxLayout;
  bottom->setSpacing(0);
  bottom->addWidget(RadioGroupOpen);
  bottom->addSpacing(8);
  bottom->addWidget(RadioGroupStart);
  bottom->addSpacing(8);
  bottom->addWidget(GroupBoxBuf);
  bottom->addSpacing(7);
  bottom->addStretch(1);
  bottom->addLayout(buttons);

  auto* form = new QVBoxLayout;
  form->setContentsMargins(8, 12, 8, 13);
  form->setSpacing(20);
  form->addLayout(rows);
  form->addLayout(bottom);
  FixToLayout(this, form);

  connect(BitBtn1, &QPushButton::clicked, this, &TWaveDevForm::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void TWaveDevForm::showEvent(QShowEvent* event) {
  // Un-minimising sends a spontaneous show; only a real showing refills the controls.
  if (!event->spontaneous()) FormShow();
  QDialog::showEvent(event);
}

// Rebuilds the lists, so devices added or removed since the last showing appear.
void TWaveDevForm::FormShow() {
  const uint32_t inCount = waveInGetNumDevs();
  ComboBoxIn->clear();
  for (uint32_t id = 0; id < inCount; ++id) {
    WAVEINCAPSA caps{};
    waveInGetDevCapsA(id, &caps, sizeof caps);
    ComboBoxIn->addItem(ProductName(caps.szPname));
  }
  SelectDevice(ComboBoxIn, WaveInDevice);

  const uint32_t outCount = waveOutGetNumDevs();
  for (auto* box : ComboBoxOut) box->clear();
  for (uint32_t id = 0; id < outCount; ++id) {
    WAVEOUTCAPSA caps{};
    waveOutGetDevCapsA(id, &caps, sizeof caps);
    const QString name = ProductName(caps.szPname);
    for (auto* box : ComboBoxOut) box->addItem(name);
  }
  for (int k = 0; k < MaxOutDevices; ++k) SelectDevice(ComboBoxOut[k], WaveOutDevices[k]);

  RadioGroupOpen->SetItemIndex(OpenOrder);
  RadioGroupStart->SetItemIndex(StartOrder);
  UpDownBuf->setValue(static_cast<int16_t>(NumBuffers));  // the up-down holds 2..8
}

int TWaveDevForm::BufferCount() const {
  bool isNumber = false;
  const int typed = UpDownBuf->cleanText().trimmed().toInt(&isNumber);
  if (!isNumber) return UpDownBuf->value();
  return std::clamp(typed, MinBuffers, MaxBuffers);
}

void TWaveDevForm::BitBtn1Click() {
  WaveInDevice = ComboBoxIn->currentIndex();
  for (int k = 0; k < MaxOutDevices; ++k) WaveOutDevices[k] = ComboBoxOut[k]->currentIndex();
  // An order stored outside 0..1 shows no selection; without a choice it stays as it is.
  if (RadioGroupOpen->ItemIndex() >= 0) OpenOrder = RadioGroupOpen->ItemIndex();
  if (RadioGroupStart->ItemIndex() >= 0) StartOrder = RadioGroupStart->ItemIndex();
  NumBuffers = BufferCount();
  accept();
}

}  // namespace tessival
