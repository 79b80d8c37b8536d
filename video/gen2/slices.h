// Second-generation frame layout: slices, slice runs, seam records and the
// dispatch of one run of slices to the decoder or to the parse-only pass.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/framebuffers.h"
#include "video/gen2/mc.h"

struct ParseTarget;

enum : uint32_t {
  MAX_SLICES = 8,
};

// Slice boundaries of one movie's frames and the claim counter of the
// current frame.  Computed at open; `next_slice` is reset for every frame.
struct SliceLayout {
  std::atomic<uint32_t> next_slice;  // claim counter, advanced by ClaimSliceRun
  uint32_t slice_count;              // 1..8 (2 for a first-generation movie)
  uint32_t seam_stride;              // bytes from one SeamRecord to the next
  uint32_t end_row[MAX_SLICES];      // slice k ends (exclusive) at end_row[k]
};

// One record per slice boundary, `seam_stride` bytes apart.  The code bytes
// follow the header: two per 32-pixel luma column (left 16, right 16), then
// two per 16-pixel chroma column (plane 1, plane 2).  `has_codes` counts the
// code bytes written during the frame.
struct SeamRecord {
  uint32_t has_codes;
};

inline uint8_t *SeamRecordCodes(SeamRecord *record) {
  return reinterpret_cast<uint8_t *>(record) + sizeof(SeamRecord);
}

// Record k (boundary end_row[k]) of an area of records `stride` bytes apart.
inline SeamRecord *SeamRecordAt(uint8_t *records, uint32_t stride, uint32_t k) {
  return records ? reinterpret_cast<SeamRecord *>(records + uint64_t(stride) * k) : nullptr;
}

// Number of code bytes a record of this stride can hold.
inline uint32_t SeamRecordCapacity(uint32_t seam_stride) {
  return seam_stride > sizeof(SeamRecord) ? seam_stride - uint32_t(sizeof(SeamRecord)) : 0;
}

// A run of consecutive slices in one byte: bits 0-3 first slice, bits 4-7
// count.  0 names no run.
typedef uint8_t SliceRun;

inline uint32_t SliceRunFirst(uint32_t run) { return run & 0xF; }
inline uint32_t SliceRunCount(uint32_t run) { return (run >> 4) & 0xF; }

// Frame flag word (word 0 of a frame's video data).
enum : uint32_t {
  FRAME_DC_THRESHOLD_MASK = 0xFF,
  FRAME_VALID = 0x2000,
  FRAME_NO_COLUMN_EDGES = 0x4000,
  FRAME_NO_ROW_EDGES = 0x8000,
  FRAME_EDGE_BITMAPS = 0x10000,
  FRAME_CLAMP_MODE = 0x20000,
  FRAME_WIDE_DC = 0x40000,
  FRAME_CONSTANT_ALPHA = 0x80000,
};

// Slice layout from the file's signature word, the movie flags (bits 0-1:
// slice-count index) and the header's width and height.  Leaves next_slice.
void ComputeSliceLayout(uint32_t signature, uint32_t flags, uint32_t width, uint32_t height,
                        SliceLayout *layout);

// The half-sample kernels luma motion compensation uses (copy, vertical,
// horizontal, both), process-wide; rewritten by every open with the same set.
extern std::atomic<McKernel> ACTIVE_HALFPEL_KERNELS[4];

// Chooses the half-sample kernel set for the processor (SSSE3 or SSE2).
void SelectHalfPelKernels();

// Claims the next run of slices: (multiplier * slice_count) / divisor rounded
// up, at least 1.  Returns the SliceRun byte, or 0 when every slice is taken
// or the divisor is 0.
uint32_t ClaimSliceRun(SliceLayout *layout, uint32_t multiplier, uint32_t divisor);

// Clears the has_codes word of every seam record before a frame.
void ClearSeamFlags(const SliceLayout *layout, uint8_t *seam_records);

// Decodes one run of slices of a second-generation frame into the buffer set
// after the current one (or parses it into the target when one is given).
// 1 when decoded, 0 when the frame was refused.
int DecodeSliceRun(FrameBufferSet *buffers, const uint8_t *video, uint32_t alpha_flag,
                   uint32_t extra_flag, uint32_t key_flag, const uint8_t *video_end,
                   SliceLayout *layout, uint32_t run, uint8_t *seam_records,
                   ParseTarget *parse_target);

// Applies the seam records left by the runs of the frame to the buffer set
// the frame wrote.
void SmoothSliceSeams(FrameBufferSet *buffers, const SliceLayout *layout, uint32_t alpha_flag,
                      uint32_t extra_flag, uint32_t key_flag, uint8_t *seam_records);
