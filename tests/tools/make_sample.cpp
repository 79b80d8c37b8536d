// Writes the sample movie: 320 x 240 at 30 frames per second, four seconds,
// with a stereo sound track.
//
// The picture is a brick wall that pans to the left by one and a half pixels
// per frame, with a shaded ball bouncing across it. Frame 1 is a key frame of
// intra blocks with AC coefficients; every other frame is an inter frame
// whose 16x16 quadrants follow the wall or the ball with half-sample motion
// vectors, with a coded residual wherever that prediction misses. Each inter
// frame is encoded against what the decoder made of the frame before it, so
// nothing drifts. The sound is a chord progression at 22050 Hz, one chord a
// second, its notes spread across the two channels, carried 0.75 s ahead of
// the pictures as the engine expects.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "moviewriter/audio_writer.h"
#include "player/flat_movie.h"

namespace {

const uint32_t kWidth = 320, kHeight = 240, kFrameRate = 30, kFrameCount = 120;
const uint32_t kVideoFlags = 2;    // slice-count index 2: four slices
const uint32_t kFrameFlags = 8;    // DC-smoothing threshold
const uint8_t kKeyQuantiser = 10, kInterQuantiser = 16;
const double kPan = 1.5;           // wall movement, pixels per frame (to the left)
const double kBallRadius = 26;
const uint32_t kSoundRate = 22050;

uint8_t Clamp8(double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); }

// Fraction of [a, a + size) (size below the period) that lies on a line of
// the given width at the start of every period.
double Cover(double a, double size, double width, double period) {
  const double start = a - std::floor(a / period) * period;
  const double first = std::fmin(start + size, width) - start;
  const double second = start + size - period;
  return ((first > 0 ? first : 0) + (second > 0 ? std::fmin(second, width) : 0)) / size;
}

// The wall at world position (X, Y) seen through a pixel of `size` luma
// pixels: luma, chroma 1 (red), chroma 2 (blue).
void Wall(double X, double Y, double size, double out[3]) {
  static const double kBricks[5][3] = {
      {96, 170, 104}, {120, 160, 92}, {84, 150, 118}, {132, 140, 84}, {104, 120, 150}};
  const double row = std::floor((Y + size / 2) / 20);
  const double shift = std::fmod(row, 2.0) != 0 ? 20 : 0;
  const double col = std::floor((X + size / 2 + shift) / 40);
  const uint32_t h = uint32_t(int32_t(col) * 73856093) ^ uint32_t(int32_t(row) * 19349663);
  const double *brick = kBricks[(h >> 7) % 5];
  // Grain inside the bricks, and mortar lines two pixels wide.
  const double grain =
      10 * std::sin(X * 0.9 + row) * std::sin(Y * 1.3 + col) + 6 * std::sin(X * 0.23 + Y * 0.37);
  const double cu = Cover(X + shift, size, 2, 40), cv = Cover(Y, size, 2, 20);
  const double mortar = 1 - (1 - cu) * (1 - cv);
  const double m[3] = {196, 126, 130};
  out[0] = (brick[0] + grain) * (1 - mortar) + m[0] * mortar;
  out[1] = brick[1] * (1 - mortar) + m[1] * mortar;
  out[2] = brick[2] * (1 - mortar) + m[2] * mortar;
}

// The wall as the movie sees it, at every half luma pixel across the width
// that the pan uncovers: luma rows, and the chroma rows (each chroma sample
// covers two luma pixels).
struct WallImage {
  uint32_t columns;
  std::vector<uint8_t> planes[3];
};

const WallImage &TheWall() {
  static const WallImage wall = [] {
    WallImage w;
    w.columns = 2 * (kWidth + uint32_t(std::ceil(kPan * kFrameCount)) + 2);
    w.planes[0].resize(uint64_t(w.columns) * kHeight);
    w.planes[1].resize(uint64_t(w.columns) * kHeight / 2);
    w.planes[2].resize(uint64_t(w.columns) * kHeight / 2);
    double v[3];
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t c = 0; c < w.columns; ++c) {
        Wall(c / 2.0, y, 1, v);
        w.planes[0][uint64_t(y) * w.columns + c] = Clamp8(v[0]);
        if (y % 2) continue;
        Wall(c / 2.0, y, 2, v);
        w.planes[1][uint64_t(y / 2) * w.columns + c] = Clamp8(v[1]);
        w.planes[2][uint64_t(y / 2) * w.columns + c] = Clamp8(v[2]);
      }
    return w;
  }();
  return wall;
}

