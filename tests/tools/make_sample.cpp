// Writes a short second-generation sample movie of flat colours: 320 x 240
// at 30 frames per second, two seconds, the colour changing every half
// second (red, green, blue, grey).
#include <cstdio>

#include "player/flat_movie.h"

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <output file>\n", argv[0]);
    return 1;
  }
  const FlatColour colours[4] = {{81, 240, 90}, {145, 34, 54}, {41, 110, 240}, {128, 128, 128}};
  std::vector<FlatColour> frames;
  for (uint32_t n = 0; n < 60; ++n) frames.push_back(colours[(n / 15) % 4]);
  const ContainerSpec desc = FlatMovieSpec(320, 240, 30, 1, frames);
  if (!WriteContainerFile(desc, argv[1])) {
    fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
