#include "ui/Main.h"

#include <algorithm>
#include <array>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QStatusBar>
#include <QSvgRenderer>
#include <QTimer>
#include <QToolButton>
#include <optional>

#include "audio/BufferCycle.h"
#include "audio/DeviceChoice.h"
#include "audio/DeviceControl.h"
#include "audio/WaveDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Inis.h"
#include "settings/Settings.h"
#include "ui/FileChooser.h"
#include "ui/Gain.h"
#include "ui/HeadroomText.h"
#include "ui/Layout.h"
#include "ui/MessageBox.h"
#include "ui/Meters.h"
#include "ui/SampFreq.h"
#include "ui/Splash.h"
#include "ui/WaveDev.h"

// The artwork lives in a static library, so its resources are registered by hand.
static void InitUiResources() { Q_INIT_RESOURCE(ui); }

namespace tessival {

TMainForm* MainForm = nullptr;
std::function<std::string()> OpenDialogOverride;

namespace {

constexpr int ClientWidth = 522;
constexpr int ClientHeight = 378;
constexpr int ToolBarHeight = 47;
constexpr int StatusBarHeight = 21;

constexpr QEvent::Type WaveEventType = static_cast<QEvent::Type>(QEvent::User + 1);

// One device notification on its way to the main thread.
class WaveEvent : public QEvent {
 public:
  explicit WaveEvent(const WaveMessage& message) : QEvent(WaveEventType), Message(message) {}
  WaveMessage Message;
};

// The toolbar's images, by the index the toolbar items use.
const char* const ImageList1[] = {
    ":/icons/play.svg", ":/icons/stop.svg",  ":/icons/gain.svg", ":/icons/freq.svg",
    ":/icons/devices.svg", ":/icons/about.svg", ":/icons/load.svg",
};

// An SVG drawn at `size` logical pixels, sharp on high-density screens too.
QPixmap SvgPixmap(const QString& path, QSize size, qreal ratio) {
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(path);
  QPainter painter(&pixmap);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

QIcon SvgIcon(const QString& path, std::initializer_list<int> sizes) {
  QIcon icon;
  for (int s : sizes) icon.addPixmap(SvgPixmap(path, QSize(s, s), 1.0));
  return icon;
}

// A toolbar separator: a gap with an etched line down its middle.
class ToolSeparator : public QWidget {
 public:
  ToolSeparator(QWidget* parent, bool line) : QWidget(parent), line_(line) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!line_) return;
    QPainter painter(this);
    const int x = width() / 2 - 1;
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(x, 4, x, height() - 5);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(x + 1, 4, x + 1, height() - 5);
  }

 private:
  bool line_;
};

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w) {
  auto* label = new QLabel(text, parent);
  if (name) label->setObjectName(name);
  label->setGeometry(x, y, w, 18);
  return label;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  InitUiResources();
  setObjectName("MainForm");
  setWindowTitle("Tessival");
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(ClientWidth, ClientHeight);
  setWindowIcon(SvgIcon(":/icons/tessival.svg", {16, 24, 32, 48, 64}));
  QFont windowFont = font();  // the design's 8-point dialog face, at 96 dpi
  windowFont.setPixelSize(11);
  setFont(windowFont);

  BuildToolBar();
  BuildGroupBoxes();
  MeterPanel = new TMeterPanel(this);
  MeterPanel->setGeometry(312, 168, 193, 185);
  MeterTimer = new QTimer(this);
  MeterTimer->setObjectName("MeterTimer");
  MeterTimer->setInterval(1000 / MeterModel::TicksPerSecond);
  connect(MeterTimer, &QTimer::timeout, this, &TMainForm::MeterTimerTimer);
  BuildStatusBar();
  OpenDialog1 = nullptr;  // made on first use

  Ui.ShowMessage = ShowMessageBox;
  Ui.SetStatusText = [this](const std::string& text) { SetStatusText(QString::fromStdString(text)); };
  NotifyTarget = this;
  FormCreate();
}