struct Ball {
  double x, y;
};

// The ball's centre at frame t (0-based): it starts at (70, 60) moving by
// (2.5, 1.5) pixels a frame and bounces off the picture's edges.
Ball BallAt(uint32_t t) {
  double x = 70, y = 60, vx = 2.5, vy = 1.5;
  for (uint32_t k = 0; k < t; ++k) {
    x += vx;
    y += vy;
    if (x > kWidth - kBallRadius) x = 2 * (kWidth - kBallRadius) - x, vx = -vx;
    if (x < kBallRadius) x = 2 * kBallRadius - x, vx = -vx;
    if (y > kHeight - kBallRadius) y = 2 * (kHeight - kBallRadius) - y, vy = -vy;
    if (y < kBallRadius) y = 2 * kBallRadius - y, vy = -vy;
  }
  return Ball{x, y};
}

// Paints the ball over the pixels of one plane (scale 1 for luma, 2 for
// chroma) of the picture.
void PaintBall(const Ball &ball, uint32_t plane, Gen2Picture *p) {
  const double scale = plane ? 2 : 1;
  const uint32_t w = Gen2PlaneWidth(*p, plane), h = Gen2PlaneHeight(*p, plane);
  const double r = (kBallRadius + 2) / scale;
  const int32_t x0 = int32_t(ball.x / scale - r), x1 = int32_t(ball.x / scale + r);
  const int32_t y0 = int32_t(ball.y / scale - r), y1 = int32_t(ball.y / scale + r);
  for (int32_t y = y0 < 0 ? 0 : y0; y <= y1 && y < int32_t(h); ++y)
    for (int32_t x = x0 < 0 ? 0 : x0; x <= x1 && x < int32_t(w); ++x) {
      const double dx = ((x + 0.5) * scale - ball.x) / kBallRadius;
      const double dy = ((y + 0.5) * scale - ball.y) / kBallRadius;
      const double d = std::sqrt(dx * dx + dy * dy);
      const double a = std::fmin(std::fmax((1 - d) * kBallRadius / scale + 0.5, 0.0), 1.0);
      if (a <= 0) continue;
      double colour = plane == 1 ? 200 : 96;
      if (plane == 0) {
        const double nz = d < 1 ? std::sqrt(1 - d * d) : 0;
        const double light = std::fmax(0.0, -0.5 * dx - 0.6 * dy + 0.62 * nz);
        colour = 40 + 150 * light + 50 * std::pow(light, 24);
      }
      uint8_t &px = p->planes[plane][uint64_t(y) * w + uint32_t(x)];
      px = Clamp8(px * (1 - a) + colour * a);
    }
}

// Frame t (0-based): the wall moved left by kPan pixels a frame, the ball.
Gen2Picture Scene(uint32_t t) {
  Gen2Picture p = MakeGen2Picture(kWidth, kHeight, false, false);
  const WallImage &wall = TheWall();
  const uint32_t pan = uint32_t(std::lround(2 * kPan * t));  // in half pixels
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x)
      p.planes[0][uint64_t(y) * kWidth + x] = wall.planes[0][uint64_t(y) * wall.columns + 2 * x + pan];
  for (uint32_t plane = 1; plane < 3; ++plane)
    for (uint32_t y = 0; y < kHeight / 2; ++y)
      for (uint32_t x = 0; x < kWidth / 2; ++x)
        p.planes[plane][uint64_t(y) * (kWidth / 2) + x] =
            wall.planes[plane][uint64_t(y) * wall.columns + 4 * x + pan];
  const Ball ball = BallAt(t);
  for (uint32_t plane = 0; plane < 3; ++plane) PaintBall(ball, plane, &p);
  return p;
}

// Sum of absolute differences of a 16x16 luma quadrant and its two 8x8
// chroma pieces, at luma position (x, y).
uint32_t QuadrantSad(const Gen2Picture &a, const Gen2Picture &b, uint32_t x, uint32_t y) {
  uint32_t sad = 0;
  for (uint32_t plane = 0; plane < 3; ++plane) {
    const uint32_t w = Gen2PlaneWidth(a, plane), s = plane ? 8 : 16;
    const uint32_t px = plane ? x / 2 : x, py = plane ? y / 2 : y;
    for (uint32_t r = py; r < py + s && r < Gen2PlaneHeight(a, plane); ++r)
      for (uint32_t c = px; c < px + s; ++c) {
        const int d = int(a.planes[plane][uint64_t(r) * w + c]) - int(b.planes[plane][uint64_t(r) * w + c]);
        sad += uint32_t(d < 0 ? -d : d);
      }
  }
  return sad;
}

