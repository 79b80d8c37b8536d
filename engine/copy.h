// The frame copy: the current decoded frame converted into the caller's
// pixel buffer, with the playback clock's skip decision when sound plays.
#pragma once
#include <cstdint>

#include "vosh.h"  // VoshCopyFrameToPixels, the surface types and CopyFlags

// VoshCopyFrameToPixels for the rectangle (src_x, src_y, src_w, src_h) of the
// current frame.
uint32_t CopyFrameRectToPixels(HVOSH movie, void *dest, int32_t pitch, uint32_t dest_height,
                               uint32_t dest_x, uint32_t dest_y, uint32_t src_x, uint32_t src_y,
                               uint32_t src_w, uint32_t src_h, uint32_t flags);
