// Library utilities: the last-error text, the pending frame-rate override,
// the millisecond clock and the built-in movie image.
#pragma once
#include <cstdint>
#include <ctime>

// Copies text (at most 254 characters) into the error buffer; null gives
// "Vosh Error".
void SetErrorText(const char *text);
// The error buffer, never null.
const char *VoshGetErrorText();
// Empties the error buffer.
void ClearErrorText();

// Stores the frame rate that the next open uses (with open flag 0x1000).
void VoshOverrideFrameRate(uint32_t num, uint32_t den);
// A numerator of 0xFFFFFFFF means no override is pending.
void GetPendingFrameRate(uint32_t *num, uint32_t *den);
// Numerator back to all ones; the denominator is left.
void ResetPendingFrameRate();

// Milliseconds of the monotonic clock, rounded to nearest, wrapping at 2^32.
uint32_t VoshGetMilliseconds();
typedef uint32_t (*MillisecondSource)();
// Replaces the clock behind VoshGetMilliseconds; null restores the monotonic
// clock.
void SetMillisecondSource(MillisecondSource fn);
// seconds x 1000 + (nanoseconds + 500000) / 1000000 in 32-bit arithmetic.
uint32_t MillisecondsFromTimespec(const struct timespec *ts);

// The built-in one-frame movie image, opened with open flag 0x4000000.
const uint8_t *VoshGetBuiltInMovie();
uint32_t GetBuiltInMovieSize();