TMainForm::~TMainForm() {
  if (NotifyTarget == this) NotifyTarget = nullptr;
  ResetUiHooks();
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::BuildToolBar() {
  ToolBar1 = new QWidget(this);
  ToolBar1->setObjectName("ToolBar1");
  ToolBar1->setGeometry(0, 0, ClientWidth, ToolBarHeight);
  auto* line = new QFrame(ToolBar1);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  line->setGeometry(0, ToolBarHeight - 2, ClientWidth, 2);

  int x = 0;
  const auto button = [&](const char* name, int image, const QString& tip, void (TMainForm::*handler)()) {
    auto* b = new QToolButton(ToolBar1);
    b->setObjectName(name);
    b->setGeometry(x, 2, 48, 42);
    b->setIconSize(QSize(32, 32));
    b->setIcon(SvgIcon(ImageList1[image], {32, 64}));
    b->setToolTip(tip);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QToolButton::clicked, this, handler);
    x += 48;
    return b;
  };
  const auto separator = [&](int width, bool line) {
    (new ToolSeparator(ToolBar1, line))->setGeometry(x, 2, width, 42);
    x += width;
  };

  FiltrosButton = button("FiltrosButton", 6, "Load Filters", &TMainForm::FiltrosButtonClick);
  separator(8, true);
  StartButton = button("StartButton", 0, "Play", &TMainForm::StartButtonClick);
  StopButton = button("StopButton", 1, "Stop", &TMainForm::StopButtonClick);
  separator(8, true);
  GainButton = button("GainButton", 2, "Gain", &TMainForm::GainButtonClick);
  FreqButton = button("FreqButton", 3, "Sampling Frequency", &TMainForm::FreqButtonClick);
  DeviceButton = button("DeviceButton", 4, "Devices", &TMainForm::DeviceButtonClick);
  separator(8, true);
  AboutButton = button("AboutButton", 5, "About", &TMainForm::AboutButtonClick);
  separator(57, false);

  Image1 = new QLabel(ToolBar1);
  Image1->setObjectName("Image1");
  Image1->setGeometry(x, 2, 104, 42);
  Image1->setPixmap(SvgPixmap(":/icons/banner.svg", QSize(104, 42), devicePixelRatioF()));
}

void TMainForm::BuildGroupBoxes() {
  QFont arial("Arial");  // fontconfig gives a metric twin (Liberation Sans) where Arial is missing
  arial.setStyleHint(QFont::SansSerif);
  arial.setPixelSize(13);  // 10 points at 96 dpi, so the layout holds at any dpi

  GroupBox2 = new QGroupBox("Filter Bank Info", this);
  GroupBox2->setObjectName("GroupBox2");
  GroupBox2->setFont(arial);
  GroupBox2->setGeometry(16, 64, 273, 145);
  // The value column starts right after the widest field name, whatever face Arial became.
  const char* const names[] = {"File Name: ", "Surround Channels:", "Sampling Freq:", "Sample Type:"};
  const QFontMetrics metrics(arial);
  int nameWidth = 0;
  for (const char* name : names) nameWidth = std::max(nameWidth, metrics.horizontalAdvance(name));
  const int valueX = 10 + nameWidth + 6;
  const int valueWidth = 273 - valueX - 6;
  for (int row = 0; row < 4; ++row) AddLabel(GroupBox2, nullptr, names[row], 10, 28 + 28 * row, nameWidth + 2);
  LabelFileName = AddLabel(GroupBox2, "LabelFileName", "", valueX, 28, valueWidth);
  LabelSurrChannels = AddLabel(GroupBox2, "LabelSurrChannels", "", valueX, 56, valueWidth);
  LabelFs = AddLabel(GroupBox2, "LabelFs", "", valueX, 84, valueWidth);
  LabelSampleType = AddLabel(GroupBox2, "LabelSampleType", "", valueX, 112, valueWidth);

  GroupBox1 = new QGroupBox("Filtering Parameters", this);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setFont(arial);
  GroupBox1->setGeometry(312, 64, 193, 97);
  AddLabel(GroupBox1, nullptr, "Max Filter Length:", 12, 26, 122);
  AddLabel(GroupBox1, nullptr, "FFT Order:", 12, 48, 122);
  LabelEffiName = AddLabel(GroupBox1, "LabelEffiName", "Efficiency:", 12, 70, 122);
  LabelMaxLen = AddLabel(GroupBox1, "LabelMaxLen", "", 136, 26, 52);
  LabelFFTOrder = AddLabel(GroupBox1, "LabelFFTOrder", "", 136, 48, 52);
  LabelEffi = AddLabel(GroupBox1, "LabelEffi", "", 136, 70, 52);

  // Under the bank's group, in line with its field names.
  LabelHeadroom = AddLabel(this, "LabelHeadroom", "", 16 + 10, 64 + 145 + 8, 273 - 10);
  LabelHeadroom->setFont(arial);
}

void TMainForm::BuildStatusBar() {
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setGeometry(0, ClientHeight - StatusBarHeight, ClientWidth, StatusBarHeight);
  const int widths[2] = {100, 50};
  for (int i = 0; i < 2; ++i) {
    auto* panel = new QLabel(StatusBar1);
    panel->setObjectName(QString("StatusPanel%1").arg(i));
    panel->setFixedWidth(widths[i]);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setIndent(2);
    StatusBar1->addWidget(panel);
    StatusPanels[i] = panel;
  }
  StatusPanels[0]->setText("Stopped");
}

