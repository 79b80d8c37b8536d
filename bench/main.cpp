// vosh_bench: subcommand dispatch and the timing helpers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bench.h"
#include "engine/async.h"

static const BenchCommand kCommands[] = {
    {"kernels", "ns per call of every video kernel slot: scalar, SSE2, SSSE3", RunKernelBench, 1},
    {"frames", "second-generation frames per second on one worker, 1080p and 2160p", RunFrameBench, 1},
    {"movie", "whole movies played through the engine on 1 and 8 workers, and their memory", RunMovieBench, 1},
    {"handoff", "hand-off per frame between threads on 1 and 8 workers, small movies", RunHandoffBench, 1},
    {"checksums", "checksums of writer movies of every revision decoded on 1 and 8 workers", RunChecksumBench, 0},
};

uint64_t BenchNowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double BenchNsPerCall(BenchBody fn, void *ctx, uint32_t min_ms) {
  // Warm-up and calibration: find a batch that takes about a millisecond.
  uint32_t batch = 16;
  for (;;) {
    const uint64_t t0 = BenchNowNs();
    for (uint32_t i = 0; i < batch; ++i) fn(ctx, i);
    if (BenchNowNs() - t0 >= 1000000 || batch >= (1u << 28)) break;
    batch *= 2;
  }
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    uint64_t calls = 0;
    const uint64_t t0 = BenchNowNs();
    uint64_t elapsed = 0;
    do {
      for (uint32_t i = 0; i < batch; ++i) fn(ctx, i);
      calls += batch;
      elapsed = BenchNowNs() - t0;
    } while (elapsed < static_cast<uint64_t>(min_ms) * 1000000u);
    const double ns = static_cast<double>(elapsed) / static_cast<double>(calls);
    if (ns < best) best = ns;
  }
  return best;
}

uint32_t BenchMinMs(int argc, char **argv, uint32_t fallback) {
  for (int i = 0; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "--ms")) return static_cast<uint32_t>(std::atoi(argv[i + 1]));
  return fallback;
}

int BenchStartWorkers() {
  for (int n = 0; n < 8; ++n)
    if (!IsWorkerStarted(n) && !VoshStartWorkerThread(n)) {
      std::printf("worker %d: %s\n", n, VoshGetErrorText());
      return 0;
    }
  return 1;
}

static void Usage() {
  std::printf("usage: vosh_bench <command> [options]\n\ncommands:\n");
  for (const BenchCommand &c : kCommands) std::printf("  %-10s %s\n", c.name, c.summary);
  std::printf("  %-10s %s\n", "all", "every command above in turn");
}

int main(int argc, char **argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
    Usage();
    return argc < 2 ? 1 : 0;
  }
  if (!std::strcmp(argv[1], "all")) {
    int failed = 0;
    for (const BenchCommand &c : kCommands) {
      std::printf("== %s\n", c.name);
      // Options such as --ms go to the commands that take them.
      failed |= c.takes_options ? c.run(argc - 2, argv + 2) : c.run(0, argv + argc);
    }
    return failed;
  }
  for (const BenchCommand &c : kCommands)
    if (!std::strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
  std::printf("unknown command '%s'\n\n", argv[1]);
  Usage();
  return 1;
}
