// Statistics of a playback: over the most recent frames (the player's
// run-time line) and over the whole playback so far (its summary). The
// records RecentStats and PlaybackSummary and the calls that fill them,
// VoshFillRecentStats and VoshFillPlaybackSummary, are declared in vosh.h.
#pragma once
#include "vosh.h"
