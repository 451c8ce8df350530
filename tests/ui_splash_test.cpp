// The About box and start-up splash: its one-shot timer and the OK button.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <thread>

#include "support/QtApp.h"
#include "ui/Splash.h"

namespace tessival {
namespace {

class SplashBox : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureQtApp(); }

  // Shows the box modally; a watchdog presses OK after watchdogMs so a box that
  // fails to close cannot hang the run. Returns the time the box was up.
  qint64 ShowModal(TSplashForm& box, int watchdogMs, bool* closedByWatchdog = nullptr) {
    bool watchdog = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
      watchdog = true;
      box.BitBtn1->click();
    });
    guard.start(watchdogMs);
    QElapsedTimer clock;
    clock.start();
    const int result = box.exec();
    EXPECT_EQ(result, QDialog::Accepted);
    if (closedByWatchdog) *closedByWatchdog = watchdog;
    return clock.elapsed();
  }
};

TEST_F(SplashBox, ContentAndFrame) {
  TSplashForm box(nullptr);
  box.Timer1->stop();
  EXPECT_EQ(box.windowTitle(), "About ...");
  EXPECT_EQ(box.size(), QSize(352, 323));
  EXPECT_EQ(box.minimumSize(), box.maximumSize());
  EXPECT_FALSE(box.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(box.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_EQ(box.Label4->text(), "Corvane Real-Time Convolver");
  EXPECT_TRUE(box.Label4->font().italic());
  EXPECT_EQ(box.Label4->palette().color(QPalette::WindowText), QColor(0x80, 0, 0));
  EXPECT_EQ(box.Label2->text(), "ver. " TESSIVAL_VERSION);  // the project's version
  EXPECT_EQ(box.Label2->palette().color(QPalette::WindowText), QColor(0x80, 0x80, 0));
  EXPECT_EQ(box.Image1->size(), QSize(320, 131));
  const QPixmap picture = box.Image1->pixmap();
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.deviceIndependentSize().toSize(), QSize(320, 131));
  // The picture is drawn, not a flat fill: some pixels differ from the corner.
  const QImage image = picture.toImage();
  int differing = 0;
  for (int y = 0; y < image.height(); y += 4)
    for (int x = 0; x < image.width(); x += 4) differing += image.pixel(x, y) != image.pixel(0, 0);
  EXPECT_GT(differing, 100);
  EXPECT_EQ(box.Timer1->interval(), 2000);

  // Centred on the primary screen.
  const QSize screen = QGuiApplication::primaryScreen()->size();
  EXPECT_EQ(box.pos(), QPoint((screen.width() - 352) / 2, (screen.height() - 323) / 2));

  // Escape does not close it: only OK does.
  testing::WhenModal([&] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(box.BitBtn1, &escape);  // reaches the box through the focused button
    EXPECT_TRUE(box.isVisible());
    box.BitBtn1->click();
  });
  EXPECT_EQ(box.exec(), QDialog::Accepted);
}

TEST_F(SplashBox, ClosesItselfAboutTwoSecondsAfterCreation) {
  TSplashForm box(nullptr);
  bool upAtOneAndAHalf = false;
  QTimer::singleShot(1500, [&] { upAtOneAndAHalf = box.isVisible(); });
  bool watchdog = false;
  const qint64 elapsed = ShowModal(box, 6000, &watchdog);
  EXPECT_TRUE(upAtOneAndAHalf);
  EXPECT_FALSE(watchdog);
  // Qt's default coarse timers may fire up to 5 % early, and the clock starts a
  // little after the box was made.
  EXPECT_GE(elapsed, 1850);
  EXPECT_LT(elapsed, 3000);
  EXPECT_FALSE(box.Timer1->isActive());
}

TEST_F(SplashBox, ShownAfterTheTimeHasPassedClosesAtOnce) {
  TSplashForm box(nullptr);
  // A slow start-up: no events run between creation and the first showing.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  bool watchdog = false;
  EXPECT_LT(ShowModal(box, 4000, &watchdog), 1000);
  EXPECT_FALSE(watchdog);
}

TEST_F(SplashBox, StartUpShowingClosesAtOnceEvenIfEventsRanBeforeIt) {
  TSplashForm box(nullptr);
  testing::PumpEvents(2300);  // the tick comes while the box is still hidden
  EXPECT_FALSE(box.Timer1->isActive());
  bool watchdog = false;
  EXPECT_LT(ShowModal(box, 4000, &watchdog), 1000);
  EXPECT_FALSE(watchdog);
}

TEST_F(SplashBox, OkClosesEarlyAndLaterShowingsWaitForOk) {
  TSplashForm box(nullptr);
  // The splash closed with OK after a moment.
  testing::WhenModal([&] { box.BitBtn1->click(); }, 200);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(box.exec(), QDialog::Accepted);
  EXPECT_LT(clock.elapsed(), 1500);
  EXPECT_TRUE(box.Timer1->isActive());

  // Shown again before the tick: the tick still closes it.
  bool watchdog = false;
  const qint64 upFor = ShowModal(box, 5000, &watchdog);
  EXPECT_FALSE(watchdog);
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_GT(upFor, 200);
  EXPECT_FALSE(box.Timer1->isActive());

  // After the tick the box stays until OK.
  EXPECT_GE(ShowModal(box, 1200, &watchdog), 1100);
  EXPECT_TRUE(watchdog);
}

}  // namespace
}  // namespace tessival