void TMainForm::SetStatusText(const QString& text) {
  StatusPanels[0]->setText(text);
  repaint();
}

void TMainForm::FormCreate() {
  TheEngine.FiltersLoaded = false;
  Running = false;
  FilterBaseName.clear();
  try {
    LoadSettings();
  } catch (const SettingsStoreError& e) {
    // The values not read keep their defaults; the program goes on with them.
    ShowMessage(MessageKind::Plain, e.what());
  }
  // Stored devices found under their identities take their places in today's lists.
  MatchStoredDevices(WaveDeviceList(WaveKind::In), WaveDeviceList(WaveKind::Out), MaxOutDevices - 1);
  CentreOnPrimaryScreen(this);
  FillDitherTable();
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  // Later, so the main window is on screen before the splash covers it.
  QTimer::singleShot(0, this, &TMainForm::FormShow);
}

void TMainForm::FormShow() {
  if (SplashForm) SplashForm->exec();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TMainForm::FormClose() {
  // The devices still hold the buffers while they run: stop them first, and let the
  // close notifications release the headers before the buffers go.
  if (Running) tessival::StopButtonClick();
  StopMeters();
  QCoreApplication::sendPostedEvents(this, WaveEventType);
  if (TheEngine.FiltersLoaded) {
    TheEngine.FreeBuffers();
    TheEngine.FiltersLoaded = false;
  }
  try {
    SaveSettings();
  } catch (const SettingsStoreError& e) {
    ShowMessage(MessageKind::Plain, e.what());
  }
}

std::string TMainForm::ChooseFilterFile() {
  if (OpenDialogOverride) return OpenDialogOverride();
  const FileRequest request{"Open", "WAV file", {"*.wav", "*.WAV", "*.Wav"}, LastFolder};
  std::optional<QString> chosen;
  // The desktop's own chooser where it has one; an offscreen run has no desktop.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    chosen = ChooseFileThroughPortal(QDBusConnection::sessionBus(), this, request);
  if (!chosen) {
    if (!OpenDialog1) {
      OpenDialog1 = new QFileDialog(this, request.Title, request.Folder, NameFilter(request));
      OpenDialog1->setObjectName("OpenDialog1");
      OpenDialog1->setFileMode(QFileDialog::ExistingFile);
      OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
      // Qt's own dialog also matches any other case (".wAv").
      OpenDialog1->setFilter(OpenDialog1->filter() & ~QDir::CaseSensitive);
    }
    chosen = RunFileDialog(OpenDialog1);
  }
  if (chosen->isEmpty()) return {};
  LastFolder = QFileInfo(*chosen).absolutePath();
  return QFile::encodeName(*chosen).toStdString();
}

void TMainForm::ShowFileName(const std::string& name) {
  const QString full = QFile::decodeName(QByteArray::fromStdString(name));
  LabelFileName->setText(
      LabelFileName->fontMetrics().elidedText(full, Qt::ElideRight, LabelFileName->width()));
  LabelFileName->setToolTip(full);
}

void TMainForm::ShowBankLabels(const BankLabelTexts& texts) {
  LabelFs->setText(QString::fromStdString(texts.Fs));
  LabelSurrChannels->setText(QString::fromStdString(texts.SurrChannels));
  LabelMaxLen->setText(QString::fromStdString(texts.MaxLen));
  LabelFFTOrder->setText(QString::fromStdString(texts.FFTOrderText));
  LabelEffiName->setText(QString::fromStdString(texts.EffiCaption));
  LabelEffi->setText(QString::fromStdString(texts.Effi));
  // The longest type names are set a little smaller rather than cut.
  const QString type = QString::fromStdString(texts.SampleType);
  QFont font = GroupBox2->font();
  for (int px = font.pixelSize(); px > 9; --px) {
    font.setPixelSize(px);
    if (QFontMetrics(font).horizontalAdvance(type) <= LabelSampleType->width()) break;
  }
  LabelSampleType->setFont(font);
  LabelSampleType->setText(type);
  LabelSampleType->setToolTip(type);
}

void TMainForm::FiltrosButtonClick() {
  if (Running) return;
  const std::string path = ChooseFilterFile();
  if (path.empty()) return;
  LoadBank(path);
}

void TMainForm::LoadBank(const std::string& path) {
  BankLoadView view;
  view.SetFileName = [this](const std::string& name) { ShowFileName(name); };
  view.SetBankLabels = [this](const BankLabelTexts& texts) { ShowBankLabels(texts); };
  LoadFilterBank(path, view);
  ShowHeadroom();
}

// The bank's headroom (or nothing, without a bank), here and on the gain sliders.
void TMainForm::ShowHeadroom() {
  LabelHeadroom->setText(HeadroomLine());
  LabelHeadroom->setToolTip(HeadroomToolTip());
  if (GainForm) GainForm->ShowHeadroom();
}

void TMainForm::StartButtonClick() {
  tessival::StartButtonClick();
  if (!Running) return;
  // The engine's figures start again with the run; so do the meters.
  MeterPanel->Model.Start(TheEngine.NumFilterChannels);
  MeterPanel->Refresh();
  MeterTimer->start();
}

void TMainForm::StopButtonClick() {
  tessival::StopButtonClick();
  if (!Running) StopMeters();
}

void TMainForm::StopMeters() {
  MeterTimer->stop();
  MeterPanel->Model.Stop();
  MeterPanel->Refresh();
  if (GainForm) GainForm->ShowClipping({});
}

MeterStatus TMainForm::DeviceMeterStatus() const {
  MeterStatus status;
  WaveDeviceStats stats;
  int64_t delay = 0;
  if (WaveDeviceStatistics(WaveInHandle, &stats)) delay += stats.DelayFrames;
  uint32_t outputDelay = 0;
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
    if (!WaveDeviceStatistics(WaveOutHandles[d], &stats)) continue;
    status.Underruns += stats.UnderrunEvents;
    status.Skipped += stats.SkippedBlocks;
    outputDelay = std::max(outputDelay, stats.DelayFrames);
  }
  delay += outputDelay + int64_t{TheEngine.WaveBufferCount} * TheEngine.BlockLength;
  status.LatencyMs = SampleRate > 0 ? 1000.0 * static_cast<double>(delay) / SampleRate : 0.0;
  return status;
}

