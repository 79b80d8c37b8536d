// The player program's pieces shared between its source files.
#pragma once
#include <cstdint>

#include "vosh.h"

// Searches the file at path for a movie embedded in it. On success returns
// the open descriptor positioned at the movie's first byte; otherwise closes
// what it opened and returns -1.
int FindEmbeddedMovie(const char *path);

// The -q line (without a newline) and the -s summary on standard output.
void PrintStatisticsLine(const RecentStats *stats);
void PrintPlaybackSummary(const char *path, const PlaybackSummary *summary, uint32_t window_w,
                          uint32_t window_h);
