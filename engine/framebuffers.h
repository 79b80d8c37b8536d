// The ring of decoded frames: one or two sets of planes.
#pragma once
#include <cstdint>

struct PlaneBuffer {
  uint8_t *pixels;   // first byte of the plane, null when the plane has no memory
  uint32_t present;  // 1 when the plane exists
  uint32_t stride;   // bytes from one row to the next
};

enum : uint32_t {
  PLANE_LUMA = 0,
  PLANE_CHROMA1 = 1,
  PLANE_CHROMA2 = 2,
  PLANE_ALPHA = 3,
  PLANE_EXTRA = 4,
  PLANES_PER_SET = 5,
};

struct FrameBufferSet {
  uint32_t set_count;      // buffer sets in use: 1 or 2
  uint32_t luma_width;     // width of the luma, alpha and extra planes
  uint32_t luma_height;
  uint32_t chroma_width;
  uint32_t chroma_height;
  uint32_t current_set;    // set holding the last finished frame
  PlaneBuffer sets[3][PLANES_PER_SET];
};

struct MovieRecord;

// Fills the ring's geometry for the movie (set_count, plane sizes, present
// flags); copies the plane entries of an existing description instead.
void ComputeFrameBufferSet(const MovieRecord *movie, FrameBufferSet *set);
// Allocates every present plane of every set in use in one zeroed block
// (movie->frame_buffer_block) whose head holds room for the description.
// 0 when the movie already has frame buffers or the block cannot be made.
int AllocateFrameBuffers(MovieRecord *movie, FrameBufferSet *set, uint32_t alignment);
