// Prints the built-in movie's still picture as the video bytes of its one
// frame, ready to paste into engine/builtin_movie.cpp.
#include <cstdio>

#include "moviewriter/gen1_writer.h"

int main() {
  const std::vector<uint8_t> video = EncodeBuiltInStill();
  const size_t room = 14848 - 52;
  if (video.size() > room) {
    std::fprintf(stderr, "the picture takes %zu bytes, the frame holds %zu\n", video.size(), room);
    return 1;
  }
  std::printf("// %zu bytes of video data; the frame's other %zu bytes are zero.\n", video.size(),
              room - video.size());
  for (size_t i = 0; i < video.size(); ++i)
    std::printf("%s0x%02X,%s", i % 12 == 0 ? "    " : "", video[i], (i % 12 == 11 || i + 1 == video.size()) ? "\n" : " ");
  return 0;
}
