// The load command's file dialogs: Qt's own dialog, driven as a user would with the
// keyboard, and the desktop's chooser through a stand-in portal on a private bus.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "audio/SimDriver.h"
#include "audio/WaveDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"
#include "support/QtApp.h"
#include "support/WavBuilder.h"
#include "ui/FileChooser.h"
#include "ui/Main.h"
#include "ui/MessageBox.h"

namespace tessival {
namespace {

// Pumps events until `done` holds or `ms` pass; says whether it held.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms) testing::PumpEvents(10);
  return done();
}

// A key press as a user makes it: to the completer's list when it is up (it has the
// keyboard then), else to the edit.
void Press(QLineEdit* edit, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QWidget* target = QApplication::activePopupWidget() ? QApplication::activePopupWidget() : edit;
  QApplication::sendEvent(target, &press);
}

void Type(QLineEdit* edit, const QString& text) {
  for (const QChar c : text) Press(edit, 0, c);
}

class LoadDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApp();
    ASSERT_TRUE(config_.isValid());
    setenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit().constData(), 1);
    InstallSimDriver();
    TheEngine.ResetEngine();
    ResetSettingsVariables();
    MessageBoxCapture = [this](MessageKind, const std::string& text) { messages_.push_back(text); };
    OpenDialogOverride = nullptr;
  }

  void TearDown() override {
    delete MainForm;
    MainForm = nullptr;
    MessageBoxCapture = nullptr;
    InstallWaveDriver(nullptr);
    TheEngine.ResetEngine();
    unsetenv("XDG_CONFIG_HOME");
  }

  // stem1.wav and stem2.wav, with a name case the filter must still match.
  void WriteBank(const std::string& first = "stem1.wav") {
    std::vector<double> left(64, 0.0), right(64, 0.0);
    left[0] = right[1] = 0.5;
    ASSERT_TRUE(testing::WriteBytes(bank_ / first, testing::FilterWav(left, right, 48000, 7)));
    ASSERT_TRUE(testing::WriteBytes(bank_ / "stem2.wav", testing::FilterWav(left, right, 48000, 7)));
  }

  // The windows on screen besides the main window.
  static std::string OtherVisibleWindows() {
    QStringList others;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w != MainForm) others << QString(w->metaObject()->className()) + " " + w->objectName();
    return others.join(", ").toStdString();
  }

  QTemporaryDir config_;
  testing::TempDir bank_;
  std::vector<std::string> messages_;
};

TEST_F(LoadDialog, EnterInTheCompletionListLoadsTheBankAndLeavesNothingOnScreen) {
  WriteBank();
  MainForm = new TMainForm(nullptr);
  MainForm->show();
  bool popupSeen = false;
  testing::WhenModal([&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    // In the bank's folder, the start of a name: the completer lists the matches.
    dialog->setDirectory(QString::fromStdString(bank_.Path()));
    testing::PumpEvents(200);  // the folder is read in the background
    edit->setFocus();
    Type(edit, "stem");
    QAbstractItemView* popup = edit->completer() ? edit->completer()->popup() : nullptr;
    popupSeen = PumpUntil([&] { return popup && popup->isVisible(); });
    Type(edit, "1.wav");
    PumpUntil([&] { return popup->isVisible(); }, 500);
    Press(edit, Qt::Key_Return);
    if (PumpUntil([&] { return !dialog->isVisible(); }, 2000)) return;
    ADD_FAILURE() << "the dialog did not take the typed name";
    dialog->reject();
  });
  MainForm->FiltrosButtonClick();
  EXPECT_TRUE(popupSeen);
  EXPECT_TRUE(TheEngine.FiltersLoaded) << (messages_.empty() ? "" : messages_[0]);
  QCoreApplication::processEvents();
  EXPECT_EQ(OtherVisibleWindows(), "");
}


