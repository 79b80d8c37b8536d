// The player program run for real as a child process, on its own virtual X
// display: switches, messages and exit codes, pictures on screen checked by
// screenshots, keys sent to the window, the embedded-movie search, the
// statistics line and the summary.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "player/flat_movie.h"

namespace {

const char *const kTitle = "Vosh Video Player for Linux";
const char *const kUsage =
    "SYNTAX: VoshPlayer <Vosh file 1> <Vosh file 2> ... <Switches>\n"
    "  Switches:\n"
    "    -l = loop Vosh file\n"
    "    -f = play fast\n"
    "    -p = preload the Vosh into memory\n"
    "    -s = show playback summary\n"
    "    -q = show runtime statistics\n"
    "    -n = never skip frames when falling behind\n"
    "    -u = use PulseAudio instead (default is OpenAL)\n"
    "    -a = no audio\n";

// Under emulation, and in the sanitizer builds, every step of the player
// takes longer.
const bool kEmulated = VOSH_PLAYER_RUNNER[0] != '\0';
const int kSlow = kEmulated ? 4 : (VOSH_SLOW_PLAYER ? 3 : 1);

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string TempPath(const std::string &name) {
  return ::testing::TempDir() + "vosh_player_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string &path) {
  std::string s;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// Runs a shell command; its standard output, trailing newline removed.
// Runs a shell command (an X tool) for its output; a tool that hangs on a
// busy or vanishing window is stopped after 30 s.
std::string Shell(const std::string &cmd, int *status = nullptr) {
  std::string out;
  setenv("VOSH_TEST_SHELL_COMMAND", cmd.c_str(), 1);
  FILE *p = popen("timeout -k 2 30 sh -c \"$VOSH_TEST_SHELL_COMMAND\"", "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  if (status) *status = st;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Changes to the environment of one run; a null value removes the variable.
typedef std::vector<std::pair<const char *, const char *>> EnvChanges;

// Every run draws with SDL's software renderer into a window framebuffer
// without GL, so that no GL driver (with threads of its own, which the
// sanitizers would watch) is loaded into the player.
const EnvChanges kSoftwareDrawing = {{"SDL_RENDER_DRIVER", "software"},
                                     {"SDL_FRAMEBUFFER_ACCELERATION", "0"}};

// The names of the GL libraries mapped into a process, one a line.
std::string MappedGlLibraries(pid_t pid, std::string *maps) {
  *maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
  std::string found;
  for (size_t at = 0; at < maps->size();) {
    size_t end = maps->find('\n', at);
    if (end == std::string::npos) end = maps->size();
    const std::string line = maps->substr(at, end - at);
    at = end + 1;
    const std::string name = line.substr(line.rfind('/') == std::string::npos ? line.size()
                                                                               : line.rfind('/') + 1);
    for (const char *gl : {"libGL", "libEGL", "libOpenGL", "_dri.so", "swrast", "llvmpipe",
                           "libgallium", "libLLVM"})
      if (name.find(gl) != std::string::npos && found.find(name) == std::string::npos)
        found += name + "\n";
  }
  return found;
}

// One run of the player with its standard output going to a file.
struct PlayerRun {
  pid_t pid = -1;
  std::string out_path;
  int exit_code = -1;   // set once it ended normally
  int signal = 0;       // set when it ended by a signal
  bool ended = false;

  void Start(const std::vector<std::string> &args, const EnvChanges &env = {}) {
    out_path = TempPath("out" + std::to_string(reinterpret_cast<uintptr_t>(this) & 0xFFFF) + ".txt");
    std::vector<std::string> argv;
    if (kEmulated) argv.push_back(VOSH_PLAYER_RUNNER);
    argv.push_back(VOSH_PLAYER_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    // In a sanitizer build the player is checked for memory errors but not
    // for leaks: the display libraries it loads (the desktop bus connection
    // SDL opens) leave blocks behind at exit, and their stacks cannot be
    // walked cheaply enough to suppress them. The library's own leaks are
    // checked by its tests.
    const char *asan_env = getenv("ASAN_OPTIONS");
    const std::string asan =
        std::string(asan_env && *asan_env ? std::string(asan_env) + ":" : "") + "detect_leaks=0";
    pid = fork();
    if (pid == 0) {
      const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      const int err_fd = open((out_path + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err_fd, 2);
      setenv("ASAN_OPTIONS", asan.c_str(), 1);
      for (const EnvChanges *changes : {&kSoftwareDrawing, &env})
        for (const auto &[name, value] : *changes) {
          if (value)
            setenv(name, value, 1);
          else
            unsetenv(name);
        }
      std::vector<char *> cargv;
      for (std::string &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
      cargv.push_back(nullptr);
      execv(cargv[0], cargv.data());
      _exit(127);
    }
  }
  // Waits up to ms for the end; true when it ended.
  bool Wait(int ms) {
    if (ended) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int st = 0;
      const pid_t r = waitpid(pid, &st, WNOHANG);
      if (r == pid) {
        ended = true;
        if (WIFEXITED(st)) exit_code = WEXITSTATUS(st);
        if (WIFSIGNALED(st)) signal = WTERMSIG(st);
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      SleepMs(20);
    }
  }
  std::string Output() const { return ReadFile(out_path); }
  // The end of the error output, for failure messages.
  std::string Errors() const {
    const std::string e = ReadFile(out_path + ".err");
    return e.size() > 3000 ? e.substr(e.size() - 3000) : e;
  }
  ~PlayerRun() {
    if (pid > 0 && !ended) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (!out_path.empty()) {
      remove(out_path.c_str());
      remove((out_path + ".err").c_str());
    }
  }
};

// Runs the player to its end (at most ms) and returns its output.
std::string RunToEnd(const std::vector<std::string> &args, int ms, int *exit_code,
                     const EnvChanges &env = {}) {
  PlayerRun run;
  run.Start(args, env);
  const bool ended = run.Wait(ms);
  EXPECT_TRUE(ended) << "the player did not end";
  EXPECT_EQ(run.signal, 0) << "the player ended by a signal: " << run.Errors();
  *exit_code = run.exit_code;
  return run.Output();
}

std::string WriteMovie(const ContainerSpec &desc, const std::string &name) {
  const std::string path = TempPath(name);
  EXPECT_TRUE(WriteContainerFile(desc, path));
  return path;
}

struct Shot {
  uint32_t w = 0, h = 0;
  std::vector<uint8_t> rgb;
  const uint8_t *At(uint32_t x, uint32_t y) const { return &rgb[(uint64_t(y) * w + x) * 3]; }
  bool operator==(const Shot &o) const { return w == o.w && h == o.h && rgb == o.rgb; }
};

// Every pixel of the rectangle is within tol of the colour.
::testing::AssertionResult RectIs(const Shot &s, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h,
                                  const int rgb[3], int tol) {
  for (uint32_t y = y0; y < y0 + h; ++y)
    for (uint32_t x = x0; x < x0 + w; ++x) {
      const uint8_t *p = s.At(x, y);
      for (int k = 0; k < 3; ++k)
        if (std::abs(int(p[k]) - rgb[k]) > tol)
          return ::testing::AssertionFailure()
                 << "pixel (" << x << ", " << y << ") is " << int(p[0]) << "," << int(p[1]) << ","
                 << int(p[2]) << ", expected " << rgb[0] << "," << rgb[1] << "," << rgb[2];
    }
  return ::testing::AssertionSuccess();
}

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {}
  void TearDown() override {
    if (xvfb_pid_ > 0) {
      kill(xvfb_pid_, SIGTERM);
      waitpid(xvfb_pid_, nullptr, 0);
    }
    for (const std::string &f : files_) remove(f.c_str());
  }

  // Starts Xvfb on a display number it picks itself and points DISPLAY at it.
  void StartDisplay() {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    xvfb_pid_ = fork();
    if (xvfb_pid_ == 0) {
      close(fds[0]);
      const int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten",
             "tcp", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 200) > 0) {
        char c;
        if (read(fds[0], &c, 1) != 1) break;
        if (c == '\n') break;
        number.push_back(c);
      }
    }
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    setenv("DISPLAY", (":" + number).c_str(), 1);
  }

  std::string Movie(const ContainerSpec &desc, const std::string &name) {
    const std::string path = WriteMovie(desc, name);
    files_.push_back(path);
    return path;
  }
  std::string File(const std::vector<uint8_t> &bytes, const std::string &name) {
    const std::string path = TempPath(name);
    EXPECT_TRUE(WriteBytesFile(bytes, path));
    files_.push_back(path);
    return path;
  }

  // The player's window, waiting for one other than `not_this`; "" on time-out.
  std::string FindWindow(const std::string &not_this = "", int seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds * kSlow);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string ids = Shell(std::string("timeout 5 xdotool search --sync --name '") + kTitle +
                                    "' 2>/dev/null");
      const std::string id = ids.substr(0, ids.find('\n'));
      if (!id.empty() && id != not_this) return id;
      SleepMs(50);
    }
    return "";
  }
  // Waits for a player window of the given size.
  bool WaitForWindowOfSize(uint32_t w, uint32_t h, int seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds * kSlow);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string id = FindWindow("", seconds);
      uint32_t gw = 0, gh = 0;
      if (!id.empty()) Geometry(id, &gw, &gh);
      if (gw == w && gh == h) return true;
      SleepMs(100);
    }
    return false;
  }
  void Geometry(const std::string &id, uint32_t *w, uint32_t *h) {
    const std::string g = Shell("xdotool getwindowgeometry " + id + " 2>/dev/null");
    const size_t at = g.find("Geometry: ");
    *w = *h = 0;
    if (at != std::string::npos) sscanf(g.c_str() + at, "Geometry: %ux%u", w, h);
  }
  void Key(const std::string &id, const char *key) {
    Shell("xdotool windowfocus " + id + " 2>/dev/null; xdotool key " + key + " 2>/dev/null");
  }
  Shot Screenshot(const std::string &id) {
    Shot s;
    Geometry(id, &s.w, &s.h);
    const std::string path = TempPath("shot.rgb");
    Shell("import -window " + id + " -depth 8 rgb:" + path + " 2>/dev/null");
    const std::string bytes = ReadFile(path);
    remove(path.c_str());
    if (bytes.size() == uint64_t(s.w) * s.h * 3) s.rgb.assign(bytes.begin(), bytes.end());
    return s;
  }
  // A screenshot of the right size (the window may still be mapping).
  Shot GoodScreenshot(const std::string &id) {
    for (int i = 0; i < 50 * kSlow; ++i) {
      Shot s = Screenshot(id);
      if (!s.rgb.empty()) return s;
      SleepMs(100);
    }
    return Shot();
  }
  // Escape until the player ends (a named movie, then the built-in one).
  // With may_fail_to_open, a player that ends on its open's message instead
  // passes too, however long its start took.
  void EscapeToEnd(PlayerRun *run, bool may_fail_to_open = false) {
    for (int i = 0; i < 12 && !run->Wait(0); ++i) {
      const std::string id = FindWindow("", 5);
      if (!id.empty()) Key(id, "Escape");
      run->Wait(1500 * kSlow);
    }
    ASSERT_TRUE(run->Wait(1000)) << "the player did not end on Escape";
    EXPECT_EQ(run->signal, 0) << run->Errors();
    if (may_fail_to_open && run->exit_code == 3) {
      EXPECT_EQ(run->Output().rfind("Unable to open Vosh (", 0), 0u) << run->Output();
      return;
    }
    EXPECT_EQ(run->exit_code, 0) << run->Errors();
  }

