#pragma once
// The driver of a desktop, the program's default: ALSA's devices, then the JACK driver's
// entries ("JACK: in 1-2", "JACK: out 1-2" ...) while a JACK server answers. Ids index
// the latest lists; an open goes to the driver of its entry, which takes the handle
// over (handle->Driver and handle->DeviceId become that driver's).
#include <memory>

#include "audio/WaveDriver.h"

namespace tessival {

std::unique_ptr<WaveDriver> MakeDesktopDriver(std::unique_ptr<WaveDriver> alsa, std::unique_ptr<WaveDriver> jack);

}  // namespace tessival