TEST_F(LoadDialog, QtsDialogListsWavFilesOfEveryCase) {
  for (const char* name : {"a.wav", "b.WAV", "c.Wav", "d.wAv", "e.txt", "f.wav.txt"})
    ASSERT_TRUE(testing::WriteBytes(bank_ / name, {0}));
  MainForm = new TMainForm(nullptr);
  QStringList listed;
  testing::WhenModal([&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->nameFilters(), QStringList{"WAV file (*.wav *.WAV *.Wav)"});
    dialog->setDirectory(QString::fromStdString(bank_.Path()));
    auto* view = dialog->findChild<QListView*>("listView");
    ASSERT_NE(view, nullptr);
    PumpUntil([&] { return view->model()->rowCount(view->rootIndex()) >= 4; }, 2000);
    testing::PumpEvents(100);  // any late rows
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
      listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
    dialog->reject();
  });
  MainForm->FiltrosButtonClick();
  listed.sort();
  EXPECT_EQ(listed, QStringList({"a.wav", "b.WAV", "c.Wav", "d.wAv"}));
  EXPECT_FALSE(TheEngine.FiltersLoaded);
}

// A stand-in for the desktop's portal on a private bus: answers the chooser's calls
// as scripted and keeps what it was asked.
class FakePortal : public QDBusVirtualObject {
 public:
  bool HasFileChooser = true;
  std::optional<uint> Answer = 0;  // the Response code, none for never answering
  QVariantMap Results;
  std::function<void()> WhileOpen;  // runs when OpenFile arrives

  int Calls = 0;
  QString ParentWindow, Title;
  QVariantMap Options;

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == "Get") {
      connection.send(HasFileChooser && message.arguments().value(0) == "org.freedesktop.portal.FileChooser"
                          ? message.createReply(QVariant::fromValue(QDBusVariant(3u)))
                          : message.createErrorReply(QDBusError::UnknownInterface, "no such interface"));
      return true;
    }
    if (message.interface() != "org.freedesktop.portal.FileChooser" || message.member() != "OpenFile") return false;
    ++Calls;
    ParentWindow = message.arguments().value(0).toString();
    Title = message.arguments().value(1).toString();
    Options = qdbus_cast<QVariantMap>(message.arguments().value(2));
    const QString sender = message.service();
    const QString handle = "/org/freedesktop/portal/desktop/request/" + sender.mid(1).replace('.', '_') + "/" +
                           Options.value("handle_token").toString();
    connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
    if (WhileOpen) WhileOpen();
    if (!Answer) return true;
    // The user answers a little later, after the call has returned.
    QTimer::singleShot(30, [connection, sender, handle, code = *Answer, results = Results] {
      QDBusMessage response =
          QDBusMessage::createTargetedSignal(sender, handle, "org.freedesktop.portal.Request", "Response");
      response << code << results;
      QDBusConnection(connection).send(response);
    });
    return true;
  }
};

class PortalChooser : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApp();
    const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
    if (daemon.isEmpty()) GTEST_SKIP() << "no dbus-daemon for a private bus";
    bus_.start(daemon, {"--session", "--nofork", "--print-address"});
    ASSERT_TRUE(bus_.waitForStarted());
    ASSERT_TRUE(PumpUntil([&] { return bus_.canReadLine(); }, 5000)) << "the bus gave no address";
    const QString address = QString::fromUtf8(bus_.readLine()).trimmed();
    app_ = QDBusConnection::connectToBus(address, "tessival-test-app");
    portalBus_ = QDBusConnection::connectToBus(address, "tessival-test-portal");
    ASSERT_TRUE(app_.isConnected() && portalBus_.isConnected());
    ASSERT_TRUE(portalBus_.registerVirtualObject("/org/freedesktop/portal/desktop", &portal_));
  }

  void TearDown() override {
    QDBusConnection::disconnectFromBus("tessival-test-app");
    QDBusConnection::disconnectFromBus("tessival-test-portal");
    bus_.kill();
    bus_.waitForFinished();
  }

  void StartPortal() { ASSERT_TRUE(portalBus_.registerService("org.freedesktop.portal.Desktop")); }

  std::optional<QString> Choose(const QString& folder = {}) {
    // A request that is never answered ends when the portal goes away: so must a
    // test's, rather than hang the run.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      ADD_FAILURE() << "no answer within 10 s";
      portalBus_.unregisterService("org.freedesktop.portal.Desktop");
    });
    watchdog.start(10000);
    return ChooseFileThroughPortal(app_, nullptr, {"Open", "WAV file", {"*.wav", "*.WAV", "*.Wav"}, folder});
  }

  QProcess bus_;
  QDBusConnection app_{QString()};
  QDBusConnection portalBus_{QString()};
  FakePortal portal_;
};

