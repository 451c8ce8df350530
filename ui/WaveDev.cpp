#include "ui/WaveDev.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QVBoxLayout>
#include <algorithm>

#include "audio/DeviceChoice.h"
#include "audio/DeviceControl.h"
#include "audio/WaveDevice.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "settings/Settings.h"
#include "ui/Layout.h"
#include "ui/RadioGroup.h"

namespace tessival {

TWaveDevForm* WaveDevForm = nullptr;

namespace {

// Designed sizes: rows of a label, a combo box and (for the outputs) a Test button,
// one every 40 pixels; below them the two order groups, the buffers group and the
// buttons. The boxes have room for names such as "HDA Intel PCH, ALC892 Analog
// (plughw:0,0, converts)"; longer ones are shortened in the middle.
constexpr QSize LabelSize(128, 24);
constexpr QSize ComboSize(330, 24);
constexpr QSize TestSize(56, 24);
constexpr int RowGap = 16;
constexpr QSize OrderGroupSize(104, 81);
constexpr QSize BufferGroupSize(65, 81);
constexpr QSize ButtonSize(61, 27);

constexpr int MissingRole = Qt::UserRole + 1;  // item data: the stored device is not present

constexpr QEvent::Type WiringEventType = static_cast<QEvent::Type>(QEvent::User + 2);

// A notification of the wiring check on its way to the main thread.
class WiringEvent : public QEvent {
 public:
  explicit WiringEvent(const WaveMessage& message) : QEvent(WiringEventType), Message(message) {}
  WaveMessage Message;
};

// Selects a stored device id; an id past the list shows the first device, a
// negative one shows no selection.
void SelectDevice(QComboBox* box, int32_t id) {
  box->setCurrentIndex(id < box->count() ? std::max(id, -1) : 0);
}

// The chosen name, whole in the tooltip and, where the list is too narrow for it,
// shortened in the middle so that both the device and its ALSA name show.
void ShowChoice(QComboBox* box) {
  const int index = box->currentIndex();
  const QString whole = index >= 0 ? box->itemText(index) : QString();
  box->setToolTip(whole);
  QLineEdit* edit = box->lineEdit();
  if (index < 0 || edit == nullptr) return;
  QStyleOptionComboBox option;
  option.initFrom(box);
  option.editable = true;
  const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box);
  const QString shown = edit->fontMetrics().elidedText(whole, Qt::ElideMiddle, field.width() - 6);
  if (shown != edit->text()) {
    edit->setText(shown);
    edit->setCursorPosition(0);
  }
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
  QObject::connect(box, &QComboBox::currentIndexChanged, box, [box] { ShowChoice(box); });
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
  ComboBoxIn = MakeDeviceBox(this, "ComboBoxIn");
  for (int k = 0; k < MaxOutDevices; ++k) {
    ComboBoxOut[k] = MakeDeviceBox(this, QStringLiteral("ComboBoxOut%1").arg(k));
    TestButton[k] = new QPushButton("Test", this);
    TestButton[k]->setObjectName(QStringLiteral("TestButton%1").arg(k));
    TestButton[k]->setMinimumSize(TestSize);
    TestButton[k]->setToolTip("Plays noise on the left, then the right loudspeaker of this pair");
    TestButton[k]->setAutoDefault(false);
    rows->addWidget(TestButton[k], k + 1, 2);
    connect(TestButton[k], &QPushButton::clicked, this, [this, k] { TestButtonClick(k); });
  }
  for (int row = 0; row < 6; ++row) {
    auto* label = new QLabel(QString::fromLatin1(DeviceRoleCaption(row - 1)), this);
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

void TWaveDevForm::FillList(QComboBox* box, const std::vector<WaveDeviceEntry>& list) {
  box->clear();
  int widest = 0;
  for (const WaveDeviceEntry& entry : list) {
    const QString name = QString::fromStdString(entry.Name);
    box->addItem(name, QString::fromStdString(entry.Identity));
    box->setItemData(box->count() - 1, name, Qt::ToolTipRole);
    widest = std::max(widest, box->view()->fontMetrics().horizontalAdvance(name));
  }
  // The drop-down list shows every name whole, however narrow the box.
  box->view()->setMinimumWidth(std::max(widest + 32, box->width()));
}

// Rebuilds the lists, so devices added or removed since the last showing appear. A
// stored device found under its identity is selected wherever it now is; one that is
// absent is added, marked, at the end of its own list and selected.
void TWaveDevForm::FormShow() {
  const std::vector<WaveDeviceEntry> inputs = WaveDeviceList(WaveKind::In);
  const std::vector<WaveDeviceEntry> outputs = WaveDeviceList(WaveKind::Out);
  const std::vector<int> missing = MatchStoredDevices(inputs, outputs, MaxOutDevices - 1);
  FillList(ComboBoxIn, inputs);
  for (auto* box : ComboBoxOut) FillList(box, outputs);
  for (int role = CaptureRole; role < MaxOutDevices; ++role) {
    QComboBox* box = role == CaptureRole ? ComboBoxIn : ComboBoxOut[role];
    if (std::find(missing.begin(), missing.end(), role) == missing.end()) {
      SelectDevice(box, StoredDeviceId(role));
    } else {
      const QString identity = QString::fromStdString(StoredDeviceName(role));
      const QString name = identity + " (not present)";
      box->addItem(name, identity);
      box->setItemData(box->count() - 1, name, Qt::ToolTipRole);
      box->setItemData(box->count() - 1, true, MissingRole);
      box->setCurrentIndex(box->count() - 1);
    }
    ShowChoice(box);
  }

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

// A device chosen is stored by its place and its identity; the marked entry of a
// device not present keeps both as they were; no selection stores -1 and no identity.
void TWaveDevForm::StoreChoice(int role, const QComboBox* box) {
  const int index = box->currentIndex();
  if (index >= 0 && box->itemData(index, MissingRole).toBool()) return;
  StoredDeviceId(role) = index;
  StoredDeviceName(role) = index >= 0 ? box->itemData(index).toString().toStdString() : std::string();
}

void TWaveDevForm::BitBtn1Click() {
  StoreChoice(CaptureRole, ComboBoxIn);
  for (int k = 0; k < MaxOutDevices; ++k) StoreChoice(k, ComboBoxOut[k]);
  // An order stored outside 0..1 shows no selection; without a choice it stays as it is.
  if (RadioGroupOpen->ItemIndex() >= 0) OpenOrder = RadioGroupOpen->ItemIndex();
  if (RadioGroupStart->ItemIndex() >= 0) StartOrder = RadioGroupStart->ItemIndex();
  NumBuffers = BufferCount();
  accept();
}

}  // namespace tessival

namespace tessival {

void TWaveDevForm::TestButtonClick(int k) {
  if (Running || k < 0 || k >= MaxOutDevices) return;
  wiring_.Stop();
  const QComboBox* box = ComboBoxOut[k];
  const int index = box->currentIndex();
  if (index < 0) return;  // no device chosen: nothing to test
  // Found again by identity: the list may have changed since the dialog was filled.
  const std::string identity = box->itemData(index).toString().toStdString();
  const std::vector<WaveDeviceEntry> outputs = WaveDeviceList(WaveKind::Out);
  const int32_t id = FindWaveDevice(outputs, identity);
  if (id < 0) {
    ShowMessage(MessageKind::Warning, MissingDeviceText(k, identity));
    return;
  }
  const int32_t rate = TheEngine.FiltersLoaded ? SampleRate : 48000;
  const MMRESULT result = wiring_.Start(static_cast<uint32_t>(id), MakeWaveFormat(static_cast<uint32_t>(rate), SampleBits), this);
  if (result != MMSYSERR_NOERROR) {
    ShowMessage(MessageKind::Warning, OpenFailureText(result, false, rate));
    return;
  }
  wiringPair_ = k;
  wiringName_ = outputs[static_cast<size_t>(id)].Name;
}

void TWaveDevForm::PostWaveMessage(const WaveMessage& message) {
  QCoreApplication::postEvent(this, new WiringEvent(message));
}

void TWaveDevForm::customEvent(QEvent* event) {
  if (event->type() != WiringEventType) return;
  std::string reason;
  if (wiring_.OnMessage(static_cast<WiringEvent*>(event)->Message, &reason))
    ShowMessage(MessageKind::Warning, DeviceLostText(wiringPair_, wiringName_, reason));
}

void TWaveDevForm::done(int result) {
  wiring_.Stop();  // the check ends with the dialog
  QDialog::done(result);
}

}  // namespace tessival
