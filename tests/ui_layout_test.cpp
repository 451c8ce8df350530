// The windows at the fonts users run with: every dialog at 9, 11 and 12 points keeps
// each of its texts whole, and the windows open centred on the primary screen, also
// when that screen does not start at the desktop's origin.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "audio/SimDriver.h"
#include "audio/WaveDriver.h"
#include "engine/Engine.h"
#include "settings/Settings.h"
#include "support/QtApp.h"
#include "ui/Gain.h"
#include "ui/Main.h"
#include "ui/SampFreq.h"
#include "ui/Splash.h"
#include "ui/WaveDev.h"

namespace tessival {
namespace {

// The primary screen stands right of a second one, so a window centred on the
// primary screen's size alone would open on the wrong monitor.
const QRect PrimaryScreen(1280, 0, 1920, 1080);

// Runs the offscreen platform with two screens, the primary one first by name.
QApplication& EnsureTwoScreenApp() {
  static QTemporaryDir folder;
  if (!qApp && (qgetenv("QT_QPA_PLATFORM") == "offscreen" || qgetenv("QT_QPA_PLATFORM").isEmpty())) {
    QFile config(folder.filePath("screens.json"));
    if (config.open(QIODevice::WriteOnly)) {
      config.write(QStringLiteral(R"({"screens": [
        {"name": "A-primary", "x": %1, "y": %2, "width": %3, "height": %4},
        {"name": "B-left", "x": 0, "y": 0, "width": 1280, "height": 1024}]})")
                       .arg(PrimaryScreen.x())
                       .arg(PrimaryScreen.y())
                       .arg(PrimaryScreen.width())
                       .arg(PrimaryScreen.height())
                       .toUtf8());
      config.close();
      qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    }
  }
  return testing::EnsureQtApp();
}

// Where `part` is, in the coordinates of the window it is in.
QRect PlaceIn(const QWidget* window, const QWidget* part) { return {part->mapTo(window, QPoint(0, 0)), part->size()}; }

// Every text of the window's labels, buttons, radio items and group titles that does
// not fit its widget, and every part reaching outside the window, one line each.
std::vector<std::string> CutTexts(QWidget* window) {
  std::vector<std::string> cut;
  const auto check = [&](const QWidget* w, const QString& text, QSize need, QSize room) {
    if (need.width() <= room.width() && need.height() <= room.height()) return;
    cut.push_back(w->objectName().toStdString() + " \"" + text.toStdString() + "\" needs " +
                  std::to_string(need.width()) + "x" + std::to_string(need.height()) + ", has " +
                  std::to_string(room.width()) + "x" + std::to_string(room.height()));
  };
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (w->window() != window || !w->isVisibleTo(window)) continue;
    if (!window->rect().contains(PlaceIn(window, w)))
      cut.push_back(w->objectName().toStdString() + " (" + w->metaObject()->className() + ") reaches outside the window");
    const QFontMetrics metrics = w->fontMetrics();
    QStyle* style = w->style();
    if (auto* label = qobject_cast<QLabel*>(w)) {
      if (label->text().isEmpty()) continue;
      const QRect room = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
      if (label->wordWrap())
        check(label, label->text(), {0, label->heightForWidth(label->width())}, {0, label->height()});
      else
        check(label, label->text(), {metrics.horizontalAdvance(label->text()), metrics.height()}, room.size());
    } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
      QStyleOptionButton option;
      option.initFrom(radio);
      option.text = radio->text();
      const QRect room = style->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
      check(radio, radio->text(), {metrics.horizontalAdvance(radio->text()), metrics.height()}, room.size());
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      const int frame = 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
      const int icon = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
      check(button, button->text(), {icon + metrics.horizontalAdvance(button->text()) + frame, metrics.height() + frame},
            button->size());
    } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
      QStyleOptionGroupBox option;
      option.initFrom(box);
      option.text = box->title();
      option.textAlignment = box->alignment();
      option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
      const QRect title = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
      check(box, box->title(), {title.right() + 1, title.bottom() + 1}, box->size());
    }
  }
  return cut;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  return all;
}

class DialogsAtFontSize : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    EnsureTwoScreenApp();
    SetDefaultSettings();
    SimConfig devices;
    devices.InputNames = {"Line In"};
    devices.OutputNames = {"Speakers", "Headphones"};
    InstallSimDriver(devices);
    QFont font = defaultFont_;
    font.setPointSize(GetParam());
    QApplication::setFont(font);
  }

  void TearDown() override {
    QApplication::setFont(defaultFont_);
    InstallWaveDriver(nullptr);
  }

  // Shows the window, as the user would see it, and lists what is cut.
  static std::string Cut(QWidget& window) {
    window.show();
    QCoreApplication::processEvents();
    const std::string cut = Lines(CutTexts(&window));
    window.hide();
    return cut;
  }

  QFont defaultFont_ = QApplication::font();
};

TEST_P(DialogsAtFontSize, KeepEveryTextWhole) {
  TWaveDevForm devices(nullptr);
  EXPECT_EQ(Cut(devices), "");
  TSampFreqForm format(nullptr);
  EXPECT_EQ(Cut(format), "");
  TSplashForm about(nullptr);
  about.Timer1->stop();
  EXPECT_EQ(Cut(about), "");
  TGainForm gain(nullptr);
  gain.TrackBar[9]->SetPosition(GainPositionOf(-24));  // the widest value text
  EXPECT_EQ(Cut(gain), "");

  // Grown or not, the gain scale still marks the master slider's +6, 0 and -24 dB.
  const int positions[3] = {0, 6, 30};
  for (int i = 0; i < 3; ++i) {
    const QRect mark = PlaceIn(&gain, gain.ScaleLabel[i]);
    const QRect slider = PlaceIn(&gain, gain.TrackBar[9]);
    EXPECT_NEAR(mark.center().y(), slider.top() + gain.TrackBar[9]->HandleCentreY(positions[i]), 2) << i;
    EXPECT_GE(mark.left(), slider.right());
  }
}

INSTANTIATE_TEST_SUITE_P(Points, DialogsAtFontSize, ::testing::Values(9, 11, 12),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

class WindowPlacement : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureTwoScreenApp();
    ASSERT_TRUE(config_.isValid());
    setenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit().constData(), 1);
    InstallSimDriver();
  }
  void TearDown() override {
    InstallWaveDriver(nullptr);
    TheEngine.ResetEngine();
    unsetenv("XDG_CONFIG_HOME");
  }
  QTemporaryDir config_;
};

TEST_F(WindowPlacement, TheMainWindowAndTheAboutBoxOpenCentredOnThePrimaryScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  if (qgetenv("QT_QPA_PLATFORM").startsWith("offscreen")) {
    EXPECT_EQ(screen, PrimaryScreen);
  }
  const auto centred = [&](QSize size) {
    return QPoint(screen.left() + (screen.width() - size.width()) / 2, screen.top() + (screen.height() - size.height()) / 2);
  };
  auto main = std::make_unique<TMainForm>(nullptr);
  EXPECT_EQ(main->pos(), centred(main->size()));
  TSplashForm about(main.get());
  about.Timer1->stop();
  EXPECT_EQ(about.pos(), centred(about.size()));
  // Both on the primary screen, not on the one at the desktop's origin.
  EXPECT_TRUE(screen.contains(QRect(about.pos(), about.size())));
  EXPECT_TRUE(screen.contains(QRect(main->pos(), main->size())));
}

}  // namespace
}  // namespace tessival
