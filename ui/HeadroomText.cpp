#include "ui/HeadroomText.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

#include "engine/Engine.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"

namespace tessival {

namespace {

int BankChannels() { return TheEngine.FiltersLoaded ? TheEngine.NumFilterChannels : 0; }

QString Db(double db) { return QStringLiteral("%1%2 dB").arg(db > 0 ? "+" : "").arg(db, 0, 'f', 1); }

QString Frequency(double cycles) {
  const double hz = cycles * SampleRate;
  return hz < 1000 ? QStringLiteral("%1 Hz").arg(std::lround(hz)) : QStringLiteral("%1 kHz").arg(hz / 1000, 0, 'f', 2);
}

}  // namespace

QString OutputChannelName(int ch) {
  if (ch == 0) return QStringLiteral("Dipole L");
  if (ch == 1) return QStringLiteral("Dipole R");
  return QStringLiteral("S%1").arg(ch - 1);
}

HeadroomNeed BankHeadroomNeed() {
  HeadroomNeed need;
  const int channels = BankChannels();
  int worstPeak = -1, worstBound = -1;
  for (int ch = 0; ch < channels; ++ch) {
    if (!BankHeadroom[ch]) return need;  // not measured: no verdict
    if (worstPeak < 0 || BankHeadroom[ch]->PeakDb > BankHeadroom[worstPeak]->PeakDb) worstPeak = ch;
    if (worstBound < 0 || BankHeadroom[ch]->BoundDb > BankHeadroom[worstBound]->BoundDb) worstBound = ch;
  }
  if (channels == 0) return need;
  need.Known = true;
  if (BankHeadroom[worstBound]->BoundDb <= 0) {
    need.Ok = true;
  } else if (BankHeadroom[worstPeak]->PeakDb > 0) {
    need.Db = BankHeadroom[worstPeak]->PeakDb;
    need.Channel = worstPeak;
  } else {
    need.Db = BankHeadroom[worstBound]->BoundDb;
    need.Channel = worstBound;
  }
  return need;
}

QString HeadroomLine() {
  const HeadroomNeed need = BankHeadroomNeed();
  if (!need.Known) return {};
  if (need.Ok) return QStringLiteral("Headroom: ok");
  // To a tenth, never "-0.0": a need is at least a tenth.
  const double tenths = std::max(1.0, std::round(need.Db * 10));
  return QStringLiteral("Headroom: needs -%1 dB").arg(tenths / 10, 0, 'f', 1);
}

QString ChannelHeadroomText(int ch) {
  const QString name = OutputChannelName(ch);
  if (ch < 0 || ch >= BankChannels()) return name + QStringLiteral(": not in the bank");
  if (!BankHeadroom[ch]) return name + QStringLiteral(": not measured");
  const ChannelHeadroom& h = *BankHeadroom[ch];
  if (!std::isfinite(h.BoundDb)) return name + QStringLiteral(": silent");
  return QStringLiteral("%1: sine peak %2 at %3, bound %4")
      .arg(name, Db(h.PeakDb), Frequency(h.PeakCycles), Db(h.BoundDb));
}

QString HeadroomToolTip() {
  const int channels = BankChannels();
  if (channels == 0) return {};
  QStringList lines{QStringLiteral("Headroom of each output channel, before the gains:")};
  for (int ch = 0; ch < channels; ++ch) lines << ChannelHeadroomText(ch);
  lines << QStringLiteral("The sine peak is what a full-scale sine can reach; the bound, what no")
        << QStringLiteral("input within full scale can exceed. 0 dB is full scale.");
  return lines.join('\n');
}

QString SliderHeadroomToolTip(int k) {
  const int channels = BankChannels();
  if (channels == 0) return {};
  if (k == MasterSlider) {
    const QString line = HeadroomLine();
    const HeadroomNeed need = BankHeadroomNeed();
    return need.Channel >= 0 ? line + QStringLiteral(" (") + OutputChannelName(need.Channel) + ")" : line;
  }
  const int first = k == 0 ? 0 : k + 1;
  const int last = k == 0 ? 1 : k + 1;
  QStringList lines;
  for (int ch = first; ch <= last && ch < channels; ++ch) lines << ChannelHeadroomText(ch);
  return lines.isEmpty() ? QStringLiteral("Not in the loaded bank") : lines.join('\n');
}

}  // namespace tessival
