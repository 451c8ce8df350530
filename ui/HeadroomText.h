#pragma once
// The headroom of the loaded bank in words: the main window's line and tooltip, and
// the gain dialog's slider tooltips. Figures come from the load (BankHeadroom); the
// gains are not in them: the user decides with the sliders.
#include <QString>

namespace tessival {

// "Dipole L", "Dipole R", "S1" .. "S8".
QString OutputChannelName(int ch);

// What the bank needs: nothing when every channel's bound (and so its sine peak) stays
// at or under 0 dB; else the worst sine peak above 0 dB, or, where every sine stays
// within full scale and only a bound does not, the worst bound.
struct HeadroomNeed {
  bool Known = false;  // a bank is loaded and measured
  bool Ok = false;
  double Db = 0;       // the attenuation needed, positive
  int Channel = -1;    // the channel it comes from
};
HeadroomNeed BankHeadroomNeed();

// "Headroom: needs -12.0 dB" or "Headroom: ok"; empty without a measured bank.
QString HeadroomLine();
// Every channel's figures, one line each, with what they mean.
QString HeadroomToolTip();
// "Dipole L: sine peak +12.0 dB at 255 Hz, bound +17.4 dB".
QString ChannelHeadroomText(int ch);
// The tooltip of gain slider k: the figures of the channels it controls.
QString SliderHeadroomToolTip(int k);

}  // namespace tessival
