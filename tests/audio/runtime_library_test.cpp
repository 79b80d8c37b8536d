// Sound on a machine with the sound libraries' runtime packages alone: the
// unversioned names libopenal.so and libpulse.so are links that only the
// development packages install. The OpenAL and PulseAudio backend tests run
// again in a child process under a private mount namespace whose library
// folders are read-only overlays that hide those two names.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio_test_util.h"

namespace {

const char *const DEVELOPMENT_NAMES[] = {"libopenal.so", "libpulse.so"};
const char *const LIBRARY_FOLDERS[] = {"/usr/lib/x86_64-linux-gnu", "/usr/lib/i386-linux-gnu",
                                       "/lib/x86_64-linux-gnu", "/lib/i386-linux-gnu"};
// One device open and one stream connection, each with sound written.
const char CHILD_FILTER[] =
    "--gtest_filter=OpenALTest.EightChannelQueueAndRestartAfterRunningDry:"
    "PulseAudioTest.ChunksAreWholeAndLongWritesAreSplit";
const char CHILD_PASSED[] = "[  PASSED  ] 2 tests.";

// What the child reports through the pipe when it cannot get as far as exec.
struct ChildFailure {
  int step;
  int error;
};
enum { STEP_NAMESPACE, STEP_OVERLAY, STEP_STILL_VISIBLE, STEP_EXEC };

// One library folder and the top layer that hides its development names.
struct HiddenFolder {
  std::string folder, top, options;
  std::string whiteouts[2], shown[2];  // each development name in the top layer and as seen
};

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// In the child after fork (system calls only): a private mount namespace in
// which every folder is an overlay whose top layer, on a tmpfs at `layers`,
// holds a whiteout (a character device 0:0) for each development name.
// Returns the step that failed, or -1.
int MakeRuntimeOnlyView(const std::string &layers, const std::vector<HiddenFolder> &hidden) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("vosh_layers", layers.c_str(), "tmpfs", 0, "mode=0755") != 0)
    return STEP_NAMESPACE;
  for (const HiddenFolder &h : hidden) {
    if (mkdir(h.top.c_str(), 0755) != 0) return STEP_OVERLAY;
    for (const std::string &w : h.whiteouts)
      if (mknod(w.c_str(), S_IFCHR | 0600, 0) != 0) return STEP_OVERLAY;
    if (mount("vosh_runtime_only", h.folder.c_str(), "overlay", MS_RDONLY, h.options.c_str()) != 0)
      return STEP_OVERLAY;
  }
  for (const HiddenFolder &h : hidden)
    for (const std::string &shown : h.shown)
      if (Exists(shown)) return STEP_STILL_VISIBLE;
  return -1;
}

[[noreturn]] void RunChild(int report, const std::string &layers, const std::vector<HiddenFolder> &hidden,
                           const std::string &out, const std::vector<char *> &argv) {
  ChildFailure f = {MakeRuntimeOnlyView(layers, hidden), 0};
  if (f.step < 0) {
    f.step = STEP_EXEC;
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0 && dup2(fd, 1) >= 0 && dup2(fd, 2) >= 0) execv(argv[0], argv.data());
  }
  f.error = errno;
  if (write(report, &f, sizeof f) != sizeof f) _exit(126);
  _exit(127);
}

TEST(RuntimeLibrariesAlone, BackendsOpenWithoutTheDevelopmentNames) {
  if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace with overlays needs root";
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  char templ[] = "/tmp/vosh_runtime_XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const std::string dir = templ, layers = dir + "/layers", out = dir + "/child.log";
  ASSERT_EQ(mkdir(layers.c_str(), 0755), 0);
  // Every folder that holds a development name (none: nothing to hide).
  std::vector<HiddenFolder> hidden;
  for (const char *folder : LIBRARY_FOLDERS) {
    char real[PATH_MAX];
    if (!realpath(folder, real)) continue;
    bool has_name = false, known = false;
    for (const char *name : DEVELOPMENT_NAMES) has_name = has_name || Exists(std::string(real) + "/" + name);
    for (const HiddenFolder &h : hidden) known = known || h.folder == real;
    if (!has_name || known) continue;
    HiddenFolder h;
    h.folder = real;
    h.top = layers + "/" + std::to_string(hidden.size());
    h.options = "lowerdir=" + h.top + ":" + h.folder;
    for (int i = 0; i < 2; ++i) {
      h.whiteouts[i] = h.top + "/" + DEVELOPMENT_NAMES[i];
      h.shown[i] = h.folder + "/" + DEVELOPMENT_NAMES[i];
    }
    hidden.push_back(h);
  }
  std::string runner = VOSH_TEST_RUNNER, filter = CHILD_FILTER;
  std::vector<char *> argv;
  if (!runner.empty()) argv.push_back(runner.data());
  argv.push_back(exe);
  argv.push_back(filter.data());
  argv.push_back(nullptr);

  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) RunChild(report[1], layers, hidden, out, argv);
  close(report[1]);
  ASSERT_GT(child, 0);
  ChildFailure f;
  const bool failed = read(report[0], &f, sizeof f) == sizeof f;
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  std::vector<uint8_t> log;
  audio_test::ReadFileBytes(out, &log);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  if (failed && f.step <= STEP_OVERLAY)
    GTEST_SKIP() << "no private mount namespace with overlays here ("
                 << (f.step == STEP_NAMESPACE ? "namespace" : "overlay") << ": " << strerror(f.error) << ")";
  ASSERT_FALSE(failed) << (f.step == STEP_STILL_VISIBLE ? "the overlays left a development name visible"
                                                        : "the child could not be started")
                       << ": " << strerror(f.error);
  const std::string text(log.begin(), log.end());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.find(CHILD_PASSED) != std::string::npos &&
              text.find("[  SKIPPED ]") == std::string::npos)
      << text;
}

}  // namespace
