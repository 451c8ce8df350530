#pragma once
// One QApplication for a whole GUI test binary (widgets need it before they exist).
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace tessival::testing {

inline QApplication& EnsureQtApp() {
  static QApplication* app = [] {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tessival-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs the event loop for ms milliseconds.
inline void PumpEvents(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs action once the modal loop of the next exec() is running.
inline void WhenModal(std::function<void()> action, int delayMs = 0) {
  QTimer::singleShot(delayMs, QCoreApplication::instance(), std::move(action));
}

}  // namespace tessival::testing
