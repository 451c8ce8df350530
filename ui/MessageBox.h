#pragma once
// The one way a message reaches the user: a modal box with a single OK button.
// Device failures carry a warning icon; WAV, bank and store problems are plain.
#include <functional>
#include <string>

#include "engine/Report.h"

namespace tessival {

// While set, messages go here instead of a box (tests capture them this way).
extern std::function<void(MessageKind, const std::string&)> MessageBoxCapture;

// Shows `text` ("\r\n" breaks lines) over the active window and waits for OK. The
// event loop keeps running meanwhile, so device notifications are still handled.
void ShowMessageBox(MessageKind kind, const std::string& text);

}  // namespace tessival
