// The device dialog with the simulated driver: lists, selections by id, orders and
// the buffer count; OK stores, Cancel keeps.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include "audio/SimDriver.h"
#include "audio/WaveDriver.h"
#include "settings/Settings.h"
#include "support/QtApp.h"
#include "ui/RadioGroup.h"
#include "ui/WaveDev.h"

namespace tessival {
namespace {

class WaveDevDialog : public ::testing::Test {
 protected:
  void SetUp() override { SetDefaultSettings(); }
  void TearDown() override { InstallWaveDriver(nullptr); }

  void UseDevices(std::vector<std::string> inputs, std::vector<std::string> outputs) {
    SimConfig config;
    config.InputNames = std::move(inputs);
    config.OutputNames = std::move(outputs);
    InstallSimDriver(config);
  }

  // Shows the dialog modally, runs the user's actions inside its loop, returns the result.
  int Run(std::function<void(TWaveDevForm&)> actions) {
    testing::WhenModal([&] {
      EXPECT_TRUE(form.isVisible());
      actions(form);
      if (form.isVisible()) form.BitBtn2->click();  // never leave the loop hanging
    });
    return form.exec();
  }

  static QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
  }

  QApplication& app = testing::EnsureQtApp();  // before any widget
  TWaveDevForm form{nullptr};
};

TEST_F(WaveDevDialog, DefaultsWithOneOutputDevice) {
  UseDevices({"Line In", "Mic"}, {"Speakers"});
  EXPECT_EQ(form.windowTitle(), "Select Wave Devices");
  // As designed, but for the OK and Cancel column, which is as wide as "Cancel" with
  // its icon needs (more than the designed 61 pixels at this font).
  EXPECT_EQ(form.size(), QSize(373 - 61 + form.BitBtn2->width(), 350));
  EXPECT_EQ(form.BitBtn1->width(), form.BitBtn2->width());
  for (int row = 0; row < 6; ++row) {
    QComboBox* box = row == 0 ? form.ComboBoxIn : form.ComboBoxOut[row - 1];
    EXPECT_EQ(form.DeviceLabel[row]->geometry(), QRect(12, 12 + 40 * row, 128, 24)) << row;
    EXPECT_EQ(box->geometry().topLeft(), QPoint(144, 12 + 40 * row)) << row;
    EXPECT_EQ(box->height(), 24);
  }
  EXPECT_EQ(form.RadioGroupOpen->geometry(), QRect(8, 256, 104, 81));
  EXPECT_EQ(form.GroupBoxBuf->geometry(), QRect(232, 256, 65, 81));
  const int result = Run([](TWaveDevForm& f) {
    EXPECT_EQ(Items(f.ComboBoxIn), QStringList({"Line In", "Mic"}));
    EXPECT_EQ(f.ComboBoxIn->currentIndex(), 0);
    // Pairs 1 to 4 default to ids 1 to 4, past the one device: shown as item 0.
    for (int k = 0; k < 5; ++k) {
      EXPECT_EQ(Items(f.ComboBoxOut[k]), QStringList({"Speakers"})) << "pair " << k;
      EXPECT_EQ(f.ComboBoxOut[k]->currentIndex(), 0) << "pair " << k;
    }
    EXPECT_EQ(f.RadioGroupOpen->ItemIndex(), 0);
    EXPECT_EQ(f.RadioGroupOpen->Item(0)->text(), "Play, Rec");
    EXPECT_EQ(f.RadioGroupStart->ItemIndex(), 1);
    EXPECT_EQ(f.RadioGroupStart->Item(1)->text(), "Rec, Play");
    EXPECT_EQ(f.UpDownBuf->value(), 3);
    EXPECT_EQ(f.EditBuf->text(), "3");
    f.BitBtn1->click();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(WaveOutDevices[k], 0) << "pair " << k;
  EXPECT_EQ(WaveInDevice, 0);
  EXPECT_EQ(OpenOrder, 0);
  EXPECT_EQ(StartOrder, 1);
  EXPECT_EQ(NumBuffers, 3);
}

TEST_F(WaveDevDialog, SelectionsFollowStoredIdsAndListsFollowTheDevices) {
  UseDevices({"In A", "In B"}, {"Out A", "Out B", "Out C", "Out D", "Out E", "Out F"});
  WaveInDevice = 3;  // past the two inputs
  const int32_t outs[5] = {5, 4, -1, 2, 9};
  for (int k = 0; k < 5; ++k) WaveOutDevices[k] = outs[k];
  OpenOrder = 1;
  StartOrder = 0;
  NumBuffers = 8;
  Run([](TWaveDevForm& f) {
    EXPECT_EQ(f.ComboBoxIn->currentIndex(), 0);
    EXPECT_EQ(f.ComboBoxIn->currentText(), "In A");
    EXPECT_EQ(f.ComboBoxOut[0]->currentIndex(), 5);
    EXPECT_EQ(f.ComboBoxOut[1]->currentIndex(), 4);
    EXPECT_EQ(f.ComboBoxOut[2]->currentIndex(), -1);  // a stored -1 shows nothing
    EXPECT_EQ(f.ComboBoxOut[2]->currentText(), "");
    EXPECT_EQ(f.ComboBoxOut[3]->currentIndex(), 2);
    EXPECT_EQ(f.ComboBoxOut[4]->currentIndex(), 0);
    EXPECT_EQ(f.RadioGroupOpen->ItemIndex(), 1);
    EXPECT_EQ(f.RadioGroupStart->ItemIndex(), 0);
    EXPECT_EQ(f.UpDownBuf->value(), 8);
    f.ComboBoxOut[1]->setCurrentIndex(3);
    f.BitBtn1->click();
  });
  EXPECT_EQ(WaveInDevice, 0);
  const int32_t stored[5] = {5, 3, -1, 2, 0};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(WaveOutDevices[k], stored[k]) << "pair " << k;
  EXPECT_EQ(OpenOrder, 1);
  EXPECT_EQ(StartOrder, 0);
  EXPECT_EQ(NumBuffers, 8);

  // The lists are rebuilt at the next showing: a device gone, one new.
  UseDevices({}, {"Out A", "Out New"});
  Run([](TWaveDevForm& f) {
    EXPECT_EQ(f.ComboBoxIn->count(), 0);
    EXPECT_EQ(f.ComboBoxIn->currentIndex(), -1);
    EXPECT_EQ(f.ComboBoxIn->currentText(), "");
    EXPECT_EQ(Items(f.ComboBoxOut[3]), QStringList({"Out A", "Out New"}));
    EXPECT_EQ(f.ComboBoxOut[0]->currentIndex(), 0);
    f.BitBtn1->click();
  });
  EXPECT_EQ(WaveInDevice, -1);  // no input device at all
  EXPECT_EQ(WaveOutDevices[0], 0);
  EXPECT_EQ(WaveOutDevices[2], -1);

  // A text typed into a list is not a device: the selection still decides.
  Run([](TWaveDevForm& f) {
    f.ComboBoxOut[0]->setCurrentIndex(1);
    f.ComboBoxOut[0]->setEditText("Something else");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(f.ComboBoxOut[0]->lineEdit(), &enter);
    EXPECT_EQ(f.ComboBoxOut[0]->count(), 2);
    if (f.isVisible()) f.BitBtn1->click();
  });
  EXPECT_EQ(WaveOutDevices[0], 1);
}

TEST_F(WaveDevDialog, CancelKeepsAllNineValues) {
  UseDevices({"In A", "In B"}, {"Out A", "Out B", "Out C"});
  const int result = Run([](TWaveDevForm& f) {
    f.ComboBoxIn->setCurrentIndex(1);
    for (int k = 0; k < 5; ++k) f.ComboBoxOut[k]->setCurrentIndex(2);
    f.RadioGroupOpen->Item(1)->click();
    f.RadioGroupStart->Item(0)->click();
    f.UpDownBuf->setValue(7);
    f.BitBtn2->click();
  });
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_EQ(WaveInDevice, 0);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(WaveOutDevices[k], k);
  EXPECT_EQ(OpenOrder, 0);
  EXPECT_EQ(StartOrder, 1);
  EXPECT_EQ(NumBuffers, 3);
}

TEST_F(WaveDevDialog, BufferCountStaysWithinTwoToEight) {
  UseDevices({"In"}, {"Out"});
  EXPECT_EQ(form.UpDownBuf->objectName(), "UpDownBuf");
  EXPECT_EQ(form.EditBuf->objectName(), "EditBuf");
  EXPECT_GT(form.EditBuf->font().pointSizeF(), form.font().pointSizeF());

  // Stepping stops at the ends and never wraps.
  Run([](TWaveDevForm& f) {
    for (int i = 0; i < 10; ++i) f.UpDownBuf->stepDown();
    EXPECT_EQ(f.UpDownBuf->value(), 2);
    for (int i = 0; i < 10; ++i) f.UpDownBuf->stepUp();
    EXPECT_EQ(f.UpDownBuf->value(), 8);
    f.UpDownBuf->stepUp();
    EXPECT_EQ(f.UpDownBuf->value(), 8);
    f.BitBtn1->click();
  });
  EXPECT_EQ(NumBuffers, 8);

  // Numbers typed past the ends are stored held to the nearest end.
  const struct {
    const char* typed;
    int32_t stored;
  } cases[] = {{"12", 8}, {"1", 2}, {"0", 2}, {"-5", 2}, {"5", 5}, {"", 5}};
  for (const auto& c : cases) {
    Run([&](TWaveDevForm& f) {
      f.EditBuf->setText(c.typed);
      f.BitBtn1->click();
    });
    EXPECT_EQ(NumBuffers, c.stored) << "typed '" << c.typed << "'";
  }

  // Typing "1" from the keyboard and leaving the box settles on 2, not the old value.
  NumBuffers = 6;
  Run([](TWaveDevForm& f) {
    f.UpDownBuf->setFocus();
    f.EditBuf->selectAll();
    QKeyEvent one(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, "1");
    QApplication::sendEvent(f.UpDownBuf, &one);
    EXPECT_EQ(f.EditBuf->text(), "1");
    f.BitBtn1->setFocus();
    f.BitBtn1->click();
  });
  EXPECT_EQ(NumBuffers, 2);

  // A stored count outside 2..8 shows held and is stored held.
  NumBuffers = 40;
  Run([](TWaveDevForm& f) {
    EXPECT_EQ(f.UpDownBuf->value(), 8);
    f.BitBtn1->click();
  });
  EXPECT_EQ(NumBuffers, 8);
}

}  // namespace
}  // namespace tessival
