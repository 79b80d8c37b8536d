// The frame copy: the current decoded frame converted into the caller's
// pixel buffer, with the playback clock's skip decision when sound plays.
#pragma once
#include <cstdint>

struct MovieRecord;
typedef MovieRecord *HVOSH;

// CopyFlags: the bits above the surface type (low four bits).
constexpr uint32_t COPY_SURFACE_TYPE_MASK = 0xF;
constexpr uint32_t COPY_SWAP_LUMA_ALPHA = 0x800;
constexpr uint32_t COPY_GREY = 0x20000;
constexpr uint32_t COPY_NEVER_SKIP = 0x80000;

// Copies the rectangle (src_x, src_y, src_w, src_h) of the current frame to
// dest at (dest_x, dest_y). pitch is the byte distance between rows; a
// negative pitch means a bottom-up buffer of dest_height rows starting at
// dest. Returns 1 when the frame is late (skipped and not drawn, or drawn
// although late), else 0.
uint32_t CopyFrameRectToPixels(HVOSH movie, void *dest, int32_t pitch, uint32_t dest_height,
                               uint32_t dest_x, uint32_t dest_y, uint32_t src_x, uint32_t src_y,
                               uint32_t src_w, uint32_t src_h, uint32_t flags);
// The whole picture.
uint32_t VoshCopyFrameToPixels(HVOSH movie, void *dest, int32_t pitch, uint32_t dest_height,
                               uint32_t dest_x, uint32_t dest_y, uint32_t flags);
