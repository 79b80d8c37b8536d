// Second-generation frame layout: the slice split of a movie, the claiming of
// slice runs by worker threads, the dispatch of a run and the smoothing of
// the seams between runs after a frame.
#include "video/gen2/slices.h"

#include <cstring>
#include <mutex>

#include "engine/platform/atomics.h"
#include "engine/platform/cpu.h"
#include "video/gen2/loopfilter.h"
#include "video/gen2/mc.h"
#include "video/gen2/parse_only.h"
#include "video/gen2/slice_decoder.h"

std::atomic<McKernel> ACTIVE_HALFPEL_KERNELS[4] = {
    {McHpel16x16Copy}, {McHpel16x16Vert}, {McHpel16x16Horz}, {McHpel16x16Both}};

static const uint32_t SLICE_COUNT_TABLE[4] = {2, 3, 4, 8};

static bool IsVs2Signature(uint32_t signature) {
  return (signature & 0xFFFFFF) == (uint32_t('V') | uint32_t('S') << 8 | uint32_t('2') << 16);
}

void ComputeSliceLayout(uint32_t signature, uint32_t flags, uint32_t width, uint32_t height,
                        SliceLayout *layout) {
  if (!layout) return;
  // Computed in 64 bits: a height near 2^32 must not wrap into a small layout.
  const uint64_t w = width, h = height;
  const uint64_t rounded = (h + 31) & ~uint64_t(31);
  const uint32_t revision = signature >> 24;
  if (!IsVs2Signature(signature)) {
    layout->slice_count = 2;
    layout->seam_stride = 0;
    return;
  }
  layout->seam_stride = uint32_t(((w + 31) >> 5) * 4 + 4);
  if (revision == 'f') {
    layout->slice_count = 2;
    layout->end_row[0] = uint32_t(((h + 32) >> 1) & ~uint64_t(31));
    if (layout->end_row[0] != h) layout->end_row[1] = uint32_t(h);
    return;
  }
  if (rounded < 128) {
    layout->slice_count = 1;
    layout->end_row[0] = uint32_t(rounded);
    return;
  }
  if (revision == 'g') {
    layout->slice_count = 2;
    layout->end_row[0] = uint32_t(((h + 31) >> 1) & ~uint64_t(31));
    layout->end_row[1] = uint32_t(rounded);
    return;
  }
  // Revisions h to n (every other second-generation revision).
  const uint32_t n = SLICE_COUNT_TABLE[flags & 3];
  uint64_t total = 0, g = rounded + 32 * n - 1;
  for (uint32_t k = n; k >= 2; --k) {
    total += ((g - total) / k) & ~uint64_t(31);
    layout->end_row[n - k] = uint32_t(total);
    g -= 32;
  }
  layout->end_row[n - 1] = uint32_t(rounded);
  layout->slice_count = n;
}

void SelectHalfPelKernels() {
  const bool ssse3 = (GetCpuFeatures() & CPU_SSSE3) != 0;
  const McKernel *set = ssse3 ? MC_KERNEL_TABLE.hpel_ssse3 : MC_KERNEL_TABLE.hpel_sse2;
  for (int i = 0; i < 4; ++i) ACTIVE_HALFPEL_KERNELS[i].store(set[i], std::memory_order_relaxed);
}

uint32_t ClaimSliceRun(SliceLayout *layout, uint32_t multiplier, uint32_t divisor) {
  if (!layout || divisor == 0) return 0;
  uint32_t c = layout->slice_count;
  if (c > MAX_SLICES) c = MAX_SLICES;
  uint64_t per = (uint64_t(multiplier) * c + divisor - 1) / divisor;
  if (per == 0) per = 1;
  if (per > c) per = c ? c : 1;  // a larger claim takes the same slices
  const uint32_t first = AtomicAdd32(&layout->next_slice, uint32_t(per));
  if (first >= c) return 0;
  const uint32_t count = uint32_t(per) < c - first ? uint32_t(per) : c - first;
  return first | count << 4;
}

void ClearSeamFlags(const SliceLayout *layout, uint8_t *seam_records) {
  if (!layout || !seam_records || layout->slice_count <= 1) return;
  const uint32_t n = layout->slice_count < MAX_SLICES ? layout->slice_count : MAX_SLICES;
  // The whole record is cleared, code bytes included: the post-filter writes
  // each code at its column's place, so a byte it does not write this frame
  // must not keep a code from an earlier one.
  std::memset(seam_records, 0, uint64_t(n - 1) * layout->seam_stride);
}

