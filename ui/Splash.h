#pragma once
// The About box, also the start-up splash: a picture, the title and version, a few
// lines about the program, and OK. Its one-shot timer closes it 2000 ms after
// creation when it is being shown then; later showings wait for OK.
#include <QDialog>

class QLabel;
class QPushButton;
class QTimer;

namespace tessival {

constexpr int SplashTimeoutMs = 2000;

class TSplashForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSplashForm(QWidget* parent = nullptr);

  void Timer1Timer();

  QLabel* Image1;        // the 320 x 131 picture
  QLabel* Label4;        // title
  QLabel* Label2;        // version
  QLabel* Label1;        // what the program does
  QLabel* Label3;        // licence
  QPushButton* BitBtn1;  // OK
  QTimer* Timer1;        // one tick, 2000 ms after creation

 protected:
  // No close box and Escape does nothing: the user closes the box with OK, or the
  // timer does. Code may still close it (accept, reject, close).
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void FormCreate();

  bool EverShown = false;        // the start-up showing has happened
  bool TickedBeforeShow = false;  // the timer ticked before the start-up showing
};

extern TSplashForm* SplashForm;

}  // namespace tessival
