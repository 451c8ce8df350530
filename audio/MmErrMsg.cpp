#include "audio/MmErrMsg.h"

namespace tessival {

namespace {

struct CodeText {
  uint16_t Code;
  const char* Text;
};

// Grouped as the platform numbers them: general, wave, MIDI, timer, joystick, file I/O.
constexpr CodeText ErrorTexts[] = {
    {0, "no error"},
    {1, "unspecified error"},
    {2, "device ID out of range"},
    {3, "driver failed enable"},
    {4, "device already allocated"},
    {5, "device handle is invalid"},
    {6, "no device driver present"},
    {7, "memory allocation error"},
    {8, "function isn't supported"},
    {9, "error value out of range"},
    {10, "invalid flag passed"},
    {11, "invalid parameter passed"},
    {32, "unsupported wave format"},
    {33, "still something playing"},
    {34, "header not prepared"},
    {35, "device is synchronous"},
    {64, "header not prepared"},
    {65, "still something playing"},
    {66, "no current map"},
    {67, "hardware is still busy"},
    {68, "port no longer connected"},
    {69, "invalid setup"},
    {97, "request not completed"},
    {129, "time struct size"},
    {165, "bad parameters"},
    {166, "request not completed"},
    {167, "joystick is unplugged"},
    {257, "file not found"},
    {258, "out of memory"},
    {259, "cannot open"},
    {260, "cannot close"},
    {261, "cannot read"},
    {262, "cannot write"},
    {263, "cannot seek"},
    {264, "cannot expand file"},
    {265, "chunk not found"},
    {266, "file is unbuffered"},
};

constexpr const char* UnknownCodeText = "invalid parameter passed to error translation routine!";

}  // namespace

const char* MMErrorText(uint32_t code) {
  const auto key = static_cast<uint16_t>(code);
  for (const CodeText& entry : ErrorTexts) {
    if (entry.Code == key) return entry.Text;
  }
  return UnknownCodeText;
}

}  // namespace tessival