// Decodes a frame into the buffers and returns the picture it gives; unless
// `keep`, the buffers' reference stays what it was.
Gen2Picture Decode(Gen2TestBuffers *b, SliceLayout *layout, const std::vector<uint8_t> &video, bool key,
                   bool keep) {
  const uint32_t before = b->set.current_set;
  if (!DecodeGen2Frame(b, video, layout, key, false, false, {layout->slice_count << 4})) {
    fprintf(stderr, "the sample's frame does not decode\n");
    exit(1);
  }
  Gen2Picture p = Gen2BuffersPicture(*b, b->set.current_set);
  if (!keep) b->set.current_set = before;
  return p;
}

// One inter frame of the scene at frame t, predicted from the reference in
// the buffers.
std::vector<uint8_t> EncodeInterFrame(Gen2TestBuffers *b, SliceLayout *layout, uint32_t t) {
  const Gen2Picture target = Scene(t);
  const Ball now = BallAt(t), before = BallAt(t - 1);
  // Candidate vectors in half samples: the wall's, the ball's, none.
  const int32_t candidates[3][2] = {{int32_t(std::lround(2 * kPan)), 0},
                                    {int32_t(std::lround(-2 * (now.x - before.x))),
                                     int32_t(std::lround(-2 * (now.y - before.y)))},
                                    {0, 0}};
  // What each candidate predicts everywhere.
  Gen2Picture predicted[3];
  for (int c = 0; c < 3; ++c) {
    Gen2FrameDesc d =
        MakeGen2Frame(kWidth, kHeight, false, layout->slice_count, layout->end_row, kFrameFlags);
    for (Gen2BlockDesc &blk : d.blocks) {
      blk.type = 2;
      blk.single_vector = true;
      for (int q = 0; q < 4; ++q) {
        blk.mv[2 * q] = candidates[c][0];
        blk.mv[2 * q + 1] = candidates[c][1];
      }
    }
    predicted[c] = Decode(b, layout, WriteGen2Frame(&d), false, false);
  }
  // Per quadrant the best candidate; a residual where it still misses.
  Gen2FrameDesc d =
      MakeGen2Frame(kWidth, kHeight, false, layout->slice_count, layout->end_row, kFrameFlags);
  Gen2Picture prediction = predicted[0];
  const uint32_t columns = kWidth / 32, bands = (kHeight + 31) / 32;
  for (uint32_t band = 0; band < bands; ++band)
    for (uint32_t j = 0; j < columns; ++j) {
      Gen2BlockDesc &blk = d.blocks[uint64_t(band) * columns + j];
      uint32_t error = 0;
      for (int q = 0; q < 4; ++q) {
        const uint32_t x = 32 * j + 16 * (q & 1), y = 32 * band + 16 * (q >> 1);
        if (y >= kHeight) continue;
        int best = 0;
        uint32_t best_sad = UINT32_MAX;
        for (int c = 0; c < 3; ++c) {
          const uint32_t sad = QuadrantSad(target, predicted[c], x, y);
          if (sad < best_sad) best_sad = sad, best = c;
        }
        error += best_sad;
        blk.mv[2 * q] = candidates[best][0];
        blk.mv[2 * q + 1] = candidates[best][1];
        for (uint32_t plane = 0; plane < 3; ++plane) {
          const uint32_t w = Gen2PlaneWidth(target, plane), s = plane ? 8 : 16;
          const uint32_t px = plane ? x / 2 : x, py = plane ? y / 2 : y;
          for (uint32_t r = py; r < py + s && r < Gen2PlaneHeight(target, plane); ++r)
            std::memcpy(&prediction.planes[plane][uint64_t(r) * w + px],
                        &predicted[best].planes[plane][uint64_t(r) * w + px], s);
        }
      }
      blk.single_vector = true;
      for (int q = 1; q < 4; ++q)
        if (blk.mv[2 * q] != blk.mv[0] || blk.mv[2 * q + 1] != blk.mv[1]) blk.single_vector = false;
      blk.type = 2;
      // More than about one step per sample: code the residual.
      if (error > 1536) {
        blk.type = 3;
        blk.qi = kInterQuantiser;
        blk.chroma_residual = true;
        EncodeBlockResidual(target, prediction, j, band, &blk);
      }
    }
  std::vector<uint8_t> video = WriteGen2Frame(&d);
  Decode(b, layout, video, false, true);
  return video;
}

