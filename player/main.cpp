// The movie player: plays each movie named on the command line in an SDL
// window, one after the other, then the movie built into the library.
#include <SDL.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "player.h"
#include "vosh.h"

namespace {

constexpr uint32_t MAX_PLAYER_WORKERS = 8;
constexpr uint32_t LOOP_FOREVER = 0xFFFFFFFFu;
constexpr uint32_t BUILTIN_LOOPS = 200;
constexpr int SKIP_REST = 9999;
constexpr int LAST_NAMED_INDEX = 1999999;
constexpr int BUILTIN_INDEX = 2000000;
constexpr uint32_t COPY_DEST_HEIGHT = 480;
const char *const WINDOW_TITLE = "Vosh Video Player for Linux";

enum ExitCode { EXIT_DONE = 0, EXIT_USAGE = 1, EXIT_SDL = 2, EXIT_OPEN = 3, EXIT_WINDOW = 4, EXIT_TEXTURE = 5 };

struct Switches {
  uint32_t loop;
  bool fast;
  bool preload;
  bool summary;
  bool statistics;
  bool never_skip;
  bool pulse;
  bool no_sound;
  bool usage;
};

struct Player {
  Switches sw;
  uint32_t workers[MAX_PLAYER_WORKERS];
  int worker_count;
  uint32_t largest_w;
  uint32_t largest_h;
};

// One movie being shown.
struct Showing {
  HVOSH movie;
  const char *name;
  int search_fd;  // descriptor of an embedded movie, -1 for none
  uint32_t loop;
  bool statistics;
  bool summary;
};

void PrintUsage() {
  puts("SYNTAX: VoshPlayer <Vosh file 1> <Vosh file 2> ... <Switches>\n"
       "  Switches:\n"
       "    -l = loop Vosh file\n"
       "    -f = play fast\n"
       "    -p = preload the Vosh into memory\n"
       "    -s = show playback summary\n"
       "    -q = show runtime statistics\n"
       "    -n = never skip frames when falling behind\n"
       "    -u = use PulseAudio instead (default is OpenAL)\n"
       "    -a = no audio");
}

void ScanSwitches(int argc, char **argv, Switches *sw) {
  memset(sw, 0, sizeof(*sw));
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    switch (argv[i][1]) {
      case 'l': sw->loop = LOOP_FOREVER; break;
      case 'f': sw->fast = true; break;
      case 'p': sw->preload = true; break;
      case 's': sw->summary = true; break;
      case 'q': sw->statistics = true; break;
      case 'n': sw->never_skip = true; break;
      case 'u': sw->pulse = true; break;
      case 'a': sw->no_sound = true; break;
      case '?':
      case 'h': sw->usage = true; break;
      default: break;
    }
  }
}

// True when the comma-separated list (as SDL_VIDEODRIVER takes it) holds
// name, ignoring case.
bool ListNames(const char *list, const char *name) {
  const size_t n = strlen(name);
  for (const char *p = list;; ++p) {
    const char *end = strchr(p, ',');
    const size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (len == n && strncasecmp(p, name, n) == 0) return true;
    if (!end) return false;
    p = end;
  }
}

// Without a display SDL still starts, on a video driver whose windows show
// nothing ("offscreen" or "dummy"). Unless the user asked for that driver,
// that is no display at all: true, with the message naming what is missing.
bool OnlyAnInvisibleDriver(char *message, size_t size) {
  const char *driver = SDL_GetCurrentVideoDriver();
  if (!driver || (strcasecmp(driver, "offscreen") != 0 && strcasecmp(driver, "dummy") != 0))
    return false;
  const char *wanted = getenv("SDL_VIDEODRIVER");
  if (wanted && ListNames(wanted, driver)) return false;
  const char *x11 = getenv("DISPLAY");
  const char *wayland = getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland))
    snprintf(message, size,
             "No display: DISPLAY and WAYLAND_DISPLAY are not set, and SDL's \"%s\" video "
             "driver shows nothing",
             driver);
  else
    snprintf(message, size,
             "No display: cannot open DISPLAY=\"%s\" or WAYLAND_DISPLAY=\"%s\", and SDL's "
             "\"%s\" video driver shows nothing",
             x11 ? x11 : "", wayland ? wayland : "", driver);
  return true;
}

[[noreturn]] void FailOpen() {
  printf("Unable to open Vosh (%s)\n", VoshGetErrorText());
  SDL_Quit();
  exit(EXIT_OPEN);
}