  pid_t xvfb_pid_ = -1;
  std::vector<std::string> files_;
};

const FlatColour kRed = {81, 240, 90};
const FlatColour kGreen = {145, 34, 54};

TEST_F(PlayerTest, UsageAndStartUpFailures) {
  int code = -1;
  EXPECT_EQ(RunToEnd({}, 20000 * kSlow, &code), kUsage);
  EXPECT_EQ(code, 1);
  for (const char *sw : {"-h", "-?", "-help"}) {
    EXPECT_EQ(RunToEnd({"no-such-movie.vsh", sw}, 20000 * kSlow, &code), kUsage) << sw;
    EXPECT_EQ(code, 1) << sw;
  }
  // Without a display SDL cannot start: no sound line, exit 2, whether SDL is
  // held to X11 or left to fall back on a video driver that shows nothing.
  // Only a user who asks for such a driver plays into it.
  const std::string movie = Movie(FlatMovieSpec(64, 48, 30, 1, {kRed, kGreen, kRed}), "three.vsh");
  const EnvChanges no_display = {{"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}};
  EnvChanges x11 = no_display, unforced = no_display, dummy = no_display;
  x11.push_back({"SDL_VIDEODRIVER", "x11"});
  unforced.push_back({"SDL_VIDEODRIVER", nullptr});
  dummy.push_back({"SDL_VIDEODRIVER", "dummy"});
  PlayerRun asked;  // ends after the built-in movie's 20 s
  asked.Start({"-a", "-s", movie}, dummy);
  std::string out = RunToEnd({movie}, 20000 * kSlow, &code, x11);
  EXPECT_EQ(out.rfind("Unable to init SDL: ", 0), 0u) << out;
  EXPECT_EQ(code, 2);
  out = RunToEnd({movie}, 20000 * kSlow, &code, unforced);
  EXPECT_EQ(out.rfind("Unable to init SDL: No display: DISPLAY and WAYLAND_DISPLAY are not set", 0),
            0u)
      << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  EXPECT_EQ(code, 2);
  ASSERT_TRUE(asked.Wait(40000 * kSlow)) << "the player did not end on the dummy driver";
  EXPECT_EQ(asked.exit_code, 0) << asked.Errors();
  EXPECT_EQ(asked.Output().rfind("Vosh Summary:\n  Filename: " + movie + "\n", 0), 0u)
      << asked.Output();
  EXPECT_NE(asked.Output().find("  Total frames played: 3\n"), std::string::npos) << asked.Output();
}

TEST_F(PlayerTest, FilesThatAreNoMoviesEndWithTheOpenError) {
  StartDisplay();
  int code = -1;
  const std::string missing = TempPath("missing.vsh");
  EXPECT_EQ(RunToEnd({missing, "-x"}, 20000 * kSlow, &code),
            "openal\nUnable to open Vosh (Error opening file.)\n");
  EXPECT_EQ(code, 3);
  EXPECT_EQ(RunToEnd({"-u", missing}, 20000 * kSlow, &code),
            "pulse\nUnable to open Vosh (Error opening file.)\n");
  EXPECT_EQ(code, 3);

  std::mt19937 rng(7);
  std::vector<uint8_t> noise(150000);
  for (uint8_t &b : noise) b = uint8_t(rng() % 200);  // no signature byte 'V' (0x56) pattern needed
  const std::string not_movie = File(noise, "noise.bin");

  const ContainerSpec good = FlatMovieSpec(64, 48, 30, 1, {kRed, kRed, kRed});
  ContainerSpec no_frames = good;
  no_frames.frame_count = 0;
  ContainerSpec bad_header = good;
  bad_header.width = 0x8000;
  ContainerSpec bad_index = good;
  bad_index.index_words = {0, 0x7FFFFFF0u, 0x7FFFFFF8u, 0x7FFFFFFCu};
  std::vector<uint8_t> truncated = WriteContainer(good);
  truncated.resize(60);
  const struct {
    std::string path;
    const char *message;
  } cases[] = {
      {not_movie, "Not a Vosh file."},
      {Movie(no_frames, "noframes.vsh"), "The file doesn't contain any compressed frames yet."},
      {Movie(bad_header, "badheader.vsh"), "The file has a corrupt header."},
      {Movie(bad_index, "badindex.vsh"), "This file has bad frame size data."},
      {File(truncated, "truncated.vsh"), "Error reading Vosh header."},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(RunToEnd({"-a", c.path}, 20000 * kSlow, &code),
              std::string("Unable to open Vosh (") + c.message + ")\n");
    EXPECT_EQ(code, 3) << c.message;
  }
}

TEST_F(PlayerTest, PicturesPauseSkipToTheNextFileAndTheBuiltInMovie) {
  StartDisplay();
  // First file: 128 x 96, every frame a different grey; second: 64 x 48 red.
  std::vector<FlatColour> ramp;
  for (uint32_t k = 0; k < 20; ++k) ramp.push_back({uint8_t(40 + 8 * k), 128, 128});
  const std::string a = Movie(FlatMovieSpec(128, 96, 30, 1, ramp), "ramp.vsh");
  const std::string b = Movie(FlatMovieSpec(64, 48, 30, 1, {kRed, kRed}), "red.vsh");
  PlayerRun run;
  run.Start({a, b, "-l", "-a"});

  const std::string first = FindWindow();
  ASSERT_FALSE(first.empty()) << "no window";
  uint32_t w, h;
  Geometry(first, &w, &h);
  EXPECT_EQ(w, 128u);
  EXPECT_EQ(h, 96u);

  // Playing: every pixel is one of the movie's greys (a screenshot may
  // catch the window between two pictures), and the pictures change.
  int greys[20][3];
  for (uint32_t k = 0; k < ramp.size(); ++k) ExpectedRgb(ramp[k], greys[k]);
  auto which_grey = [&](const Shot &s, bool report = true) {
    int found = -2;
    for (uint32_t i = 0; i < uint32_t(s.rgb.size()); i += 3) {
      int match = -1;
      for (uint32_t k = 0; k < ramp.size() && match < 0; ++k)
        if (std::abs(s.rgb[i] - greys[k][0]) <= 3 && std::abs(s.rgb[i + 1] - greys[k][1]) <= 3 &&
            std::abs(s.rgb[i + 2] - greys[k][2]) <= 3)
          match = int(k);
      if (match < 0) {
        if (report)
          ADD_FAILURE() << "pixel " << i / 3 << " is " << int(s.rgb[i]) << "," << int(s.rgb[i + 1])
                      << "," << int(s.rgb[i + 2]);
        return -1;
      }
      if (found == -2) found = match;
    }
    return found;
  };
  // The window shows black until the first picture is presented.
  Shot previous;
  for (int i = 0; i < 100 && which_grey(previous, false) < 0; ++i) {
    SleepMs(50);
    previous = GoodScreenshot(first);
  }
  ASSERT_GE(which_grey(previous), 0);
  // The picture is drawn without GL: no GL library is loaded.
  std::string maps;
  EXPECT_EQ(MappedGlLibraries(run.pid, &maps), "");
  EXPECT_NE(maps.find("libSDL2"), std::string::npos) << "the player's maps cannot be read";
  bool changed = false;
  for (int i = 0; i < 40 && !changed; ++i) {
    SleepMs(70);
    Shot s = GoodScreenshot(first);
    ASSERT_GE(which_grey(s), 0) << "not a flat grey of the movie";
    changed = !(s == previous);
  }
  EXPECT_TRUE(changed) << "the picture does not change while playing";

  // Space pauses: the picture stands still; space again resumes.
  Key(first, "space");
  SleepMs(400 * kSlow);
  const Shot paused1 = GoodScreenshot(first);
  SleepMs(600);
  const Shot paused2 = GoodScreenshot(first);
  EXPECT_TRUE(paused1 == paused2) << "the picture changed while paused";
  EXPECT_GE(which_grey(paused2), 0);
  Key(first, "space");
  changed = false;
  for (int i = 0; i < 40 && !changed; ++i) {
    SleepMs(70);
    changed = !(GoodScreenshot(first) == paused2);
  }
  EXPECT_TRUE(changed) << "the picture does not change after resuming";

  // '.' moves on to the second file: a window as large as the first, the
  // smaller picture centred on black.
  Key(first, "period");
  const std::string second = FindWindow(first);
  ASSERT_FALSE(second.empty());
  Shot s;
  int red[3];
  ExpectedRgb(kRed, red);
  const int black[3] = {0, 0, 0};
  for (int i = 0; i < 30; ++i) {
    s = GoodScreenshot(second);
    if (s.w == 128 && s.h == 96 && RectIs(s, 32, 24, 64, 48, red, 3)) break;
    SleepMs(100);
  }
  ASSERT_EQ(s.w, 128u);
  ASSERT_EQ(s.h, 96u);
  EXPECT_TRUE(RectIs(s, 32, 24, 64, 48, red, 3));
  EXPECT_TRUE(RectIs(s, 0, 0, 128, 24, black, 0));
  EXPECT_TRUE(RectIs(s, 0, 72, 128, 24, black, 0));
  EXPECT_TRUE(RectIs(s, 0, 24, 32, 48, black, 0));
  EXPECT_TRUE(RectIs(s, 96, 24, 32, 48, black, 0));

  // Escape skips to the built-in movie (224 x 252); Escape there ends.
  Key(second, "Escape");
  const std::string builtin = FindWindow(second);
  ASSERT_FALSE(builtin.empty());
  Geometry(builtin, &w, &h);
  EXPECT_EQ(w, 224u);
  EXPECT_EQ(h, 252u);
  Key(builtin, "Escape");
  ASSERT_TRUE(run.Wait(10000 * kSlow));
  EXPECT_EQ(run.signal, 0) << run.Errors();
  EXPECT_EQ(run.exit_code, 0) << run.Errors();
  EXPECT_EQ(run.Output(), "");
}

TEST_F(PlayerTest, StatisticsLineAndSummary) {
  StartDisplay();
  std::vector<FlatColour> frames(30, kGreen);
  const std::string c = Movie(FlatMovieSpec(64, 48, 30, 1, frames), "thirty.vsh");
  PlayerRun run;
  run.Start({c, "-a", "-f", "-q", "-s"});
  // The movie ends by itself; the built-in movie follows.
  ASSERT_TRUE(WaitForWindowOfSize(224, 252));
  EscapeToEnd(&run);
  const std::string out = run.Output();
  // One statistics line per frame shown, each starting with a carriage
  // return, then a newline, then the summary.
  EXPECT_EQ(out.rfind("\rFr: ", 0), 0u) << out;
  size_t lines = 0;
  for (size_t at = out.find("\rFr: "); at != std::string::npos; at = out.find("\rFr: ", at + 1)) ++lines;
  EXPECT_EQ(lines, 30u);
  EXPECT_NE(out.find("\rFr: 30, FPS: "), std::string::npos);
  EXPECT_NE(out.find("%, Vid: "), std::string::npos);
  const std::string head = "    \nVosh Summary:\n  Filename: " + c +
                           "\n  Frame rate: As fast as possible.\n  Frame rate obtained: ";
  EXPECT_NE(out.find(head), std::string::npos) << out;
  EXPECT_TRUE(out.find("  Total frames played: 30\n") != std::string::npos ||
              out.find("  Total frames played: 31\n") != std::string::npos)
      << out;
  EXPECT_NE(out.find("  Skipped frames: 0\n  Sound skips: 0\n"), std::string::npos);
  EXPECT_NE(out.find("\n\n  Slowest frame: "), std::string::npos);
  EXPECT_NE(out.find("  Average frame size: "), std::string::npos);
  EXPECT_NE(out.find("\n\n  Memory used for playback: "), std::string::npos);
  EXPECT_NE(out.find("\n\n  Display: 64 x 48\n"), std::string::npos);
  EXPECT_EQ(out.find("inf"), std::string::npos);
  EXPECT_EQ(out.find("nan"), std::string::npos);
  EXPECT_EQ(out.find("Vosh Summary:"), out.rfind("Vosh Summary:")) << "one summary only";
}

// A movie embedded in a larger file: its signature in the last word of a
// scanned block, a decoy signature with an implausible size word before it.
TEST_F(PlayerTest, EmbeddedMovieIsFoundAndPlayed) {
  StartDisplay();
  ContainerSpec desc = FlatMovieSpec(64, 48, 30, 1, {kGreen, kGreen});
  desc.lead_in = 20000;  // a movie has a size word above 16000
  const std::vector<uint8_t> movie = WriteContainer(desc);
  ASSERT_GT(movie.size(), 16000u);
  const size_t at = 97280 + 1024 * 3 + 1020;
  std::vector<uint8_t> outer(at + movie.size() + 5000, 0x11);
  const size_t decoy = 97280 + 1024 + 100;
  memcpy(&outer[decoy], movie.data(), 4);
  const uint8_t small_size[4] = {100, 0, 0, 0};  // not a plausible movie size
  memcpy(&outer[decoy + 4], small_size, 4);
  memcpy(&outer[at], movie.data(), movie.size());
  const std::string path = File(outer, "outer.bin");

  PlayerRun run;
  run.Start({path, "-a", "-l", "-s"});
  const std::string id = FindWindow();
  ASSERT_FALSE(id.empty());
  int green[3];
  ExpectedRgb(kGreen, green);
  Shot s;
  for (int i = 0; i < 30; ++i) {
    s = GoodScreenshot(id);
    if (s.w == 64 && RectIs(s, 0, 0, 64, 48, green, 3)) break;
    SleepMs(100);
  }
  ASSERT_EQ(s.w, 64u);
  EXPECT_TRUE(RectIs(s, 0, 0, 64, 48, green, 3));
  Key(id, "period");
  ASSERT_FALSE(FindWindow(id).empty());
  EscapeToEnd(&run);
  EXPECT_NE(run.Output().find("Vosh Summary:\n  Filename: " + path + "\n"), std::string::npos);
}

// Files of 2 GiB and more open in both builds: a movie at the start of a
// sparse file of 2 GiB + 4 KiB, and one embedded after the search's start
// in a file of 4 GiB + 4 KiB, whose size the search compares in full.
TEST_F(PlayerTest, MoviesInFilesOfTwoGiBAndMorePlay) {
  StartDisplay();
  ContainerSpec desc = FlatMovieSpec(64, 48, 30, 1, {kGreen, kRed, kGreen});
  desc.lead_in = 20000;  // a size word above 16000, as the search wants
  const std::vector<uint8_t> movie = WriteContainer(desc);
  const size_t at = 97280 + 1024 + 8;
  std::vector<uint8_t> outer(at + movie.size(), 0x11);
  memcpy(&outer[at], movie.data(), movie.size());
  const std::string big = File(movie, "big.vsh");
  const std::string embedded = File(outer, "big_outer.bin");
  ASSERT_EQ(truncate64(big.c_str(), (off64_t(2) << 30) + 4096), 0);
  ASSERT_EQ(truncate64(embedded.c_str(), (off64_t(4) << 30) + 4096), 0);

  PlayerRun run;
  run.Start({big, embedded, "-a", "-s"});
  // Both movies end by themselves; the built-in movie follows.
  ASSERT_TRUE(WaitForWindowOfSize(224, 252)) << run.Output();
  EscapeToEnd(&run);
  const std::string out = run.Output();
  for (const std::string &p : {big, embedded}) {
    const size_t summary = out.find("Vosh Summary:\n  Filename: " + p + "\n");
    ASSERT_NE(summary, std::string::npos) << out;
    const size_t frames = out.find("  Total frames played: ", summary);
    ASSERT_NE(frames, std::string::npos) << out;
    const std::string played = "  Total frames played: 3\n";
    EXPECT_EQ(out.substr(frames, played.size()), played) << out;
  }
}

// Damaged movies either fail to open with the message or play wrong
// pictures; the player never crashes.
TEST_F(PlayerTest, MalformedMoviesNeverCrashThePlayer) {
  StartDisplay();
  std::mt19937 rng(11);
  const ContainerSpec good = FlatMovieSpec(64, 48, 30, 1, {kRed, kGreen, kRed, kGreen});
  std::vector<std::string> paths;
  {
    ContainerSpec s = good;
    for (WriterFrame &f : s.frames)
      for (size_t i = 4; i < f.bytes.size(); ++i) f.bytes[i] = uint8_t(rng());
    paths.push_back(Movie(s, "noisy.vsh"));
  }
  {
    ContainerLayout lay;
    std::vector<uint8_t> bytes = WriteContainer(good, &lay);
    bytes.resize(lay.frame_offsets[1] + 7);  // cut inside frame 2
    paths.push_back(File(bytes, "cut.vsh"));
  }
  {
    ContainerSpec s = good;
    for (WriterFrame &f : s.frames) f.bytes.resize(4);
    paths.push_back(Movie(s, "tiny.vsh"));
  }
  {
    ContainerSpec s = good;
    s.video_flags = 0x3;  // eight slices claimed by a frame written with one
    paths.push_back(Movie(s, "slices.vsh"));
  }
  for (const std::string &p : paths) {
    SCOPED_TRACE(p);
    PlayerRun run;
    run.Start({p, "-a", "-f"});
    run.Wait(1500 * kSlow);  // a movie that cannot be opened ends here
    EscapeToEnd(&run, true);
  }
}

}  // namespace
