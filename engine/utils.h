// Library utilities: the last-error text, the pending frame-rate override,
// the millisecond clock and the built-in movie image.
#pragma once
#include <cstdint>
#include <ctime>

#include "vosh.h"

// Copies text (at most 254 characters) into the error buffer; null gives
// "Vosh Error".
void SetErrorText(const char *text);
// Empties the error buffer.
void ClearErrorText();

// A numerator of 0xFFFFFFFF means no override is pending.
void GetPendingFrameRate(uint32_t *num, uint32_t *den);
// Numerator back to all ones; the denominator is left.
void ResetPendingFrameRate();

typedef uint32_t (*MillisecondSource)();
// Replaces the clock behind VoshGetMilliseconds; null restores the monotonic
// clock.
void SetMillisecondSource(MillisecondSource fn);
// seconds x 1000 + (nanoseconds + 500000) / 1000000 in 32-bit arithmetic.
uint32_t MillisecondsFromTimespec(const struct timespec *ts);

// Bytes of the built-in movie image (VoshGetBuiltInMovie).
uint32_t GetBuiltInMovieSize();
