#pragma once
// The file dialogs of the load command. Where the desktop has a file chooser of its
// own (GNOME, KDE and others offer it through the XDG desktop portal on the session
// bus), the user gets that one; elsewhere Qt's dialog, or the one the platform theme
// supplies. Either way the program's windows take no input while it is up.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <optional>

class QFileDialog;
class QWidget;

namespace tessival {

// What the user is asked for: one existing file.
struct FileRequest {
  QString Title;         // the dialog's caption
  QString FilterName;    // "WAV file"
  QStringList Patterns;  // "*.wav", "*.WAV", "*.Wav": case as the file systems keep it
  QString Folder;        // where to start; empty leaves it to the dialog
};

// "WAV file (*.wav *.WAV *.Wav)", the filter text of Qt's dialog.
QString NameFilter(const FileRequest& request);

// Asks the portal on `bus` for one file, modally over `parent`'s window. Returns the
// chosen file's local path, "" when the user cancelled, and nothing when the bus has
// no portal file chooser or it failed, so that the caller can use another dialog.
std::optional<QString> ChooseFileThroughPortal(const QDBusConnection& bus, QWidget* parent,
                                               const FileRequest& request);

// Runs a Qt file dialog modally; returns the chosen file, "" for cancel. Nothing the
// dialog opened (the file name completer's list) stays on screen after it.
QString RunFileDialog(QFileDialog* dialog);

// A filter as the portal takes it, signature (sa(us)): a name and rules, each a kind
// (0 a glob pattern, 1 a MIME type) and its text.
struct PortalFilterRule {
  uint Kind = 0;
  QString Text;
};
struct PortalFilter {
  QString Name;
  QList<PortalFilterRule> Rules;
};
QDBusArgument& operator<<(QDBusArgument& out, const PortalFilterRule& rule);
const QDBusArgument& operator>>(const QDBusArgument& in, PortalFilterRule& rule);
QDBusArgument& operator<<(QDBusArgument& out, const PortalFilter& filter);
const QDBusArgument& operator>>(const QDBusArgument& in, PortalFilter& filter);

}  // namespace tessival

Q_DECLARE_METATYPE(tessival::PortalFilterRule)
Q_DECLARE_METATYPE(tessival::PortalFilter)
