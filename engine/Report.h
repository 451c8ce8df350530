#pragma once
// How the units below the UI reach the user: one message function and one status
// text function. The main window installs its own; by default they print to stderr,
// which is what the command-line tools want. Tests replace them to capture.
#include <functional>
#include <string>

namespace tessival {

enum class MessageKind {
  Plain,    // WAV and bank problems
  Warning,  // device failures
};

struct UiHooks {
  // A modal message box with a single OK button.
  std::function<void(MessageKind, const std::string&)> ShowMessage;
  // The text of status panel 0, repainted at once.
  std::function<void(const std::string&)> SetStatusText;
};

extern UiHooks Ui;  // installed by the main window, or by tests

void ShowMessage(MessageKind kind, const std::string& text);
void SetStatusText(const std::string& text);

// Back to the stderr defaults.
void ResetUiHooks();

}  // namespace tessival