// Opens a named file, or a movie embedded in it. Ends the program when
// neither can be opened.
HVOSH OpenNamedMovie(const Player *p, const char *path, uint32_t flags, int *search_fd) {
  *search_fd = -1;
  if (p->sw.fast) VoshOverrideFrameRate(0, 0);
  HVOSH movie = VoshOpenMovie(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(path)),
                              flags + OPEN_READ_RATE);
  if (movie) return movie;
  const int fd = FindEmbeddedMovie(path);
  if (fd < 0) FailOpen();
  if (p->sw.fast) VoshOverrideFrameRate(0, 0);
  // The descriptor stands at the embedded movie's first byte, where its
  // frame offsets count from.
  movie = VoshOpenMovie(static_cast<uint64_t>(fd), flags | OPEN_FILE_DESCRIPTOR);
  if (!movie) {
    close(fd);
    FailOpen();
  }
  *search_fd = fd;
  return movie;
}

// Clears the texture outside the movie's rectangle: a locked streaming
// texture does not keep what was written before.
void ClearMargins(uint8_t *pixels, int pitch, uint32_t w, uint32_t h, uint32_t x0, uint32_t y0,
                  uint32_t mw, uint32_t mh) {
  if (!pixels || pitch <= 0) return;
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t *row = pixels + static_cast<size_t>(y) * static_cast<size_t>(pitch);
    if (y < y0 || y >= y0 + mh) {
      memset(row, 0, static_cast<size_t>(w) * 4);
    } else {
      memset(row, 0, static_cast<size_t>(x0) * 4);
      if (x0 + mw < w) memset(row + static_cast<size_t>(x0 + mw) * 4, 0, static_cast<size_t>(w - x0 - mw) * 4);
    }
  }
}

// Shows one movie until it ends; returns how many further arguments to pass
// over (0 or SKIP_REST).
int ShowMovie(Player *p, Showing *s) {
  HVOSH movie = s->movie;
  VoshStartAsyncDecompress(movie, p->workers, p->worker_count);

  const MovieRecordHead *head = VoshGetMovieHead(movie);
  const uint32_t mw = head->width, mh = head->height;
  const uint32_t W = p->largest_w > mw ? p->largest_w : mw;
  const uint32_t H = p->largest_h > mh ? p->largest_h : mh;
  SDL_Window *window = nullptr;
  SDL_Renderer *renderer = nullptr;
  SDL_CreateWindowAndRenderer(static_cast<int>(W), static_cast<int>(H),
                              SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE, &window, &renderer);
  if (!window || !renderer) {
    printf("Unable to create window: %s\n", SDL_GetError());
    SDL_Quit();
    exit(EXIT_WINDOW);
  }
  SDL_SetWindowTitle(window, WINDOW_TITLE);
  SDL_SetWindowInputFocus(window);
  SDL_Texture *texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888,
                                           SDL_TEXTUREACCESS_STREAMING, static_cast<int>(W),
                                           static_cast<int>(H));
  if (!texture) {
    printf("Unable to create texture: %s\n", SDL_GetError());
    SDL_Quit();
    exit(EXIT_TEXTURE);
  }
  p->largest_w = W;
  p->largest_h = H;
  const uint32_t x0 = (W - mw) / 2, y0 = (H - mh) / 2;

  uint32_t paused = 0;
  int32_t budget = 0;
  int skip = 0;
  bool ended = false;
  while (!ended) {
    if (budget > 0) {
      const uint32_t t0 = VoshGetMilliseconds();
      usleep(static_cast<useconds_t>(budget) * 1000);
      budget -= static_cast<int32_t>(VoshGetMilliseconds() - t0);
    }

    SDL_Event e;
    while (SDL_PollEvent(&e)) {
      if (e.type == SDL_KEYUP) {
        const SDL_Keycode key = e.key.keysym.sym;
        if (key == SDLK_SPACE) {
          paused = !paused;
          VoshSetPaused(movie, paused);
        } else if (key == SDLK_PERIOD) {
          ended = true;
        } else if (key == SDLK_ESCAPE) {
          ended = true;
          skip = SKIP_REST;
        }
      } else if (e.type == SDL_QUIT) {
        ended = true;
        skip = SKIP_REST;
      } else if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_TAKE_FOCUS) {
        SDL_SetWindowInputFocus(window);
      }
    }
    if (ended) break;

    if (VoshShouldWait(movie)) {
      budget += 1;
      continue;
    }
    if (VoshWaitAsyncDecompress(movie, -1) == 1) {
      if (head->current_frame == head->frame_count) {
        // The last frame is still shown; the movie ends after this pass.
        if (s->loop < 2)
          ended = true;
        else
          s->loop -= 1;
      }
      VoshAdvanceFrame(movie);
      VoshStartAsyncDecompress(movie, p->workers, p->worker_count);
      void *pixels = nullptr;
      int pitch = 0;
      if (SDL_LockTexture(texture, nullptr, &pixels, &pitch) == 0) {
        ClearMargins(static_cast<uint8_t *>(pixels), pitch, W, H, x0, y0, mw, mh);
        VoshCopyFrameToPixels(movie, pixels, pitch, COPY_DEST_HEIGHT, x0, y0, SURFACE_BGRA);
        SDL_UnlockTexture(texture);
      }
      SDL_RenderClear(renderer);
      SDL_RenderCopy(renderer, texture, nullptr, nullptr);
      SDL_RenderPresent(renderer);
    }
    if (s->statistics) {
      RecentStats stats;
      VoshFillRecentStats(movie, &stats, 0);
      PrintStatisticsLine(&stats);
    }
  }

  if (s->statistics) putchar('\n');
  if (s->summary) {
    PlaybackSummary summary;
    VoshFillPlaybackSummary(movie, &summary);
    PrintPlaybackSummary(s->name, &summary, W, H);
  }
  VoshCloseMovie(movie);
  SDL_DestroyTexture(texture);
  if (renderer) SDL_DestroyRenderer(renderer);
  if (window) SDL_DestroyWindow(window);
  if (s->search_fd >= 0) close(s->search_fd);
  return skip;
}

}  // namespace