int DecodeSliceRun(FrameBufferSet *buffers, const uint8_t *video, uint32_t alpha_flag,
                   uint32_t extra_flag, uint32_t key_flag, const uint8_t *video_end,
                   SliceLayout *layout, uint32_t run, uint8_t *seam_records,
                   ParseTarget *parse_target) {
  UpdateCpuFeatures(0, 0);
  const uint32_t first = SliceRunFirst(run), count = SliceRunCount(run);
  if (parse_target)
    return ParseVideoSlice(parse_target, video, alpha_flag, HasAlphaPlane(buffers) ? 1 : 0,
                           extra_flag, key_flag, video_end, layout, first, count) != 0;
  if (!buffers) return 0;
  if (buffers->set_count == 1 && !key_flag) {
    // With a single buffer set an inter frame predicts from the set it
    // writes: runs of such a frame take turns so that none reads rows that
    // another is writing at the same moment.
    static std::mutex single_set_lock;
    std::lock_guard<std::mutex> hold(single_set_lock);
    return DecodeVideoSlice(buffers, video, alpha_flag, extra_flag, key_flag, video_end, layout,
                            first, count, seam_records) != 0;
  }
  return DecodeVideoSlice(buffers, video, alpha_flag, extra_flag, key_flag, video_end, layout,
                          first, count, seam_records) != 0;
}

// Prefetches the four rows an edge filter touches, 64 bytes from `row`.
static inline void PrefetchSeamRows(const uint8_t *row, int32_t stride) {
  for (int r = 0; r < 4; ++r) __builtin_prefetch(row + int64_t(r) * stride);
}

// Filters one seam row of a plane: `codes` holds one code byte per 16-pixel
// piece (for chroma every other byte).
static void FilterSeamRow(uint8_t *row, int32_t stride, const uint8_t *codes, uint32_t pieces,
                          uint32_t code_step) {
  const uint8_t *prefetched = row;
  PrefetchSeamRows(row, stride);
  for (uint32_t i = 0; i < pieces; ++i) {
    uint8_t *p = row + 16 * i;
    if (p + 16 > prefetched + 64) {
      prefetched += 64;
      PrefetchSeamRows(prefetched, stride);
    }
    const uint8_t code = codes[i * code_step];
    if (code) FilterHorizontalEdge16(p, stride, &EDGE_FILTER_MASKS[code & 15], &EDGE_FILTER_MASKS[code >> 4]);
  }
}

void SmoothSliceSeams(FrameBufferSet *buffers, const SliceLayout *layout, uint32_t alpha_flag,
                      uint32_t extra_flag, uint32_t key_flag, uint8_t *seam_records) {
  (void)alpha_flag;
  (void)extra_flag;
  (void)key_flag;
  if (!buffers || !layout || !seam_records || buffers->set_count == 0 || buffers->set_count > 3) return;
  const uint32_t set = (buffers->current_set + 1) % buffers->set_count;
  const PlaneBuffer *planes = buffers->sets[set];
  const int32_t luma_stride = int32_t(buffers->sets[0][PLANE_LUMA].stride);
  const int32_t chroma_stride = int32_t(buffers->sets[0][PLANE_CHROMA1].stride);
  const uint32_t capacity = SeamRecordCapacity(layout->seam_stride);
  // Columns the record covers, limited to the plane.
  uint32_t columns = buffers->luma_width / 32;
  if (columns > capacity / 4) columns = capacity / 4;
  const uint32_t n = layout->slice_count < MAX_SLICES ? layout->slice_count : MAX_SLICES;
  for (uint32_t k = 0; k + 1 < n; ++k) {
    SeamRecord *record = SeamRecordAt(seam_records, layout->seam_stride, k);
    if (record->has_codes == 0) continue;
    uint8_t *codes = SeamRecordCodes(record);
    // Only edges whose four rows lie inside the plane are filtered: the seam
    // of a slice that starts at the plane's last 16-row band has none.
    const uint64_t luma_row = uint64_t(layout->end_row[k]) + 14;
    const uint64_t chroma_row = uint64_t(layout->end_row[k] / 2) + 6;
    uint8_t *luma = planes[PLANE_LUMA].pixels;
    if (luma && luma_row + 4 <= buffers->luma_height)
      FilterSeamRow(luma + luma_row * uint64_t(luma_stride), luma_stride, codes, 2 * columns, 1);
    uint8_t *c1 = planes[PLANE_CHROMA1].pixels, *c2 = planes[PLANE_CHROMA2].pixels;
    if (c1 && c2 && chroma_row + 4 <= buffers->chroma_height) {
      const uint8_t *chroma_codes = codes + 2 * (capacity / 4);
      FilterSeamRow(c1 + chroma_row * uint64_t(chroma_stride), chroma_stride, chroma_codes, columns, 2);
      FilterSeamRow(c2 + chroma_row * uint64_t(chroma_stride), chroma_stride, chroma_codes + 1, columns, 2);
    }
    // Applied: the record is empty again.
    std::memset(record, 0, layout->seam_stride);
  }
}
