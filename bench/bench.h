// Shared pieces of the benchmark program: the subcommand table and timing.
#pragma once
#include <cstdint>
#include <vector>

// One subcommand: name, one-line description, entry (argc/argv after the
// name), and whether it takes the options that `all` hands on (--ms).
typedef int (*BenchCommandEntry)(int argc, char **argv);
struct BenchCommand {
  const char *name;
  const char *summary;
  BenchCommandEntry run;
  int takes_options;
};

// Monotonic clock in nanoseconds.
uint64_t BenchNowNs();

// Calls fn(ctx, i) repeatedly; returns the best nanoseconds per call over a
// few timed rounds of at least min_ms milliseconds each.
typedef void (*BenchBody)(void *ctx, uint32_t i);
double BenchNsPerCall(BenchBody fn, void *ctx, uint32_t min_ms);

// The value of the option --ms, or fallback when it is not given.
uint32_t BenchMinMs(int argc, char **argv, uint32_t fallback);
// Starts workers 0 to 7 where not yet started; 0 (and a message) on failure.
int BenchStartWorkers();

// Subcommands (one entry per file).
int RunKernelBench(int argc, char **argv);
int RunFrameBench(int argc, char **argv);
int RunMovieBench(int argc, char **argv);
int RunHandoffBench(int argc, char **argv);
int RunChecksumBench(int argc, char **argv);

// The movie bench's second-generation movie of eight slices at this size.
std::vector<uint8_t> WriteBenchMovie(uint32_t width, uint32_t height);
