// Second-generation test movies of flat colours (and of 8x8 blocks of flat
// values) written with the test movie writer, and the RGB that a flat colour
// converts to with the default video-range matrix.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/container.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_frame_writer.h"
#include "video/gen2/slices.h"

// Luma and the two chroma samples of a flat picture; chroma 1 carries red,
// chroma 2 blue.
struct FlatColour {
  uint8_t y, c1, c2;
};

// Video data of one key frame of a picture (luma size w x h) held in the
// frame-buffer size the open gives a second-generation movie.
inline std::vector<uint8_t> Gen2KeyFrameOfPicture(uint32_t signature, uint32_t video_flags,
                                                  uint32_t w, uint32_t h,
                                                  const Gen2Picture &picture) {
  SliceLayout layout{};
  ComputeSliceLayout(signature, video_flags, w, h, &layout);
  const uint32_t fw = (w + 31) & ~31u, fh = (h + 15) & ~15u;
  Gen2FrameDesc d = MakeGen2Frame(fw, fh, true, layout.slice_count, layout.end_row, 0);
  EncodeFlatBlocks(picture, &d);
  return WriteGen2Frame(&d);
}

inline Gen2Picture FlatPicture(uint32_t w, uint32_t h, const FlatColour &c) {
  const uint32_t fw = (w + 31) & ~31u, fh = (h + 15) & ~15u;
  Gen2Picture p = MakeGen2Picture(fw, fh, false, false);
  p.planes[0].assign(p.planes[0].size(), c.y);
  p.planes[1].assign(p.planes[1].size(), c.c1);
  p.planes[2].assign(p.planes[2].size(), c.c2);
  return p;
}

// A movie of one flat key frame per colour.
inline ContainerSpec FlatMovieSpec(uint32_t w, uint32_t h, uint32_t rate_num, uint32_t rate_den,
                                   const std::vector<FlatColour> &frames) {
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", 'i');
  desc.width = w;
  desc.height = h;
  desc.rate_num = rate_num;
  desc.rate_den = rate_den;
  for (const FlatColour &c : frames) {
    WriterFrame f;
    f.bytes = Gen2KeyFrameOfPicture(desc.signature, 0, w, h, FlatPicture(w, h, c));
    f.key = true;
    desc.frames.push_back(f);
  }
  return desc;
}

// A movie whose frames hold 8x8 blocks of different flat values, so that
// every region of the picture is recognisable.
inline ContainerSpec BlockPatternMovieSpec(uint32_t w, uint32_t h, uint32_t frame_count) {
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", 'i');
  desc.width = w;
  desc.height = h;
  const uint32_t fw = (w + 31) & ~31u, fh = (h + 15) & ~15u;
  for (uint32_t n = 0; n < frame_count; ++n) {
    Gen2Picture p = MakeGen2Picture(fw, fh, false, false);
    for (uint32_t plane = 0; plane < 3; ++plane) {
      const uint32_t pw = Gen2PlaneWidth(p, plane), ph = Gen2PlaneHeight(p, plane);
      for (uint32_t y = 0; y < ph; ++y)
        for (uint32_t x = 0; x < pw; ++x)
          p.planes[plane][uint64_t(y) * pw + x] =
              uint8_t(40 + ((x / 8) * 37 + (y / 8) * 59 + plane * 71 + n * 13) % 170);
    }
    WriterFrame f;
    f.bytes = Gen2KeyFrameOfPicture(desc.signature, 0, w, h, p);
    desc.frames.push_back(f);
  }
  return desc;
}

// R, G, B of a flat colour through the video-range matrix.
inline void ExpectedRgb(const FlatColour &c, int rgb[3]) {
  const double y = c.y / 255.0, a = c.c1 / 255.0, b = c.c2 / 255.0;
  const double r = 1.1641235 * y + 1.5957947 * a - 0.8740694;
  const double g = 1.1641235 * y - 0.8134766 * a - 0.391449 * b + 0.5317823;
  const double bl = 1.1641235 * y + 2.0178223 * b - 1.0859107;
  const double v[3] = {r, g, bl};
  for (int i = 0; i < 3; ++i) {
    const double s = std::floor(v[i] * 255.0 + 0.5);
    rgb[i] = s < 0 ? 0 : (s > 255 ? 255 : int(s));
  }
}
