#include "ui/FileChooser.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <functional>
#include <utility>

namespace tessival {

QDBusArgument& operator<<(QDBusArgument& out, const PortalFilterRule& rule) {
  out.beginStructure();
  out << rule.Kind << rule.Text;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, PortalFilterRule& rule) {
  in.beginStructure();
  in >> rule.Kind >> rule.Text;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const PortalFilter& filter) {
  out.beginStructure();
  out << filter.Name << filter.Rules;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, PortalFilter& filter) {
  in.beginStructure();
  in >> filter.Name >> filter.Rules;
  in.endStructure();
  return in;
}

namespace {

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString FileChooserInterface = QStringLiteral("org.freedesktop.portal.FileChooser");
const QString RequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// The first call may start the portal service, which can take a few seconds.
constexpr int PortalStartMs = 10000;
constexpr int PortalCallMs = 10000;

// How the portal knows which window its dialog belongs to; only X11 windows can be
// named without more protocol (Wayland needs an exported handle).
QString ParentWindowId(QWidget* parent) {
  if (!parent || QGuiApplication::platformName() != QLatin1String("xcb")) return {};
  return QStringLiteral("x11:") + QString::number(parent->window()->winId(), 16);
}

// Stands in for the portal's dialog inside this program: a modal dialog that is
// never drawn, so that the program's windows take no input while the portal's dialog
// is up, as with any modal dialog. Its exec() returns when the portal has answered.
class PortalRequest : public QDialog {
  Q_OBJECT

 public:
  enum Outcome { Failed, Cancelled, Chosen };

  PortalRequest(const QDBusConnection& bus, QWidget* parent, FileRequest request)
      : QDialog(parent), Bus(bus), Request(std::move(request)) {
    setAttribute(Qt::WA_DontShowOnScreen);
    setModal(true);
    // A portal that goes away (a crash) must not leave the program waiting.
    auto* watcher = new QDBusServiceWatcher(PortalService, Bus, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { Finish(Failed); });
    // Starts once the modal loop runs, so that every answer arrives inside it.
    QTimer::singleShot(0, this, &PortalRequest::AskForFileChooser);
  }

  Outcome Result = Failed;
  QString Path;

 public slots:
  void Response(uint code, const QVariantMap& results) {
    if (code == 1) return Finish(Cancelled);
    const QStringList uris = results.value(QStringLiteral("uris")).toStringList();
    if (code != 0 || uris.isEmpty()) return Finish(Failed);
    // A file elsewhere than on a local path is handed on as it is: loading it then
    // says it cannot be opened, naming it.
    const QUrl url(uris.first());
    Finish(Chosen, url.isLocalFile() ? url.toLocalFile() : uris.first());
  }

 private:
  // Asking for the chooser's version tells whether there is one.
  void AskForFileChooser() {
    QDBusMessage ask = QDBusMessage::createMethodCall(PortalService, PortalPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    ask << FileChooserInterface << QStringLiteral("version");
    WhenAnswered(Bus.asyncCall(ask, PortalStartMs), [this](const QDBusMessage&) { Open(); });
  }

  void Open() {
    static int serial = 0;
    const QString token = QStringLiteral("tessival%1").arg(++serial);
    // Listen on the request's path before asking, so that even a quick answer is heard.
    QString sender = Bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    Listen(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token));

    PortalFilter filter{Request.FilterName, {}};
    for (const QString& pattern : Request.Patterns) filter.Rules.append({0, pattern});
    QVariantMap options;
    options.insert(QStringLiteral("handle_token"), token);
    options.insert(QStringLiteral("modal"), true);
    options.insert(QStringLiteral("multiple"), false);
    options.insert(QStringLiteral("filters"), QVariant::fromValue(QList<PortalFilter>{filter}));
    options.insert(QStringLiteral("current_filter"), QVariant::fromValue(filter));
    if (!Request.Folder.isEmpty())
      options.insert(QStringLiteral("current_folder"), QFile::encodeName(Request.Folder).append('\0'));
    QDBusMessage open = QDBusMessage::createMethodCall(PortalService, PortalPath, FileChooserInterface,
                                                       QStringLiteral("OpenFile"));
    open << ParentWindowId(parentWidget()) << Request.Title << options;
    WhenAnswered(Bus.asyncCall(open, PortalCallMs), [this](const QDBusMessage& reply) {
      // Older portals choose the request's path themselves.
      const auto path = reply.arguments().value(0).value<QDBusObjectPath>().path();
      if (!path.isEmpty() && path != Listening) Listen(path);
    });
  }

  void WhenAnswered(const QDBusPendingCall& call, std::function<void(const QDBusMessage&)> then) {
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, then](QDBusPendingCallWatcher* w) {
      w->deleteLater();
      if (Finished) return;
      if (w->isError()) return Finish(Failed);
      then(w->reply());
    });
  }

  void Listen(const QString& path) {
    StopListening();
    Listening = path;
    Bus.connect(PortalService, Listening, RequestInterface, QStringLiteral("Response"), this,
                SLOT(Response(uint,QVariantMap)));
  }

  void StopListening() {
    if (Listening.isEmpty()) return;
    Bus.disconnect(PortalService, Listening, RequestInterface, QStringLiteral("Response"), this,
                   SLOT(Response(uint,QVariantMap)));
    Listening.clear();
  }

  void Finish(Outcome outcome, const QString& path = {}) {
    if (Finished) return;
    Finished = true;
    StopListening();
    Result = outcome;
    Path = path;
    // Ends the modal loop, also when called before it started.
    QTimer::singleShot(0, this, [this] { done(Result); });
  }

  QDBusConnection Bus;
  FileRequest Request;
  QString Listening;  // the request object whose Response ends the wait
  bool Finished = false;
};

}  // namespace

QString NameFilter(const FileRequest& request) {
  return request.FilterName + QStringLiteral(" (") + request.Patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
}

std::optional<QString> ChooseFileThroughPortal(const QDBusConnection& bus, QWidget* parent,
                                               const FileRequest& request) {
  if (!bus.isConnected()) return std::nullopt;
  static const bool registered = [] {
    qDBusRegisterMetaType<PortalFilterRule>();
    qDBusRegisterMetaType<QList<PortalFilterRule>>();
    qDBusRegisterMetaType<PortalFilter>();
    qDBusRegisterMetaType<QList<PortalFilter>>();
    return true;
  }();
  (void)registered;
  PortalRequest wait(bus, parent, request);
  wait.exec();
  switch (wait.Result) {
    case PortalRequest::Chosen:
      return wait.Path;
    case PortalRequest::Cancelled:
      return QString();
    case PortalRequest::Failed:
      break;
  }
  return std::nullopt;
}

QString RunFileDialog(QFileDialog* dialog) {
  const int result = dialog->exec();
  // Enter pressed while the file name completer's list is up accepts the dialog but
  // leaves the list, a window of its own, on screen over the main window.
  for (QCompleter* completer : dialog->findChildren<QCompleter*>())
    if (QAbstractItemView* list = completer->popup(); list->isVisible()) list->hide();
  if (result != QDialog::Accepted) return {};
  const QStringList files = dialog->selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

}  // namespace tessival

#include "FileChooser.moc"
