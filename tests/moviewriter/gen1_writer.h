// Test movie writer: a first-generation encoder.  Encodes planes into the
// bundle-based bitstream (code trees with permutations, block types, colours,
// patterns, motion offsets, DC values, runs, transform coefficients and
// residues) and assembles a frame's video data with its length words.
// Every encoded plane comes with the reconstruction the decoder must make.
#pragma once
#include <cstdint>
#include <vector>

struct Gen1PlaneOptions {
  // Block types the encoder may choose (bit 1 << type); it takes the first
  // that fits in this order: skip, fill, pattern, motion, run, scaled,
  // then the lossy kinds intra, inter, residue when lossy is set, then raw.
  uint32_t allowed = 0x3FF;
  bool lossy = false;
  // Per block (row-major over 8x8 blocks): a type to force, or 0xFF.
  std::vector<uint8_t> forced;
  uint32_t intra_level = 0;    // transform level of intra blocks
  uint32_t inter_level = 3;    // and of inter blocks
  int motion_range = 3;        // search range of motion blocks
  int tree = -1;               // force this code tree for every bundle (-1: best)
  bool explicit_lists = false; // permutations as explicit lists, not merges
  bool signed_colors = false;  // revisions f, g, h
  bool revision_k = false;     // fill-flag bit, counts of type bundles XOR 0xBB
  bool alpha_plane = false;
  int alpha_fill = -1;         // revision k alpha plane: fill value, or -1
};

struct Gen1PlaneResult {
  std::vector<uint8_t> bytes;   // whole 32-bit words
  std::vector<uint8_t> recon;   // width x height, stride width
  uint32_t skips = 0;
  uint32_t type_counts[10] = {};
};

// Encodes source (width x height, multiples of 8, rows `stride` apart)
// predicting from reference (same geometry; null for none: the encoder then
// never uses skip, motion, inter or residue blocks).
Gen1PlaneResult EncodeGen1Plane(const uint8_t *source, const uint8_t *reference, uint32_t width,
                                uint32_t height, uint32_t stride, const Gen1PlaneOptions &options);

// Video data of a frame from its encoded planes: [alpha length word, alpha]
// [luma length word unless no_length_words] luma, chroma 1, chroma 2.
std::vector<uint8_t> AssembleGen1Video(const std::vector<uint8_t> *alpha, const std::vector<uint8_t> &luma,
                                       const std::vector<uint8_t> &chroma1,
                                       const std::vector<uint8_t> &chroma2, bool no_length_words);

// A small first-generation movie (72 x 56): a checkerboard with noisy
// patches that drifts from frame to frame, every plane encoded lossily
// against the encoder's reconstruction of the frame before. A key frame
// every key_every frames (0: the first only); with vary_intra_level the
// intra blocks' transform level cycles 0, 1, 2 over the frames.
constexpr uint32_t GEN1_DRIFT_WIDTH = 72, GEN1_DRIFT_HEIGHT = 56;
extern const uint32_t GEN1_DRIFT_PLANE_WIDTH[4], GEN1_DRIFT_PLANE_HEIGHT[4];  // luma, chroma, chroma, alpha
struct Gen1DriftMovie {
  std::vector<uint8_t> bytes;                         // the container
  std::vector<std::vector<std::vector<uint8_t>>> recon;  // per frame, its packed planes
};
Gen1DriftMovie WriteGen1DriftMovie(char revision, bool alpha, uint32_t frames, uint32_t key_every,
                                   bool vary_intra_level);

// PSNR of two planes (both stride width); 99 when equal.
double Gen1Psnr(const uint8_t *a, const uint8_t *b, uint32_t width, uint32_t height, uint32_t a_stride,
                uint32_t b_stride);

// The built-in movie's still picture (224 x 252, planes of the first
// generation's geometry: luma 224 x 256, chroma 112 x 128, packed): colour
// bars over a grey ramp and a row of flat patches.
void BuiltInStillPicture(std::vector<uint8_t> *luma, std::vector<uint8_t> *chroma1,
                         std::vector<uint8_t> *chroma2);
// Its video data as the encoder writes it.
std::vector<uint8_t> EncodeBuiltInStill();
