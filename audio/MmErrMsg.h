#pragma once
// The texts of device result codes, for the messages shown to the user.
#include <cstdint>

namespace tessival {

// The short English text of a multimedia result code. Only the low 16 bits count;
// an unknown code gives "invalid parameter passed to error translation routine!".
const char* MMErrorText(uint32_t code);

}  // namespace tessival
