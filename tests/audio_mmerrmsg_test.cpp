#include "audio/MmErrMsg.h"

#include <gtest/gtest.h>

#include <string>

namespace tessival {
namespace {

TEST(MMErrorText, GivesTheTextOfEveryKnownCode) {
  const struct {
    uint32_t Code;
    const char* Text;
  } expected[] = {
      {0, "no error"}, {1, "unspecified error"}, {2, "device ID out of range"},
      {3, "driver failed enable"}, {4, "device already allocated"}, {5, "device handle is invalid"},
      {6, "no device driver present"}, {7, "memory allocation error"},
      {8, "function isn't supported"}, {9, "error value out of range"},
      {10, "invalid flag passed"}, {11, "invalid parameter passed"},
      {32, "unsupported wave format"}, {33, "still something playing"},
      {34, "header not prepared"}, {35, "device is synchronous"},
      {64, "header not prepared"}, {65, "still something playing"}, {66, "no current map"},
      {67, "hardware is still busy"}, {68, "port no longer connected"}, {69, "invalid setup"},
      {97, "request not completed"}, {129, "time struct size"}, {165, "bad parameters"},
      {166, "request not completed"}, {167, "joystick is unplugged"}, {257, "file not found"},
      {258, "out of memory"}, {259, "cannot open"}, {260, "cannot close"}, {261, "cannot read"},
      {262, "cannot write"}, {263, "cannot seek"}, {264, "cannot expand file"},
      {265, "chunk not found"}, {266, "file is unbuffered"},
  };
  for (const auto& e : expected) {
    EXPECT_STREQ(MMErrorText(e.Code), e.Text) << "code " << e.Code;
  }
}

TEST(MMErrorText, UnknownCodesGiveTheFallbackAndOnlyTheLow16BitsCount) {
  const std::string fallback = "invalid parameter passed to error translation routine!";
  for (uint32_t code : {12u, 31u, 36u, 63u, 70u, 96u, 128u, 164u, 168u, 256u, 267u, 65535u}) {
    EXPECT_EQ(MMErrorText(code), fallback) << "code " << code;
  }
  EXPECT_STREQ(MMErrorText(65568), "unsupported wave format");  // 32 + 65536
  EXPECT_STREQ(MMErrorText(0xFFFF0000u), "no error");
  EXPECT_EQ(MMErrorText(0x10000u + 12), fallback);
  // A constant text, not a buffer the next call reuses: a text taken for a message box
  // stays as it was while other codes are looked up.
  const char* held = MMErrorText(34);
  MMErrorText(2);
  MMErrorText(0x10000u + 12);
  EXPECT_STREQ(held, "header not prepared");
}

}  // namespace
}  // namespace tessival
