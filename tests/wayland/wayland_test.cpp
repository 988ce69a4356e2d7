// The real program in a real headless Wayland session: mutter with virtual
// monitors and no GPU, PipeWire and WirePlumber, the real xdg-desktop-portal
// with the tests' stand-in screen cast backend (GNOME's own needs a
// gnome-shell, which cannot run here). Compositors refuse root, so the
// session and the recorder run as nobody, under dbus-run-session, with a
// private runtime directory and home. Every run is judged like the X11
// ones: every pair whole, ffprobe's frames equal to the .meta lines, the
// account and the exit status true.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/run_judge.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr char kWaiting[] =
    "slotrec: waiting for a screen to be chosen in the desktop's sharing dialog\n";

bool have(const char* path) { return access(path, X_OK) == 0; }

// What a tool prints on standard output.
std::string Output(std::vector<std::string> argv) {
  ChildCommand command;
  command.program = argv.front();
  command.argv = std::move(argv);
  return RunChild(command).out;
}

// A scratch directory nobody can work in: bin/ with copies of the programs
// (the build tree may be out of nobody's reach), a runtime directory, a
// home, and work/ where the runs go.
class WaylandSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the session as nobody";
    for (const char* tool : {"/usr/bin/mutter", "/usr/bin/pipewire", "/usr/bin/wireplumber",
                             "/usr/libexec/xdg-desktop-portal", "/usr/bin/dbus-run-session"}) {
      if (!have(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps)";
    }
    scratch_ = MakeTempDirectory("slotrec-wayland");
    for (const char* dir : {"bin", "bin/portals", "rt", "home", "work"}) fs::create_directories(scratch_ + "/" + dir);
    const std::string here = SLOTREC_SOURCE_DIR "/tests/wayland/";
    fs::copy_file(SLOTREC_BINARY, scratch_ + "/bin/slotrec");
    fs::copy_file(SLOTREC_STAND_IN, scratch_ + "/bin/portal_stand_in");
    fs::copy_file(SLOTREC_WAYLAND_DRIVER, scratch_ + "/bin/wayland_driver");
    fs::copy_file(here + "wayland_session.sh", scratch_ + "/bin/wayland_session.sh");
    fs::copy_file(here + "portals/slotrectest.portal", scratch_ + "/bin/portals/slotrectest.portal");
    for (const auto& entry : fs::recursive_directory_iterator(scratch_)) {
      (void)lchown(entry.path().c_str(), kNobody, kNobody);
    }
    (void)chown(scratch_.c_str(), kNobody, kNobody);
    chmod((scratch_ + "/rt").c_str(), 0700);
  }
  void TearDown() override {
    if (!scratch_.empty()) RemoveTree(scratch_);
  }

  // Runs `script` (bash, in work/, with $B the programs' folder) in a
  // session of `monitors`. The recorder runs at idle priority, so on a busy
  // machine its frames come late: the script counts frames, not seconds.
  //   start NAME ARGS...   starts slotrec in NAME/ (NAME.out, NAME.err)
  //   frames NAME N        waits until NAME has N frame lines, or has ended
  //   stop NAME            Ctrl-C, and its exit status in NAME.rc
  //   rec NAME N ARGS...   all three
  ChildResult Session(const std::string& script, const std::string& monitors = "1280x720",
                      const std::vector<std::string>& extra = {}) {
    const std::string bin = scratch_ + "/bin";
    const std::string prelude =
        "set -u; B=" + bin + "; cd " + scratch_ + "/work\n"
        "start() { local name=$1; shift; mkdir -p $name\n"
        "  (cd $name && exec $B/slotrec \"$@\") > $name.out 2> $name.err & echo $! > $name.pid; }\n"
        "frames() { for i in $(seq 600); do\n"
        "  kill -0 $(cat $1.pid) 2>/dev/null || return 0\n"
        "  [ \"$(cat $1/*/*.meta 2>/dev/null | grep -c '<frame ')\" -ge $2 ] && return 0\n"
        "  sleep 0.1; done; }\n"
        "stop() { local pid=$(cat $1.pid); kill -INT $pid 2>/dev/null; wait $pid; echo $? > $1.rc; }\n"
        "rec() { local name=$1 n=$2; shift 2; start $name \"$@\"; frames $name $n; stop $name; }\n";
    ChildCommand command;
    command.program = "setpriv";
    command.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    "dbus-run-session", "--", bin + "/wayland_session.sh", "bash", "-c",
                    prelude + script};
    command.environment = {"HOME=" + scratch_ + "/home",
                           "XDG_RUNTIME_DIR=" + scratch_ + "/rt",
                           "XDG_CONFIG_HOME",
                           "SLOTREC_MONITORS=" + monitors,
                           "SLOTREC_STAND_IN=" + bin + "/portal_stand_in",
                           "SLOTREC_STAND_IN_DIALOGS=" + scratch_ + "/work/dialogs",
                           "SLOTREC_SESSION_LOG=" + scratch_ + "/session.log"};
    command.environment.insert(command.environment.end(), extra.begin(), extra.end());
    command.timeout_ms = 120000;
    ChildResult result = RunChild(command);
    EXPECT_TRUE(result.exited && result.exit_status == 0)
        << result.err << testsupport::ReadWholeFile(scratch_ + "/session.log");
    return result;
  }

  std::string Work(const std::string& name) const {
    return testsupport::ReadWholeFile(scratch_ + "/work/" + name);
  }
  int ExitStatus(const std::string& name) const { return std::atoi(Work(name + ".rc").c_str()); }

  // The one run directory a recording left, judged whole.
  std::string JudgedRun(const std::string& name) {
    const std::vector<std::string> runs = testsupport::RunDirectories(scratch_ + "/work/" + name);
    EXPECT_EQ(runs.size(), 1u) << name;
    if (runs.size() != 1) return "";
    const testsupport::RunVerdict verdict = testsupport::JudgeRun(runs[0], {"10/1"});
    EXPECT_TRUE(verdict.problems.empty()) << name << ": " << ::testing::PrintToString(verdict.problems);
    EXPECT_GT(verdict.frames(), 0) << name;
    return runs[0];
  }

  std::string scratch_;
};

