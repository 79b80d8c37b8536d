// `vosh_bench kernels`: ns per call of every second-generation kernel slot,
// the scalar reference against the SSE2 and SSSE3 versions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench.h"
#include "engine/platform/cpu.h"
#include "video/gen2/mc.h"
#include "video/gen2/transform.h"

namespace {

constexpr int kPlaneStride = 512;
constexpr int kPlaneRows = 256;
constexpr uint32_t kPositions = 64;

struct BenchData {
  uint8_t *plane;          // kPlaneRows rows at kPlaneStride, random samples
  uint32_t offsets[kPositions];
  alignas(16) uint8_t dst[32 * 32];
  alignas(16) int16_t coeffs[8][256];
  alignas(16) int16_t residual[32 * 32];
  alignas(16) uint16_t words[16][12];
  alignas(16) uint16_t threshold[8];
  uint16_t residual_words[16][16];  // inter SubblockWords of every class
  int32_t sums[4];
};

BenchData *g_data;

struct McCtx {
  McKernel kernel;
};
void McBody(void *ctx, uint32_t i) {
  const McCtx *c = static_cast<const McCtx *>(ctx);
  c->kernel(g_data->plane + g_data->offsets[i % kPositions], g_data->dst, kPlaneStride, 32);
}

struct SmoothCtx {
  SmoothDcKernel kernel;
};
void SmoothBody(void *ctx, uint32_t i) {
  const SmoothCtx *c = static_cast<const SmoothCtx *>(ctx);
  const uint16_t *w = g_data->words[i & 15];
  c->kernel(w, w + 4, w + 8, g_data->threshold, g_data->dst, 32);
}

struct TransformCtx {
  InverseTransformKernel kernel;
  uint32_t classes;
};
void TransformBody(void *ctx, uint32_t i) {
  const TransformCtx *c = static_cast<const TransformCtx *>(ctx);
  c->kernel(g_data->residual, g_data->coeffs[i & 7], c->classes, 64);
}

struct BlockCtx {
  const BlockKernelTable *table;
  int which;  // 0 pack, 1 copy, 2 add residual, 3..5 averages, 6 residual smoothing
};
void BlockBody(void *ctx, uint32_t i) {
  const BlockCtx *c = static_cast<const BlockCtx *>(ctx);
  const uint8_t *src = g_data->plane + (g_data->offsets[i % kPositions] & ~15u);
  switch (c->which) {
    case 0: c->table->pack_rows(g_data->dst, 32, g_data->residual); break;
    case 1: c->table->copy_block(g_data->dst, 32, src, kPlaneStride); break;
    case 2: c->table->add_residual(g_data->dst, 32, g_data->residual, 64, src, kPlaneStride); break;
    case 3: c->table->average_strip32x8(g_data->sums, src, kPlaneStride); break;
    case 4: c->table->average_block16x8(g_data->sums, src, kPlaneStride); break;
    case 5: c->table->average_block8x8(g_data->sums, src, kPlaneStride); break;
    default:
      c->table->smooth_residual(g_data->residual, 32, 4, g_data->residual_words[i & 15],
                                RESIDUAL_EDGES_COLUMNS | RESIDUAL_EDGES_ROWS);
      break;
  }
}

uint32_t g_min_ms = 20;
const char *g_filter = nullptr;

bool Wanted(const char *name) { return !g_filter || std::strstr(name, g_filter); }

void PrintRow(const char *slot, const char *name, double scalar, double sse2, double ssse3) {
  char s3[32] = "      -", x3[32] = "      -";
  if (ssse3 > 0) {
    std::snprintf(s3, sizeof s3, "%8.1f", ssse3);
    std::snprintf(x3, sizeof x3, "%7.1fx", scalar / ssse3);
  }
  std::printf("%-6s %-24s %9.1f %8.1f %8s %7.1fx %8s\n", slot, name, scalar, sse2, s3, scalar / sse2, x3);
}

}  // namespace

