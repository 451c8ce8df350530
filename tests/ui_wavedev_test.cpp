// The device dialog with the simulated driver: lists, selections by id and by
// identity, orders and the buffer count; OK stores, Cancel keeps; the wiring check.
#include <gtest/gtest.h>

#include <QAbstractItemView>
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
#include "engine/Report.h"
#include "settings/Settings.h"
#include "support/QtApp.h"
#include "ui/RadioGroup.h"
#include "ui/WaveDev.h"

namespace tessival {
namespace {

class WaveDevDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDefaultSettings();
    Ui.ShowMessage = [this](MessageKind, const std::string& text) { messages.push_back(text); };
  }
  void TearDown() override {
    ResetUiHooks();
    InstallWaveDriver(nullptr);
  }

  SimDriver& UseDevices(std::vector<std::string> inputs, std::vector<std::string> outputs) {
    SimConfig config;
    config.InputNames = std::move(inputs);
    config.OutputNames = std::move(outputs);
    return InstallSimDriver(config);
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
  std::vector<std::string> messages;
};

TEST_F(WaveDevDialog, DefaultsWithOneOutputDevice) {
  UseDevices({"Line In", "Mic"}, {"Speakers"});
  EXPECT_EQ(form.windowTitle(), "Select Wave Devices");
  // As designed, but wider for the device names and the Test buttons, and for the OK
  // and Cancel column, which is as wide as "Cancel" with its icon needs.
  EXPECT_EQ(form.BitBtn1->width(), form.BitBtn2->width());
  for (int row = 0; row < 6; ++row) {
    QComboBox* box = row == 0 ? form.ComboBoxIn : form.ComboBoxOut[row - 1];
    EXPECT_EQ(form.DeviceLabel[row]->geometry(), QRect(12, 12 + 40 * row, 128, 24)) << row;
    EXPECT_EQ(box->geometry().topLeft(), QPoint(144, 12 + 40 * row)) << row;
    EXPECT_EQ(box->height(), 24);
  }
  EXPECT_EQ(form.RadioGroupOpen->geometry(), QRect(8, 256, 104, 81));
  EXPECT_EQ(form.GroupBoxBuf->geometry(), QRect(232, 256, 65, 81));
  EXPECT_EQ(form.height(), 350);
  EXPECT_GE(form.ComboBoxIn->width(), 330);
  for (int k = 0; k < 5; ++k) {  // a Test button beside each output list, inside the dialog
    const QRect list = form.ComboBoxOut[k]->geometry(), test = form.TestButton[k]->geometry();
    EXPECT_EQ(form.TestButton[k]->text(), "Test");
    EXPECT_GT(test.left(), list.right());
    EXPECT_EQ(test.top(), list.top());
    EXPECT_LE(test.right(), form.width());
  }
  const int result = Run([](TWaveDevForm& f) {
    EXPECT_EQ(Items(f.ComboBoxIn), QStringList({"Line In", "Mic"}));
    EXPECT_EQ(f.ComboBoxIn->currentIndex(), 0);
    // Every pair defaults to the first device.
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

  // The lists are rebuilt at the next showing: a device gone, one new. (Ids alone, as
  // an older settings file holds them.)
  for (int role = -1; role < 5; ++role) (role < 0 ? WaveInDeviceName : WaveOutDeviceNames[role]).clear();
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
  for (int k = 0; k < 5; ++k) EXPECT_EQ(WaveOutDevices[k], 0);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(WaveOutDeviceNames[k], "");
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

// A stored identity wins over the stored id; one that is absent is shown as such,
// selected, and kept by OK; choosing a device stores its id and identity.
TEST_F(WaveDevDialog, StoredIdentitiesWinAndAnAbsentDeviceIsShownAndKept) {
  UseDevices({"In A", "In B"}, {"Out A", "Out B", "Out C"});
  WaveInDeviceName = "In B";
  WaveOutDevices[0] = 0;
  WaveOutDeviceNames[0] = "Out C";
  WaveOutDevices[1] = 1;
  WaveOutDeviceNames[1] = "USB (hw:CARD=CODEC,DEV=0)";
  Run([](TWaveDevForm& f) {
    EXPECT_EQ(f.ComboBoxIn->currentIndex(), 1);
    EXPECT_EQ(f.ComboBoxOut[0]->currentIndex(), 2);
    // The absent device is the last item of its own list only.
    EXPECT_EQ(Items(f.ComboBoxOut[1]),
              QStringList({"Out A", "Out B", "Out C", "USB (hw:CARD=CODEC,DEV=0) (not present)"}));
    EXPECT_EQ(f.ComboBoxOut[1]->currentIndex(), 3);
    EXPECT_EQ(f.ComboBoxOut[2]->count(), 3);
    f.BitBtn1->click();
  });
  EXPECT_EQ(WaveInDevice, 1);
  EXPECT_EQ(WaveOutDevices[0], 2);
  EXPECT_EQ(WaveOutDevices[1], 1);  // as it was
  EXPECT_EQ(WaveOutDeviceNames[1], "USB (hw:CARD=CODEC,DEV=0)");
  EXPECT_EQ(WaveOutDeviceNames[2], "Out A");  // chosen (by default) and so remembered

  Run([](TWaveDevForm& f) {
    f.ComboBoxOut[1]->setCurrentIndex(1);
    f.ComboBoxOut[3]->setCurrentIndex(-1);
    f.BitBtn1->click();
  });
  EXPECT_EQ(WaveOutDevices[1], 1);
  EXPECT_EQ(WaveOutDeviceNames[1], "Out B");
  EXPECT_EQ(WaveOutDevices[3], -1);
  EXPECT_EQ(WaveOutDeviceNames[3], "");
}

TEST_F(WaveDevDialog, LongNamesAreWholeInTheListsAndTheirTooltips) {
  const std::string longName = "HDA Intel PCH, ALC1220 Analog with a name longer than the box is wide (plughw:0,0, converts)";
  UseDevices({"In"}, {"USB Audio CODEC (plughw:2,0, converts)", longName});
  WaveOutDevices[0] = 1;
  Run([&](TWaveDevForm& f) {
    QComboBox* box = f.ComboBoxOut[0];
    EXPECT_EQ(box->itemText(0), "USB Audio CODEC (plughw:2,0, converts)");  // past the record's 31 characters
    EXPECT_EQ(box->itemText(1).toStdString(), longName);
    EXPECT_EQ(box->itemData(1, Qt::ToolTipRole).toString().toStdString(), longName);
    EXPECT_EQ(box->toolTip().toStdString(), longName);
    // Shortened in the middle where the box is too narrow: the device and its ALSA name show.
    const QString shown = box->lineEdit()->text();
    EXPECT_TRUE(shown.startsWith("HDA Intel")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("converts)")) << shown.toStdString();
    EXPECT_LT(shown.size(), box->itemText(1).size());
    EXPECT_GE(box->view()->minimumWidth(), box->view()->fontMetrics().horizontalAdvance(box->itemText(1)));
    EXPECT_EQ(f.ComboBoxOut[1]->lineEdit()->text(), "USB Audio CODEC (plughw:2,0, converts)");
    f.BitBtn1->click();
  });
  EXPECT_EQ(WaveOutDevices[0], 1);
  EXPECT_EQ(WaveOutDeviceNames[0], longName);
}

// Test plays the check on the device the pair's list shows (chosen, not yet stored).
TEST_F(WaveDevDialog, TestPlaysTheWiringCheckOnThePairsChosenDevice) {
  SimDriver& sim = UseDevices({"In"}, {"Out A", "Out B", "Out C"});
  WaveOutDeviceNames[4] = "Gone";
  Run([&](TWaveDevForm& f) {
    f.ComboBoxOut[2]->setCurrentIndex(1);
    f.TestButton[2]->click();
    EXPECT_TRUE(f.Wiring().Playing());
    for (int i = 0; i < 120; ++i) {
      sim.Step(480);
      QCoreApplication::sendPostedEvents(&f);
    }
    EXPECT_FALSE(f.Wiring().Playing());
    f.TestButton[4]->click();  // its device is not present
    EXPECT_FALSE(f.Wiring().Playing());
    f.TestButton[0]->click();
    EXPECT_TRUE(f.Wiring().Playing());
    f.BitBtn2->click();  // the check ends with the dialog
    EXPECT_FALSE(f.Wiring().Playing());
  });
  // What the check plays is tested with the check itself; here, where it played.
  const std::vector<SimRecording> recs = sim.Recordings();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].DeviceId, 1u);
  EXPECT_EQ(recs[0].Format.nSamplesPerSec, 48000u);  // no bank loaded
  EXPECT_TRUE(recs[0].Closed);
  EXPECT_EQ(recs[1].DeviceId, 0u);
  EXPECT_TRUE(recs[1].Closed);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Error en waveOutOpen: \r\ndevice ID out of range\r\nSurround Out (7-8): Gone is not present");
  EXPECT_EQ(WaveOutDevices[2], 0);  // Cancel: nothing stored
}

}  // namespace
}  // namespace tessival
