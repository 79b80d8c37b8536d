// The frame copy: clips the source rectangle to the picture, takes the
// playback clock's skip decision when sound is playing, and converts the
// current buffer set into the caller's pixels.
#include "engine/copy.h"

#include "engine/framebuffers.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "video/convert/convert.h"

uint32_t CopyFrameRectToPixels(HVOSH m, void *dest, int32_t pitch, uint32_t dest_height,
                               uint32_t dest_x, uint32_t dest_y, uint32_t src_x, uint32_t src_y,
                               uint32_t src_w, uint32_t src_h, uint32_t flags) {
  if (!m || !dest) return 0;
  FrameBufferSet *fb = m->frame_buffers;
  const uint32_t movie_flags = m->movie_flags.load(std::memory_order_acquire);
  if (!fb || (movie_flags & VIDEO_FLAG_EXTRA_PLANE)) return 0;

  // Clip to the picture. The comparisons are written so that no sum can wrap.
  const uint32_t width = m->width, height = m->height;
  if (src_x > width) src_x = width;
  if (src_y > height) src_y = height;
  const uint32_t w = src_w > width - src_x ? width - src_x : src_w;
  uint32_t h = src_h > height - src_y ? height - src_y : src_h;
  if (w == 0 || h == 0) return m->skip_state == SKIP_SKIP ? 1 : 0;
  if (m->skip_state == SKIP_SKIP) return 1;

  if (m->draw_start == 0xFFFFFFFFu) m->draw_start = VoshGetMilliseconds();
  m->reader.engine_busy.store(1, std::memory_order_release);

  uint32_t f = flags | (movie_flags & (COPY_SWAP_LUMA_ALPHA | COPY_GREY));
  const int has_alpha = fb->sets[0][PLANE_ALPHA].pixels != nullptr;
  if (!has_alpha) f &= ~COPY_SWAP_LUMA_ALPHA;
  uint32_t options = 0;
  if (f & COPY_SWAP_LUMA_ALPHA) options |= CONVERT_SWAP_LUMA_ALPHA;
  if (has_alpha) options |= CONVERT_HAS_ALPHA;
  if (f & COPY_GREY) options |= CONVERT_GREY;
  PixelConversion conversion;
  SetUpPixelConversion(&conversion, m->color_matrix, f & COPY_SURFACE_TYPE_MASK, options);

  // A bottom-up buffer: logical row r lies (dest_height - 1 - r) rows above
  // dest. Rows past its height are not drawn, so nothing lands before dest.
  uint8_t *base = static_cast<uint8_t *>(dest);
  uint32_t row = dest_y;
  if (pitch < 0) {
    if (dest_y >= dest_height) {
      h = 0;
    } else {
      if (h > dest_height - dest_y) h = dest_height - dest_y;
      const intptr_t rows_up = static_cast<intptr_t>(dest_height - 1 - dest_y);
      base -= rows_up * static_cast<intptr_t>(pitch);
    }
    row = 0;
  }

  uint32_t late = 0;
  if (m->open_track_count.load(std::memory_order_acquire) > 0 && m->rate_num > 0 &&
      !m->paused.load(std::memory_order_acquire) && m->sound_on &&
      m->skip_state == SKIP_UNDECIDED) {
    if ((f & COPY_NEVER_SKIP) || (movie_flags & OPEN_NEVER_SKIP) ||
        m->current_frame >= m->frame_count) {
      late = DecideFrameSkip(m, 1) ? 1 : 0;
    } else if (DecideFrameSkip(m, 0)) {
      m->reader.engine_busy.store(0, std::memory_order_release);
      return 1;
    }
  }

  if (h > 0) {
    const uint32_t set = fb->current_set < 3 ? fb->current_set : 0;
    ConvertFrameRect(&conversion, base, dest_x, row, pitch, fb->sets[set], width, height, src_x,
                     src_y, w, h);
  }
  m->reader.engine_busy.store(0, std::memory_order_release);
  return late;
}

uint32_t VoshCopyFrameToPixels(HVOSH m, void *dest, int32_t pitch, uint32_t dest_height,
                               uint32_t dest_x, uint32_t dest_y, uint32_t flags) {
  if (!m) return 0;
  return CopyFrameRectToPixels(m, dest, pitch, dest_height, dest_x, dest_y, 0, 0, m->width,
                               m->height, flags);
}
