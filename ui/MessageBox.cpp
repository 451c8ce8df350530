#include "ui/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

namespace tessival {

std::function<void(MessageKind, const std::string&)> MessageBoxCapture;

void ShowMessageBox(MessageKind kind, const std::string& text) {
  if (MessageBoxCapture) {
    MessageBoxCapture(kind, text);
    return;
  }
  QString shown = QString::fromLocal8Bit(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(kind == MessageKind::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                  QStringLiteral("Tessival"), shown, QMessageBox::Ok, QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace tessival