void TMainForm::MeterTimerTimer() {
  if (!Running || !TheEngine.FiltersLoaded) {
    StopMeters();
    return;
  }
  MeterPanel->Model.Tick(TheEngine.TakeRecentFigures(), DeviceMeterStatus());
  MeterPanel->Refresh();
  if (GainForm) {
    std::array<bool, MaxChannels> clipped{};
    for (int32_t ch = 0; ch < MeterPanel->Model.Channels(); ++ch) clipped[ch] = MeterPanel->Model.ClippedLastSecond(ch);
    GainForm->ShowClipping(clipped);
  }
}

void TMainForm::GainButtonClick() {
  if (!GainForm) return;
  GainForm->show();
  GainForm->raise();
  GainForm->activateWindow();
}

void TMainForm::FreqButtonClick() {
  if (Running || !SampFreqForm) return;
  const int32_t bits = SampleBits;
  SampFreqForm->exec();
  if (TheEngine.FiltersLoaded && SampleBits != bits) RemakeWaveBuffers();
  if (TheEngine.FiltersLoaded) ShowEffi();  // the latency follows the sampling frequency
}

void TMainForm::DeviceButtonClick() {
  if (Running || !WaveDevForm) return;
  const int32_t buffers = HeldNumBuffers();
  const int32_t blockFrames = BlockFrames;
  WaveDevForm->exec();
  if (!TheEngine.FiltersLoaded) return;
  if (BlockFrames != blockFrames) {
    // Another block size cuts the filters anew: the bank is loaded again for it.
    LoadBank(BankFiles.front());
  } else if (HeldNumBuffers() != buffers) {
    // The wave buffers and the headers must agree with the count the next start queues.
    RemakeWaveBuffers();
    ShowEffi();
  }
}

void TMainForm::ShowEffi() {
  BankLabelTexts texts;
  SetEffiTexts(texts);
  LabelEffiName->setText(QString::fromStdString(texts.EffiCaption));
  LabelEffi->setText(QString::fromStdString(texts.Effi));
}

void TMainForm::AboutButtonClick() {
  if (SplashForm) SplashForm->exec();
}

void TMainForm::RemakeWaveBuffers() {
  if (TheEngine.ReallocateWaveBuffers()) return;
  // Without wave buffers the bank cannot play; release it rather than keep half of it.
  TheEngine.FreeBuffers();
  TheEngine.FiltersLoaded = false;
  ShowMessage(MessageKind::Plain,
              "Not enough memory for the wave buffers.\r\nThe filter bank was released; load it again.");
}

void TMainForm::PostWaveMessage(const WaveMessage& message) {
  QCoreApplication::postEvent(this, new WaveEvent(message));
}

void TMainForm::customEvent(QEvent* event) {
  if (event->type() == WaveEventType) DispatchWaveMessage(static_cast<WaveEvent*>(event)->Message);
}

}  // namespace tessival
