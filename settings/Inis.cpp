#include "settings/Inis.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QVariant>
#include <algorithm>

#include "settings/Settings.h"

namespace tessival {

namespace {

const QString SectionName = QStringLiteral("Options");

// The stored text of one value as an integer: the default when the value is missing
// or is not a decimal integer; an error when it is not a single text (a list, say).
int32_t ReadInteger(const QSettings& store, const StoredSetting& setting) {
  const QVariant stored = store.value(QString::fromLatin1(setting.Name));
  if (!stored.isValid()) return setting.Default;
  if (stored.typeId() != QMetaType::QString)
    throw SettingsStoreError(std::string("Invalid data type for '") + setting.Name + "'");
  bool ok = false;
  const int value = stored.toString().toInt(&ok, 10);
  return ok ? value : setting.Default;
}

// A stored text; an unquoted one with commas reads as a list, which the commas rejoin.
std::string ReadText(const QSettings& store, const StoredText& text) {
  const QVariant stored = store.value(QString::fromLatin1(text.Name));
  if (stored.typeId() == QMetaType::QStringList) return stored.toStringList().join(',').toStdString();
  return stored.toString().toStdString();
}

// Why the store's file cannot be replaced, as far as can be told from outside.
std::string WriteProblem(const QFileInfo& file) {
  if (file.isDir()) return " (a folder stands in its place)";
  if (!QFileInfo(file.absolutePath()).isWritable()) return " (its folder is read-only)";
  if (file.exists() && !file.isWritable()) return " (the file is read-only)";
  return "";
}

}  // namespace

std::string SettingsFilePath() {
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return (base + QStringLiteral("/Software/Tessival.ini")).toStdString();
}

void LoadSettings() {
  SetDefaultSettings();
  // An explicit path rather than QSettings' organisation/application form: that one
  // fixes its folder at first use, and the folder must follow XDG_CONFIG_HOME.
  QSettings store(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  store.beginGroup(SectionName);
  for (const StoredSetting& setting : StoredSettings) {
    const int32_t value = ReadInteger(store, setting);
    if (setting.Flag) {
      *setting.Flag = value != 0;
      continue;
    }
    *setting.Variable = std::clamp(value, setting.Min, setting.Max);
    // An index off the table (-1 after a bank at another rate) leaves the default
    // rate; loading a bank sets the rate again before anything is opened.
    if (setting.Variable == &SampleRateIndex && value >= 0 && value < NumSampleRates)
      SampleRate = SampleRates[value];
  }
  for (const StoredText& text : StoredTexts) *text.Variable = ReadText(store, text);
}

void SaveSettings() {
  const QString path = QString::fromStdString(SettingsFilePath());
  const QFileInfo info(path);
  const bool existed = info.exists();
  if (!QDir().mkpath(info.absolutePath()))
    throw SettingsStoreError("Failed to create key " + SectionName.toStdString());

  QSettings store(path, QSettings::IniFormat);
  // Written to a temporary file in the same folder, then renamed over the old one;
  // never written in place, so a failure cannot leave half a file.
  store.setAtomicSyncRequired(true);
  store.beginGroup(SectionName);
  for (const StoredSetting& setting : StoredSettings) {
    const int32_t value = setting.Flag ? (*setting.Flag ? 1 : 0) : *setting.Variable;
    store.setValue(QString::fromLatin1(setting.Name), QString::number(value));
  }
  for (const StoredText& text : StoredTexts)
    store.setValue(QString::fromLatin1(text.Name), QString::fromStdString(*text.Variable));
  store.endGroup();
  store.sync();
  // FormatError only says the old file could not be parsed; the new one was written.
  // The file is written whole or not at all, so the failure is the file's, not one
  // value's: name the file.
  if (store.status() == QSettings::AccessError) {
    if (!existed) throw SettingsStoreError("Failed to create key " + SectionName.toStdString());
    throw SettingsStoreError("Failed to set data: the settings file " + path.toStdString() +
                             " could not be written" + WriteProblem(QFileInfo(path)));
  }
}

}  // namespace tessival
