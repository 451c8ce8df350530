#include "engine/Report.h"

#include <cstdio>

namespace tessival {

namespace {

void PrintMessage(MessageKind, const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

void IgnoreStatus(const std::string&) {}

}  // namespace

UiHooks Ui{PrintMessage, IgnoreStatus};

void ShowMessage(MessageKind kind, const std::string& text) {
  if (Ui.ShowMessage) Ui.ShowMessage(kind, text);
}

void SetStatusText(const std::string& text) {
  if (Ui.SetStatusText) Ui.SetStatusText(text);
}

void ResetUiHooks() { Ui = UiHooks{PrintMessage, IgnoreStatus}; }

}  // namespace tessival