// Frame `index` of an AVI as RGB24, and its size (ffprobe, ffmpeg).
struct Picture {
  int width = 0;
  int height = 0;
  std::string rgb;
};

Picture DecodeFrame(const std::string& avi, int index) {
  Picture picture;
  const std::string size = Output({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                   "stream=width,height", "-of", "csv=p=0", avi});
  std::sscanf(size.c_str(), "%d,%d", &picture.width, &picture.height);
  picture.rgb = Output({"ffmpeg", "-v", "error", "-i", avi, "-vf",
                        "select=eq(n\\," + std::to_string(index) + ")", "-frames:v", "1", "-f",
                        "rawvideo", "-pix_fmt", "rgb24", "-"});
  return picture;
}

// How many pixels of the picture are within `tolerance` of the colour.
int CountColour(const Picture& p, int r, int g, int b, int tolerance = 12) {
  int count = 0;
  for (std::size_t i = 0; i + 2 < p.rgb.size(); i += 3) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(p.rgb[i + k]); };
    if (std::abs(at(0) - r) <= tolerance && std::abs(at(1) - g) <= tolerance &&
        std::abs(at(2) - b) <= tolerance) {
      ++count;
    }
  }
  return count;
}

std::vector<std::string> Stems(const std::string& run) {
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(run)) {
    if (entry.path().extension() == ".avi") stems.push_back(entry.path().stem().string());
  }
  std::sort(stems.begin(), stems.end());
  return stems;
}

// The first frame of the run's last segment that has one.
Picture LastSegmentsFrame(const std::string& run) {
  const std::vector<std::string> stems = Stems(run);
  for (auto stem = stems.rbegin(); stem != stems.rend(); ++stem) {
    Picture picture = DecodeFrame(run + "/" + *stem + ".avi", 0);
    if (!picture.rgb.empty()) return picture;
  }
  return {};
}

std::vector<testsupport::MetaFrame> AllFrames(const std::string& run) {
  std::vector<testsupport::MetaFrame> frames;
  for (const std::string& stem : Stems(run)) {
    int malformed = 0;
    auto part = testsupport::ParseMetaFrames(testsupport::ReadWholeFile(run + "/" + stem + ".meta"), &malformed);
    frames.insert(frames.end(), part.begin(), part.end());
  }
  return frames;
}

