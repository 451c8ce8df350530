#include "ui/Gain.h"

namespace tessival {

TGainForm* GainForm = nullptr;

TGainForm::TGainForm(QWidget* parent) : QDialog(parent) { setWindowTitle("Channel Gain"); }

}  // namespace tessival