// Interleaved stereo: one chord a second (C, A minor, F, G), each note
// panned to its own place, with a soft attack and release.
std::vector<int16_t> ChordProgression(uint64_t frames) {
  static const double kChords[4][3] = {
      {261.63, 329.63, 392.00}, {220.00, 261.63, 329.63}, {174.61, 220.00, 261.63}, {196.00, 246.94, 293.66}};
  static const double kPanOf[3] = {0.5, 0.15, 0.85};
  std::vector<int16_t> s(frames * 2);
  for (uint64_t f = 0; f < frames; ++f) {
    const double t = double(f) / kSoundRate;
    const uint32_t chord = uint32_t(t) % 4;
    const double u = t - std::floor(t);
    const double envelope =
        std::fmin(u / 0.02, 1.0) * std::fmin((1 - u) / 0.06, 1.0) * (0.55 + 0.45 * std::exp(-3 * u));
    double left = 0, right = 0;
    for (int n = 0; n < 3; ++n) {
      const double phase = 2 * M_PI * kChords[chord][n] * t;
      const double v = envelope * 5000 * (std::sin(phase) + 0.25 * std::sin(2 * phase));
      left += v * std::cos(kPanOf[n] * M_PI / 2);
      right += v * std::sin(kPanOf[n] * M_PI / 2);
    }
    s[2 * f] = int16_t(std::lround(left));
    s[2 * f + 1] = int16_t(std::lround(right));
  }
  return s;
}

ContainerSpec SampleMovie() {
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", 'i');
  desc.width = kWidth;
  desc.height = kHeight;
  desc.rate_num = kFrameRate;
  desc.rate_den = 1;
  desc.video_flags = kVideoFlags;

  AudioEncoder e;
  if (!InitAudioEncoder(&e, kSoundRate, 2, 1)) {
    fprintf(stderr, "no audio encoder for the sample\n");
    exit(1);
  }
  const uint64_t sound_frames = uint64_t(kSoundRate) * kFrameCount / kFrameRate;
  const std::vector<int16_t> sound = ChordProgression(sound_frames);
  const uint64_t block_frames = AudioBlockFrames(&e);
  const uint64_t blocks = (sound_frames + block_frames - 1) / block_frames;
  // A ring of 1.25 s of sound; codec bits 0x10000000: the channels are coded
  // one after the other.
  desc.tracks.push_back(WriterTrack{kSoundRate * 4, kSoundRate | 0x20000000u | 0x10000000u, 0});

  SliceLayout layout{};
  ComputeSliceLayout(desc.signature, kVideoFlags, kWidth, kHeight, &layout);
  Gen2TestBuffers buffers;
  AllocGen2Buffers(&buffers, kWidth, kHeight, 2, false, false);
  uint64_t sent = 0;
  for (uint32_t t = 0; t < kFrameCount; ++t) {
    WriterFrame frame;
    // The sound up to 0.75 s past this frame's end.
    const uint64_t ahead = uint64_t(t + 1) * kSoundRate / kFrameRate + kSoundRate * 3 / 4;
    const uint64_t due = (ahead + block_frames - 1) / block_frames;
    const uint64_t until = due < blocks ? due : blocks;
    if (until > sent) {
      uint32_t decoded = 0;
      const std::vector<uint8_t> body =
          EncodeAudioPacket(&e, sound.data(), sound_frames, sent, uint32_t(until - sent), &decoded);
      AppendAudioPacket(&frame.bytes, decoded, body);
      sent = until;
    } else {
      AppendNoPacket(&frame.bytes);
    }
    std::vector<uint8_t> video;
    if (t == 0) {
      Gen2FrameDesc d = MakeGen2Frame(kWidth, kHeight, true, layout.slice_count, layout.end_row, kFrameFlags);
      EncodeIntraWithAc(Scene(0), kKeyQuantiser, &d);
      video = WriteGen2Frame(&d);
      Decode(&buffers, &layout, video, true, true);
    } else {
      video = EncodeInterFrame(&buffers, &layout, t);
    }
    frame.bytes.insert(frame.bytes.end(), video.begin(), video.end());
    frame.key = t == 0;
    desc.frames.push_back(frame);
  }
  FreeGen2Buffers(&buffers);
  return desc;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <output file>\n", argv[0]);
    return 1;
  }
  if (!WriteContainerFile(SampleMovie(), argv[1])) {
    fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