int main(int argc, char **argv) {
  Player p;
  memset(&p, 0, sizeof(p));
  if (argc < 2) {
    PrintUsage();
    return EXIT_USAGE;
  }
  ScanSwitches(argc, argv, &p.sw);
  if (p.sw.usage) {
    PrintUsage();
    return EXIT_USAGE;
  }

  uint32_t cpus = VoshGetCpuCount();
  if (cpus > MAX_PLAYER_WORKERS) cpus = MAX_PLAYER_WORKERS;
  for (uint32_t j = 0; j < cpus; ++j) {
    // Only workers that started are handed to the decoding.
    if (VoshStartWorkerThread(static_cast<int>(j))) p.workers[p.worker_count++] = j;
  }

  if (SDL_Init(SDL_INIT_VIDEO) < 0) {
    printf("Unable to init SDL: %s\n", SDL_GetError());
    return EXIT_SDL;
  }
  char no_display[256];
  if (OnlyAnInvisibleDriver(no_display, sizeof no_display)) {
    printf("Unable to init SDL: %s\n", no_display);
    SDL_Quit();
    return EXIT_SDL;
  }
  if (!p.sw.no_sound) {
    VoshInstallSoundOutput(p.sw.pulse ? VoshPreparePulseAudioOutput : VoshPrepareOpenALOutput,
                           48000, 2);
    puts(p.sw.pulse ? "pulse" : "openal");
  }
  uint32_t flags = (p.sw.preload ? OPEN_PRELOAD : 0) + (p.sw.never_skip ? OPEN_NEVER_SKIP : 0);
  if (p.sw.fast) flags += OPEN_RATE_OVERRIDE;

  int i = 1;
  for (;;) {
    Showing s;
    memset(&s, 0, sizeof(s));
    s.search_fd = -1;
    if (i < argc) {
      if (argv[i][0] == '-') {
        ++i;
        continue;
      }
      s.name = argv[i];
      s.movie = OpenNamedMovie(&p, argv[i], flags, &s.search_fd);
      s.loop = p.sw.loop;
      s.statistics = p.sw.statistics;
      s.summary = p.sw.summary;
    } else if (i <= LAST_NAMED_INDEX) {
      s.name = "built-in movie";
      s.movie = VoshOpenMovie(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(VoshGetBuiltInMovie())),
                              OPEN_MEMORY_IMAGE);
      // Without it (no memory) there is nothing left to show.
      if (!s.movie) break;
      s.loop = BUILTIN_LOOPS;
      i = BUILTIN_INDEX;
    } else {
      break;
    }
    i += ShowMovie(&p, &s) + 1;
  }

  if (!p.sw.no_sound) VoshInstallSoundOutput(VoshPrepareOpenALOutput, 48000, 2);
  SDL_Quit();
  return EXIT_DONE;
}