// The mean size of the frames that are not key frames, in bytes.
double MeanDeltaFrameBytes(const std::string& avi) {
  const std::string packets = Output({"ffprobe", "-v", "error", "-select_streams", "v:0",
                                      "-show_entries", "packet=size,flags", "-of", "csv=p=0", avi});
  double total = 0;
  int count = 0;
  std::size_t at = 0;
  while (at < packets.size()) {
    const std::size_t end = packets.find('\n', at);
    const std::string line = packets.substr(at, end - at);
    at = end == std::string::npos ? packets.size() : end + 1;
    if (line.empty() || line.find('K') != std::string::npos) continue;
    total += std::atof(line.c_str());
    ++count;
  }
  return count > 0 ? total / count : -1;
}

// One session, four runs: the first asks the user (the dialog), sees a
// window of the tests' own where mutter put it, and a pointer that moves;
// the second starts from the restore token without a dialog on an idle
// screen; the third, with DISPLAY naming an Xvfb inside the Wayland
// session, records that X server instead.
TEST_F(WaylandSession, RecordsTheDesktopThroughThePortalAndRestartsWithoutADialog) {
  Session(
      "$B/wayland_driver window ff0000 400 300 120 & window=$!\n"
      "start first fps=10; frames first 5\n"
      "$B/wayland_driver pointer 1 100 50 -30 20\n"
      "frames first 45; stop first\n"
      "kill $window; wait $window\n"
      "rec second 15 fps=10\n"
      "Xvfb -displayfd 3 -screen 0 320x240x24 -nolisten tcp 3>xvfb.display 2>/dev/null & xvfb=$!\n"
      "for i in $(seq 50); do [ -s xvfb.display ] && break; sleep 0.1; done\n"
      "DISPLAY=:$(cat xvfb.display) rec x11 15 fps=10\n"
      "kill $xvfb\n");

  // The first run: the dialog, the window, the pointer.
  EXPECT_EQ(ExitStatus("first"), 0) << Work("first.err");
  EXPECT_NE(Work("first.err").find(kWaiting), std::string::npos) << Work("first.err");
  EXPECT_EQ(Work("dialogs"), "dialog\n");
  const std::string first = JudgedRun("first");
  if (!first.empty()) {
    const Picture last = LastSegmentsFrame(first);
    EXPECT_EQ(last.width, 1280);
    EXPECT_EQ(last.height, 720);
    EXPECT_GT(CountColour(last, 255, 0, 0), 400 * 300 * 9 / 10) << "the window's red";
    // The pointer moved by (100, 50) and then by (-30, 20): the .meta
    // positions show both moves, in screen coordinates.
    std::vector<std::pair<int, int>> positions;
    for (const auto& f : AllFrames(first)) {
      if (positions.empty() || positions.back() != std::make_pair(f.x, f.y)) positions.push_back({f.x, f.y});
    }
    ASSERT_GE(positions.size(), 2u) << ::testing::PrintToString(positions);
    const auto [x1, y1] = positions[positions.size() - 2];
    const auto [x2, y2] = positions.back();
    EXPECT_EQ(x2 - x1, -30);
    EXPECT_EQ(y2 - y1, 20);
  }

  // The second: no dialog, and an idle screen codes as skips.
  EXPECT_EQ(ExitStatus("second"), 0) << Work("second.err");
  EXPECT_EQ(Work("second.err").find(kWaiting), std::string::npos) << Work("second.err");
  EXPECT_EQ(Work("dialogs"), "dialog\n") << "the restore token brought no dialog";
  EXPECT_NE(testsupport::ReadWholeFile(scratch_ + "/home/.config/slotrec/user.reg")
                .find("\"screencast_restore_token\"="),
            std::string::npos);
  const std::string second = JudgedRun("second");
  if (!second.empty()) {
    const double delta = MeanDeltaFrameBytes(second + "/" + Stems(second).front() + ".avi");
    EXPECT_GT(delta, 0);
    EXPECT_LT(delta, 300) << "an idle 1280x720 screen should code as skips";
  }

  // The third: X11 for an Xvfb, whatever the session.
  EXPECT_EQ(ExitStatus("x11"), 0) << Work("x11.err");
  const std::string x11 = JudgedRun("x11");
  if (!x11.empty()) {
    const Picture frame = LastSegmentsFrame(x11);
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 240);
  }
  EXPECT_EQ(Work("dialogs"), "dialog\n");
}

