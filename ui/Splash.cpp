#include "ui/Splash.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QSvgRenderer>
#include <QTimer>
#include <algorithm>

#include "ui/Layout.h"

// The picture lives in a static library, whose resource object the linker would drop.
static void InitSplashResources() { Q_INIT_RESOURCE(splash); }

namespace tessival {

TSplashForm* SplashForm = nullptr;

namespace {

constexpr int PictureWidth = 320;
constexpr int PictureHeight = 131;

QPixmap SplashPicture(qreal ratio) {
  QImage image(qRound(PictureWidth * ratio), qRound(PictureHeight * ratio), QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor(0x16, 0x32, 0x4f));
  QSvgRenderer renderer(QStringLiteral(":/splash/about.svg"));
  if (renderer.isValid()) {
    QPainter painter(&image);
    renderer.render(&painter);
  }
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

// The text column: the picture's width, or wider where a line of text needs it.
constexpr int TextWidth = PictureWidth;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QSize designed) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  label->setMinimumSize(designed);
  return label;
}

void SetTextColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

}  // namespace

TSplashForm::TSplashForm(QWidget* parent) : QDialog(parent) {
  InitSplashResources();
  setObjectName("SplashForm");
  setWindowTitle("About ...");
  // A title bar without buttons.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->setFixedSize(PictureWidth, PictureHeight);
  Image1->setPixmap(SplashPicture(qApp ? qApp->devicePixelRatio() : 1.0));

  Label4 = MakeLabel(this, "Label4", "Corvane Real-Time Convolver", QSize(344, 32));
  QFont title("Times New Roman", 17);
  title.setStyleHint(QFont::Serif);
  title.setItalic(true);
  title.setBold(true);
  Label4->setFont(title);
  SetTextColour(Label4, QColor(0x80, 0x00, 0x00));  // maroon

  Label2 = MakeLabel(this, "Label2", "ver. " TESSIVAL_VERSION, QSize(344, 20));
  QFont version = Label2->font();
  version.setBold(true);
  Label2->setFont(version);
  SetTextColour(Label2, QColor(0x80, 0x80, 0x00));  // olive

  Label3 = MakeLabel(this, "Label3", "Free software: GNU GPL, version 3 or later.", QSize(TextWidth, 22));
  // The wrapped lines take the height their words need at the column's width.
  Label1 = MakeLabel(this, "Label1",
                     "Convolves a live stereo input with a bank of FIR filters, in real time, "
                     "for a stereo dipole and up to eight surround loudspeakers.",
                     QSize(TextWidth, 50));
  Label1->setWordWrap(true);
  const int column = std::max(TextWidth, Label3->sizeHint().width());
  Label1->setFixedSize(column, std::max(50, Label1->heightForWidth(column)));

  BitBtn1 = new TDialogButton(TDialogButton::Ok, QSize(78, 27), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  auto* form = new QVBoxLayout;
  form->setContentsMargins(4, 12, 4, 11);
  form->setSpacing(0);
  form->addWidget(Image1, 0, Qt::AlignHCenter);
  form->addSpacing(7);
  form->addWidget(Label4);
  form->addSpacing(1);
  form->addWidget(Label2);
  form->addSpacing(3);
  form->addWidget(Label1, 0, Qt::AlignHCenter);
  form->addSpacing(1);
  form->addWidget(Label3, 0, Qt::AlignHCenter);
  form->addSpacing(6);
  form->addWidget(BitBtn1, 0, Qt::AlignHCenter);
  FixToLayout(this, form);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(SplashTimeoutMs);
  connect(Timer1, &QTimer::timeout, this, &TSplashForm::Timer1Timer);

  FormCreate();
}

void TSplashForm::FormCreate() {
  CentreOnPrimaryScreen(this);
  Timer1->start();
}

// Ticks once: closes the box if it is up, then never again.
void TSplashForm::Timer1Timer() {
  Timer1->stop();
  if (isVisible()) {
    done(QDialog::Accepted);
  } else if (!EverShown) {
    // Events ran before the start-up showing; that showing must still close at once.
    TickedBeforeShow = true;
  }
}

void TSplashForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TSplashForm::closeEvent(QCloseEvent* event) {
  // A window manager's close (Alt+F4) is the user's; the box has no close box for it.
  if (event->spontaneous()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void TSplashForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous() || EverShown) return;
  EverShown = true;
  // Closing from inside show() would leave exec() waiting; let its loop start first.
  if (TickedBeforeShow)
    QTimer::singleShot(0, this, [this] {
      if (isVisible()) done(QDialog::Accepted);
    });
}

}  // namespace tessival
