#include "ui/WaveDev.h"

namespace tessival {

TWaveDevForm* WaveDevForm = nullptr;

TWaveDevForm::TWaveDevForm(QWidget* parent) : QDialog(parent) { setWindowTitle("Select Wave Devices"); }

}  // namespace tessival
