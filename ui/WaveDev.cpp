#include "ui/WaveDev.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "audio/WaveDevice.h"
#include "engine/Engine.h"
#include "settings/Settings.h"
#include "ui/RadioGroup.h"

namespace tessival {

TWaveDevForm* WaveDevForm = nullptr;

namespace {

constexpr int RowPitch = 40;

// A product name is at most 32 bytes and may lack its terminating zero.
QString ProductName(const char (&name)[32]) {
  return QString::fromLocal8Bit(name, static_cast<qsizetype>(strnlen(name, sizeof name)));
}

// Selects a stored device id; an id past the list shows the first device, a
// negative one shows no selection.
void SelectDevice(QComboBox* box, int32_t id) {
  box->setCurrentIndex(id < box->count() ? std::max(id, -1) : 0);
}

QComboBox* MakeDeviceBox(QWidget* parent, const QString& name, int row) {
  auto* box = new QComboBox(parent);
  box->setObjectName(name);
  box->setEditable(true);
  // Only the selected item's index counts; typed text must never become a device.
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setGeometry(144, 12 + row * RowPitch, 217, 24);
  return box;
}

}  // namespace

TWaveDevForm::TWaveDevForm(QWidget* parent) : QDialog(parent) {
  setObjectName("WaveDevForm");
  setWindowTitle("Select Wave Devices");
  setFixedSize(373, 350);

  const char* const captions[6] = {"Wave Record",        "Stereo Dipole Out",  "Surround Out (1-2)",
                                   "Surround Out (3-4)", "Surround Out (5-6)", "Surround Out (7-8)"};
  for (int row = 0; row < 6; ++row) {
    auto* label = new QLabel(QString::fromLatin1(captions[row]), this);
    label->setObjectName(QStringLiteral("Label%1").arg(row + 1));
    label->setGeometry(12, 12 + row * RowPitch, 128, 24);
    DeviceLabel[row] = label;
  }
  ComboBoxIn = MakeDeviceBox(this, "ComboBoxIn", 0);
  for (int k = 0; k < MaxOutDevices; ++k) ComboBoxOut[k] = MakeDeviceBox(this, QStringLiteral("ComboBoxOut%1").arg(k), k + 1);
  for (int row = 0; row < 6; ++row) DeviceLabel[row]->setBuddy(row == 0 ? ComboBoxIn : ComboBoxOut[row - 1]);

  RadioGroupOpen = new TRadioGroup("Open Order", {"Play, Rec", "Rec, Play"}, 1, this);
  RadioGroupOpen->setObjectName("RadioGroupOpen");
  RadioGroupOpen->setGeometry(8, 256, 104, 81);

  RadioGroupStart = new TRadioGroup("Start Order", {"Play, Rec", "Rec, Play"}, 1, this);
  RadioGroupStart->setObjectName("RadioGroupStart");
  RadioGroupStart->setGeometry(120, 256, 104, 81);

  GroupBoxBuf = new QGroupBox("Buffers", this);
  GroupBoxBuf->setObjectName("GroupBoxBuf");
  GroupBoxBuf->setGeometry(232, 256, 65, 81);
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
  auto* bufLayout = new QVBoxLayout(GroupBoxBuf);
  bufLayout->setContentsMargins(8, 4, 8, 8);
  bufLayout->addWidget(UpDownBuf);
  EditBuf = UpDownBuf->findChild<QLineEdit*>();
  EditBuf->setObjectName("EditBuf");

  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), "OK", this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setGeometry(304, 266, 61, 27);
  BitBtn1->setDefault(true);

  BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel", this);
  BitBtn2->setObjectName("BitBtn2");
  BitBtn2->setGeometry(304, 304, 61, 27);

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