TEST_F(PortalChooser, AsksForOneWavFileModallyAndTakesTheChosenPath) {
  StartPortal();
  portal_.Results.insert("uris", QStringList{"file:///home/user/filters/surround%201.wav"});
  bool blocked = false;
  portal_.WhileOpen = [&] { blocked = QApplication::activeModalWidget() != nullptr; };
  EXPECT_EQ(Choose("/home/user/filters"), QString("/home/user/filters/surround 1.wav"));
  EXPECT_EQ(portal_.Calls, 1);
  EXPECT_TRUE(blocked) << "the program's windows took input while the portal's dialog was up";
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(portal_.Title, "Open");
  EXPECT_EQ(portal_.ParentWindow, "");  // offscreen: no window the portal could name
  EXPECT_TRUE(portal_.Options.value("modal").toBool());
  EXPECT_FALSE(portal_.Options.value("multiple").toBool());
  EXPECT_FALSE(portal_.Options.value("handle_token").toString().isEmpty());
  EXPECT_EQ(portal_.Options.value("current_folder").toByteArray(), QByteArray("/home/user/filters\0", 19));
  const auto filters = qdbus_cast<QList<PortalFilter>>(portal_.Options.value("filters"));
  ASSERT_EQ(filters.size(), 1);
  EXPECT_EQ(filters[0].Name, "WAV file");
  QStringList globs;
  for (const PortalFilterRule& rule : filters[0].Rules) {
    EXPECT_EQ(rule.Kind, 0u);
    globs << rule.Text;
  }
  EXPECT_EQ(globs, QStringList({"*.wav", "*.WAV", "*.Wav"}));
  EXPECT_EQ(qdbus_cast<PortalFilter>(portal_.Options.value("current_filter")).Name, "WAV file");
}

TEST_F(PortalChooser, CancelGivesNoFileAndAFailureLetsTheCallerUseAnotherDialog) {
  StartPortal();
  portal_.Answer = 1;  // the user cancelled
  EXPECT_EQ(Choose(), QString());
  portal_.Answer = 2;  // the portal could not show its dialog
  EXPECT_EQ(Choose(), std::nullopt);
  portal_.Answer = 0;  // success, but no file named
  EXPECT_EQ(Choose(), std::nullopt);
  EXPECT_EQ(portal_.Calls, 3);

  // A portal without a file chooser is not asked to open one.
  portal_.HasFileChooser = false;
  EXPECT_EQ(Choose(), std::nullopt);
  EXPECT_EQ(portal_.Calls, 3);
}

TEST_F(PortalChooser, NoPortalOrOneThatGoesAwayLeavesNothingWaiting) {
  // Nobody owns the portal's name on this bus.
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(Choose(), std::nullopt);
  EXPECT_LT(clock.elapsed(), 5000);

  // The portal quits while its dialog is up, without answering.
  StartPortal();
  portal_.Answer.reset();
  portal_.WhileOpen = [&] {
    QTimer::singleShot(30, [&] { portalBus_.unregisterService("org.freedesktop.portal.Desktop"); });
  };
  EXPECT_EQ(Choose(), std::nullopt);
  EXPECT_EQ(portal_.Calls, 1);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace tessival