int RunKernelBench(int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--ms") && i + 1 < argc) {
      g_min_ms = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--filter") && i + 1 < argc) {
      g_filter = argv[++i];
    } else {
      std::printf("usage: vosh_bench kernels [--ms N] [--filter SUBSTRING]\n");
      return 1;
    }
  }
  UpdateCpuFeatures(0, 0);
  const uint32_t features = GetCpuFeatures();
  const bool has_ssse3 = (features & CPU_SSSE3) != 0;

  g_data = static_cast<BenchData *>(std::aligned_alloc(64, sizeof(BenchData)));
  g_data->plane = static_cast<uint8_t *>(std::aligned_alloc(64, kPlaneStride * kPlaneRows));
  std::mt19937 rng(42);
  for (int i = 0; i < kPlaneStride * kPlaneRows; ++i) g_data->plane[i] = static_cast<uint8_t>(rng());
  for (uint32_t i = 0; i < kPositions; ++i)  // positions with room for the filter taps
    g_data->offsets[i] = (8 + rng() % (kPlaneRows - 48)) * kPlaneStride + 8 + rng() % (kPlaneStride - 48);
  for (auto &block : g_data->coeffs)
    for (int16_t &v : block) v = static_cast<int16_t>(static_cast<int>(rng() % 512) - 256);
  for (int16_t &v : g_data->residual) v = static_cast<int16_t>(static_cast<int>(rng() % 64) - 32);
  for (auto &w : g_data->words)
    for (uint16_t &v : w) v = static_cast<uint16_t>(0xE000 | (600 + rng() % 400));
  for (uint16_t &v : g_data->threshold) v = 400;
  for (auto &w : g_data->residual_words)
    for (uint16_t &v : w) v = static_cast<uint16_t>((rng() % 4) << 13 | rng() % 0x800);

  McKernelTable scalar, sse2;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&sse2, CPU_SSE2);
  BlockKernelTable block_scalar, block_sse2;
  FillBlockKernelTable(&block_scalar, 0);
  FillBlockKernelTable(&block_sse2, CPU_SSE2);

  std::printf("features 0x%08x, %u ms per timing round, best of 5\n", features, g_min_ms);
  std::printf("%-6s %-24s %9s %8s %8s %8s %8s\n", "slot", "kernel", "scalar", "SSE2", "SSSE3", "SSE2x", "SSSE3x");

  static const char *const kQpelNames[16] = {
      "McQpel8x8Dx0Dy0", "McQpel8x8Dx0Dy1", "McQpel8x8Dx0Dy2", "McQpel8x8Dx0Dy3", "McQpel8x8Dx1Dy0", "McQpel8x8Dx1Dy1",
      "McQpel8x8Dx1Dy2", "McQpel8x8Dx1Dy3", "McQpel8x8Dx2Dy0", "McQpel8x8Dx2Dy1", "McQpel8x8Dx2Dy2", "McQpel8x8Dx2Dy3",
      "McQpel8x8Dx3Dy0", "McQpel8x8Dx3Dy1", "McQpel8x8Dx3Dy2", "McQpel8x8Dx3Dy3"};
  char slot[16];
  for (int s = 0; s < 16; ++s) {
    if (!Wanted(kQpelNames[s])) continue;
    McCtx a{scalar.qpel[s]}, b{sse2.qpel[s]};
    std::snprintf(slot, sizeof slot, "%d", s);
    PrintRow(slot, kQpelNames[s], BenchNsPerCall(McBody, &a, g_min_ms), BenchNsPerCall(McBody, &b, g_min_ms), 0);
  }
  static const char *const kSmoothNames[4] = {"SmoothDcNone", "SmoothDcLeft", "SmoothDcRight", "SmoothDcBoth"};
  for (int s = 1; s < 4; ++s) {
    if (!Wanted(kSmoothNames[s])) continue;
    SmoothCtx a{scalar.smooth_dc[s]}, b{sse2.smooth_dc[s]};
    std::snprintf(slot, sizeof slot, "%d", 16 + s);
    PrintRow(slot, kSmoothNames[s], BenchNsPerCall(SmoothBody, &a, g_min_ms),
             BenchNsPerCall(SmoothBody, &b, g_min_ms), 0);
  }
  static const char *const kHpelNames[4] = {"McHpel16x16Copy", "McHpel16x16Vert", "McHpel16x16Horz",
                                            "McHpel16x16Both"};
  for (int s = 0; s < 4; ++s) {
    if (!Wanted(kHpelNames[s])) continue;
    McCtx a{scalar.hpel_sse2[s]}, b{MC_KERNEL_TABLE.hpel_sse2[s]}, c{MC_KERNEL_TABLE.hpel_ssse3[s]};
    std::snprintf(slot, sizeof slot, "%d/%d", 20 + s, 24 + s);
    PrintRow(slot, kHpelNames[s], BenchNsPerCall(McBody, &a, g_min_ms), BenchNsPerCall(McBody, &b, g_min_ms),
             has_ssse3 ? BenchNsPerCall(McBody, &c, g_min_ms) : 0);
  }
  struct TransformCase {
    const char *name;
    uint32_t classes;
  } transforms[] = {{"InverseTransform DC", 0}, {"InverseTransform 4x4", 0x05050505}, {"InverseTransform full", 0x3F3F3F3F}};
  for (const TransformCase &t : transforms) {
    if (!Wanted(t.name)) continue;
    TransformCtx a{block_scalar.inverse_transform, t.classes}, b{block_sse2.inverse_transform, t.classes};
    PrintRow("-", t.name, BenchNsPerCall(TransformBody, &a, g_min_ms), BenchNsPerCall(TransformBody, &b, g_min_ms), 0);
  }
  static const char *const kBlockNames[7] = {"PackRows16",       "CopyBlock16x16",   "AddResidual16x8",
                                             "AverageStrip32x8", "AverageBlock16x8", "AverageBlock8x8",
                                             "SmoothResidualEdges"};
  for (int k = 0; k < 7; ++k) {
    if (!Wanted(kBlockNames[k])) continue;
    BlockCtx a{&block_scalar, k}, b{&block_sse2, k};
    PrintRow("-", kBlockNames[k], BenchNsPerCall(BlockBody, &a, g_min_ms), BenchNsPerCall(BlockBody, &b, g_min_ms), 0);
  }
  std::free(g_data->plane);
  std::free(g_data);
  return 0;
}
