#include "ui/SampFreq.h"

namespace tessival {

TSampFreqForm* SampFreqForm = nullptr;

TSampFreqForm::TSampFreqForm(QWidget* parent) : QDialog(parent) { setWindowTitle("Sampling Frequency & Bits"); }

}  // namespace tessival
