// Error text, frame-rate override, millisecond clock and the built-in
// movie image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/utils.h"

namespace {

TEST(ErrorTextTest, CopiesAndCuts) {
  std::string long_text;
  for (int i = 0; i < 300; ++i) long_text += static_cast<char>('a' + i % 26);
  SetErrorText(long_text.c_str());
  EXPECT_EQ(std::string(VoshGetErrorText()), long_text.substr(0, 254));

  SetErrorText(long_text.substr(0, 254).c_str());
  EXPECT_EQ(std::string(VoshGetErrorText()), long_text.substr(0, 254));
  SetErrorText(long_text.substr(0, 255).c_str());
  EXPECT_EQ(std::string(VoshGetErrorText()), long_text.substr(0, 254));
  SetErrorText(long_text.substr(0, 253).c_str());
  EXPECT_EQ(std::string(VoshGetErrorText()), long_text.substr(0, 253));

  SetErrorText("Out of memory.");  // a shorter text after a long one ends at its own end
  EXPECT_STREQ(VoshGetErrorText(), "Out of memory.");
  SetErrorText(nullptr);
  EXPECT_STREQ(VoshGetErrorText(), "Vosh Error");
  SetErrorText("");
  EXPECT_STREQ(VoshGetErrorText(), "");
  SetErrorText("x");
  ClearErrorText();
  ASSERT_NE(VoshGetErrorText(), nullptr);
  EXPECT_STREQ(VoshGetErrorText(), "");
}

TEST(FrameRateOverrideTest, ResetKeepsTheDenominator) {
  uint32_t num = 0, den = 0;
  VoshOverrideFrameRate(30000, 1001);
  GetPendingFrameRate(&num, &den);
  EXPECT_EQ(num, 30000u);
  EXPECT_EQ(den, 1001u);
  ResetPendingFrameRate();
  GetPendingFrameRate(&num, &den);
  EXPECT_EQ(num, 0xFFFFFFFFu);
  EXPECT_EQ(den, 1001u);
  VoshOverrideFrameRate(0, 0);  // as fast as possible
  GetPendingFrameRate(&num, &den);
  EXPECT_EQ(num, 0u);
  EXPECT_EQ(den, 0u);
  ResetPendingFrameRate();
}

TEST(MillisecondClockTest, RoundsToNearestMillisecondAndWraps) {
  struct timespec ts = {1, 999500000};
  EXPECT_EQ(MillisecondsFromTimespec(&ts), 2000u);
  ts = {1, 999499999};
  EXPECT_EQ(MillisecondsFromTimespec(&ts), 1999u);
  ts = {0, 499999};
  EXPECT_EQ(MillisecondsFromTimespec(&ts), 0u);
  ts = {0, 500000};
  EXPECT_EQ(MillisecondsFromTimespec(&ts), 1u);
  ts = {4294967, 296000000};  // 2^32 ms: wraps to 0
  EXPECT_EQ(MillisecondsFromTimespec(&ts), 0u);
  ts = {4294967, 295000000};
  EXPECT_EQ(MillisecondsFromTimespec(&ts), 0xFFFFFFFFu);
}

uint32_t g_fake_now = 0;
uint32_t FakeMilliseconds() { return g_fake_now; }

TEST(MillisecondClockTest, SourceHookReplacesTheClock) {
  g_fake_now = 0xFFFFFFF0u;
  SetMillisecondSource(FakeMilliseconds);
  EXPECT_EQ(VoshGetMilliseconds(), 0xFFFFFFF0u);
  uint32_t before = VoshGetMilliseconds();
  g_fake_now += 0x20;  // across the wrap
  EXPECT_EQ(VoshGetMilliseconds() - before, 0x20u);
  SetMillisecondSource(nullptr);

  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint32_t reference = MillisecondsFromTimespec(&ts);
  uint32_t a = VoshGetMilliseconds();
  uint32_t b = VoshGetMilliseconds();
  EXPECT_LE(a - reference, 100u);
  EXPECT_LE(static_cast<int32_t>(b - a), 100);
  EXPECT_GE(static_cast<int32_t>(b - a), 0);
}

uint32_t Word(const uint8_t *p, uint32_t offset) {
  return p[offset] | (p[offset + 1] << 8) | (p[offset + 2] << 16) | (uint32_t(p[offset + 3]) << 24);
}

TEST(BuiltInMovieTest, IsAOneFrameFirstGenerationImage) {
  const uint8_t *m = VoshGetBuiltInMovie();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(VoshGetBuiltInMovie(), m);
  ASSERT_EQ(GetBuiltInMovieSize(), 14848u);
  EXPECT_EQ(memcmp(m, "VSHi", 4), 0);
  EXPECT_EQ(Word(m, 4), 14848u - 8);
  EXPECT_EQ(Word(m, 8), 1u);             // frames
  EXPECT_EQ(Word(m, 12), 14848u - 52);   // largest frame
  EXPECT_EQ(Word(m, 16), 1u);            // index slots
  EXPECT_EQ(Word(m, 20), 224u);
  EXPECT_EQ(Word(m, 24), 252u);
  EXPECT_EQ(Word(m, 28), 10u);
  EXPECT_EQ(Word(m, 32), 1u);
  EXPECT_EQ(Word(m, 36), 0u);            // video flags
  EXPECT_EQ(Word(m, 40), 0u);            // no sound tracks
  EXPECT_EQ(Word(m, 44), 52u | 1u);      // frame 1, a key frame
  EXPECT_EQ(Word(m, 48), 14848u);        // end of the last frame
}

}  // namespace