// -totalcapture over two monitors: every stream composited at its place in
// one frame the size of both.
TEST_F(WaylandSession, WholeDesktopComposesEveryMonitor) {
  Session("$B/wayland_driver window 00ff00 300 200 120 & window=$!\n"
          "sleep 0.5; rec all 25 fps=10 -totalcapture\nkill $window\n",
          "640x480 800x600");
  EXPECT_EQ(ExitStatus("all"), 0) << Work("all.err");
  const std::string run = JudgedRun("all");
  if (run.empty()) return;
  const Picture frame = LastSegmentsFrame(run);
  EXPECT_EQ(frame.width, 640 + 800);
  EXPECT_EQ(frame.height, 600);
  EXPECT_GT(CountColour(frame, 0, 255, 0), 300 * 200 * 9 / 10) << "the window's green";
  // Below the shorter monitor nothing is shown: black.
  const auto black_at = [&](int x, int y) {
    const std::size_t i = (static_cast<std::size_t>(y) * frame.width + x) * 3;
    return frame.rgb.size() > i + 2 && frame.rgb[i] == 0 && frame.rgb[i + 1] == 0 && frame.rgb[i + 2] == 0;
  };
  EXPECT_TRUE(black_at(10, 590) || black_at(1430, 590));
}

// Refused in the dialog, stopped with Ctrl-C while the dialog waits, no
// portal with a screen cast: each said, status 1, no directory. And the
// user stopping the cast mid-run ends the run with every pair whole.
TEST_F(WaylandSession, RefusedOrStoppedSharingLosesNothing) {
  Session(
      "rec refused 1 fps=10\n"
      "start interrupted fps=10; sleep 0.7; stop interrupted\n"
      "mkdir -p portalless; (cd portalless && XDG_DESKTOP_PORTAL_DIR=/nonexistent "
      "dbus-run-session -- $B/slotrec fps=10) > portalless.out 2> portalless.err; echo $? > portalless.rc\n",
      "1280x720", {"SLOTREC_STAND_IN_ANSWER=refuse"});
  const std::pair<const char*, const char*> refusals[] = {
      {"refused", "the screen cast was refused or its dialog closed"},
      {"interrupted", "stopped while waiting for the desktop portal's answer to Start"},
      {"portalless", "no desktop portal offers a screen cast on the session bus ("},
  };
  for (const auto& [name, reason] : refusals) {
    EXPECT_EQ(ExitStatus(name), 1) << name;
    const std::string out = Work(std::string(name) + ".out");
    EXPECT_EQ(out.substr(out.rfind("ERROR: ") == std::string::npos ? 0 : out.rfind("ERROR: ")),
              "ERROR: cannot open the screen for capture\n")
        << name;
    const std::string err = Work(std::string(name) + ".err");
    EXPECT_NE(err.find(std::string("slotrec: cannot record the Wayland desktop: ") + reason), std::string::npos)
        << err;
    EXPECT_TRUE(testsupport::RunDirectories(scratch_ + "/work/" + name).empty()) << name;
  }

  Session(
      "start stopped fps=10; frames stopped 25\n"
      "pkill -USR1 -x portal_stand_in\n"
      "for i in $(seq 200); do kill -0 $(cat stopped.pid) 2>/dev/null || break; sleep 0.1; done\n"
      "stop stopped\n");
  EXPECT_EQ(ExitStatus("stopped"), 0) << Work("stopped.err");
  const std::string err = Work("stopped.err");
  EXPECT_NE(err.find("slotrec: the Wayland desktop stopped sharing the screen\n"), std::string::npos) << err;
  EXPECT_NE(err.find("; stopped as the session ended or the display was lost\n"), std::string::npos) << err;
  JudgedRun("stopped");
}

}  // namespace
