// The built-in movie: one complete first-generation (revision i) image of
// one key frame, 224 x 252 at 10 frames per second, without sound, built
// at compile time into the library's constant data.
#include <cstdint>

#include "engine/utils.h"

namespace {

const uint32_t kImageSize = 14848;
const uint32_t kHeaderSize = 44;
const uint32_t kIndexSlots = 1;
const uint32_t kFrameStart = kHeaderSize + 4 * (kIndexSlots + 1);  // 52
const uint32_t kWidth = 224;
const uint32_t kHeight = 252;

// The frame's video data, placed at kFrameStart; the rest of the frame up
// to the end of the image is zero.
const uint8_t kStillPicture[] = {0};

struct BuiltInImage {
  alignas(32) uint8_t bytes[kImageSize];
};

constexpr void PutWord(BuiltInImage &image, uint32_t offset, uint32_t value) {
  image.bytes[offset + 0] = static_cast<uint8_t>(value);
  image.bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
  image.bytes[offset + 2] = static_cast<uint8_t>(value >> 16);
  image.bytes[offset + 3] = static_cast<uint8_t>(value >> 24);
}

constexpr BuiltInImage MakeBuiltInImage() {
  BuiltInImage image{};
  const uint32_t signature = 'V' | ('S' << 8) | ('H' << 16) | (static_cast<uint32_t>('i') << 24);
  PutWord(image, 0, signature);
  PutWord(image, 4, kImageSize - 8);               // file size less 8
  PutWord(image, 8, 1);                            // frame count
  PutWord(image, 12, kImageSize - kFrameStart);    // largest frame size
  PutWord(image, 16, kIndexSlots);                 // index slots
  PutWord(image, 20, kWidth);
  PutWord(image, 24, kHeight);
  PutWord(image, 28, 10);                          // frame rate 10/1
  PutWord(image, 32, 1);
  PutWord(image, 36, 0);                           // video flags
  PutWord(image, 40, 0);                           // sound tracks
  // Frame index: frame 1 (a key frame) and the end of the last frame.
  PutWord(image, kHeaderSize, kFrameStart | 1);
  PutWord(image, kHeaderSize + 4, kImageSize);
  for (uint32_t i = 0; i < sizeof(kStillPicture) && kFrameStart + i < kImageSize; ++i) {
    image.bytes[kFrameStart + i] = kStillPicture[i];
  }
  return image;
}

constexpr BuiltInImage kBuiltInMovie = MakeBuiltInImage();
static_assert(kFrameStart == 52, "frame data follows the header and a two-word index");

}  // namespace

const uint8_t *VoshGetBuiltInMovie() { return kBuiltInMovie.bytes; }

uint32_t GetBuiltInMovieSize() { return kImageSize; }
