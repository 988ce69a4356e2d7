// Whole recordings by the real program with its settings file broken in the
// ways people and systems break it. Whatever the file is, the recording is
// lossless (the run's own settings are in force), the cause is named once on
// standard error, the program stops when asked, and every segment is whole.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;

// x264 names the profile of a lossless stream so (as ffprobe prints it).
constexpr char kLosslessProfile[] = "High 4:4:4 Predictive\n";
constexpr int kRecordMs = 2000;

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The settings file of a user who wants small files: single-pass bitrate at
// 1 kbit/s. Were it in force, every segment would be a smear.
const std::string kTinyBitrateFile =
    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\GNU\\x264]\r\n"
    "\"encoding_type\"=dword:00000000\r\n\"passbitrate\"=dword:00000001\r\n";

class SettingsFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::XvfbOptions options;
    options.width = 320;
    options.height = 240;
    server_ = new testsupport::XvfbServer(options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    painter_ = new testsupport::X11Painter(server_->display());
    ASSERT_TRUE(painter_->ok());
    painter_->fill(20, 20, 100, 60, 0xff0000);
    painter_->fill(150, 100, 120, 90, 0x00c0ff);
    painter_->sync();
  }
  static void TearDownTestSuite() {
    delete painter_;
    delete server_;
  }

  void SetUp() override {
    scratch_ = MakeTempDirectory("slotrec-settings-faults");
    config_ = scratch_ + "/config";
    fs::create_directories(config_);
  }
  void TearDown() override {
    // A test that stopped with the store's tmpfs still mounted would leave
    // its mount point behind.
    umount2(StoreDir().c_str(), MNT_DETACH);
    RemoveTree(scratch_);
  }

  std::string StoreDir() const { return config_ + "/slotrec"; }
  std::string StoreFile() const { return StoreDir() + "/user.reg"; }

  // Records for kRecordMs after the first segment is prepared, then sends
  // SIGINT. The program must have ended by itself well before the limit.
  void Record() {
    ChildCommand command;
    command.program = SLOTREC_BINARY;
    command.argv = {"slotrec", "fps=10", "slotsecs=1"};
    command.working_directory = scratch_;
    command.environment = {"DISPLAY=" + server_->display(), "XDG_CONFIG_HOME=" + config_};
    command.signal_when_stdout_has = "Trying prepare 000-00.avi";
    command.signal_grace_ms = kRecordMs;
    command.signal_number = SIGINT;
    command.timeout_ms = 30000;
    auto start = std::chrono::steady_clock::now();
    result_ = RunChild(command);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(result_.signal_sent) << result_.err;
    EXPECT_FALSE(result_.timed_out) << "still running after " << seconds << " s\n" << result_.err;
    ASSERT_TRUE(result_.exited) << "signal " << result_.term_signal << "\n" << result_.err;
    EXPECT_EQ(result_.exit_status, 0) << result_.err;
    EXPECT_LT(seconds, kRecordMs / 1000.0 + 10) << result_.err;
  }

  // The standard error lines about the settings file: exactly one, naming
  // the file and the cause.
  void ExpectCauseNamedOnce(const std::string& cause) {
    std::vector<std::string> lines;
    std::istringstream err(result_.err);
    for (std::string line; std::getline(err, line);)
      if (line.find(StoreFile()) != std::string::npos) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u) << result_.err;
    EXPECT_EQ(lines[0].rfind("slotrec: " + StoreFile() + ": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(cause), std::string::npos) << lines[0];
  }

  // The one run directory: every pair whole, frames recorded, and every
  // segment with frames compressed losslessly.
  void ExpectWholeLosslessRun() {
    std::vector<std::string> runs = testsupport::RunDirectories(scratch_);
    ASSERT_EQ(runs.size(), 1u);
    testsupport::RunVerdict verdict = testsupport::JudgeRun(runs[0], {"10/1"});
    for (const std::string& problem : verdict.problems) ADD_FAILURE() << problem;
    EXPECT_GT(verdict.frames(), 0);
    for (const testsupport::SegmentVerdict& segment : verdict.segments) {
      if (segment.avi_frames == 0) continue;
      ChildCommand probe;
      probe.program = "ffprobe";
      probe.argv = {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=profile",
                    "-of", "default=nw=1:nk=1", runs[0] + "/" + segment.stem + ".avi"};
      ChildResult r = RunChild(probe);
      EXPECT_EQ(r.out, kLosslessProfile) << segment.stem << ": " << r.err;
    }
  }

  static testsupport::XvfbServer* server_;
  static testsupport::X11Painter* painter_;
  std::string scratch_;
  std::string config_;
  ChildResult result_;
};

testsupport::XvfbServer* SettingsFaults::server_ = nullptr;
testsupport::X11Painter* SettingsFaults::painter_ = nullptr;

// Settings files the program cannot use at all: each stays as it was.
TEST_F(SettingsFaults, UnusableFileStillGivesALosslessRecording) {
  std::string random_bytes(8192, '\0');
  std::mt19937 random(7);
  for (char& c : random_bytes) c = static_cast<char>(random());
  struct Case {
    const char* what;
    std::function<void()> make;
    std::function<bool()> unchanged;
    std::string cause;
  };
  const Case cases[] = {
      {"random bytes", [&] { WriteFile(StoreFile(), random_bytes); },
       [&] { return testsupport::ReadWholeFile(StoreFile()) == random_bytes; }, "line 1 is not understood"},
      {"a directory", [&] { fs::create_directories(StoreFile()); },
       [&] { return fs::is_directory(StoreFile()) && fs::is_empty(StoreFile()); }, "is not a regular file"},
      {"slotrec is a file", [&] { WriteFile(StoreDir(), kTinyBitrateFile); },
       [&] { return testsupport::ReadWholeFile(StoreDir()) == kTinyBitrateFile; },
       "/slotrec: Not a directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (&c != &cases[0]) {
      TearDown();
      SetUp();
    }
    c.make();
    Record();
    ExpectCauseNamedOnce(c.cause);
    EXPECT_TRUE(c.unchanged());
    ExpectWholeLosslessRun();
  }
}

// A user's file asking for a tiny bitrate, on a file system mounted
// read-only: the run cannot write its own values, yet they are the ones in
// force, and the user's file stays as it was.
TEST_F(SettingsFaults, ReadOnlyUserFileCannotMakeTheRecordingLossy) {
  fs::create_directories(StoreDir());
  if (mount("tmpfs", StoreDir().c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "): needs CAP_SYS_ADMIN";
  WriteFile(StoreFile(), kTinyBitrateFile);
  ASSERT_EQ(mount(nullptr, StoreDir().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=64k"), 0)
      << std::strerror(errno);
  Record();
  std::string after = testsupport::ReadWholeFile(StoreFile());
  EXPECT_EQ(umount(StoreDir().c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(after, kTinyBitrateFile);
  ExpectCauseNamedOnce("Read-only file system");
  ExpectWholeLosslessRun();
}

// Things that would make a careless store wait for ever: a FIFO in the
// file's place (opening it waits for a writer) and the writers' lock kept
// by another process. The program records, and stops on SIGINT.
TEST_F(SettingsFaults, FifoOrHeldLockDoesNotKeepTheProgramFromStopping) {
  for (bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "FIFO" : "held lock");
    if (!fifo) {
      TearDown();
      SetUp();
    }
    fs::create_directories(StoreDir());
    int holder = -1;
    if (fifo) {
      ASSERT_EQ(mkfifo(StoreFile().c_str(), 0600), 0) << std::strerror(errno);
    } else {
      holder = open((StoreFile() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      ASSERT_GE(holder, 0) << std::strerror(errno);
      ASSERT_EQ(flock(holder, LOCK_EX), 0) << std::strerror(errno);
    }
    Record();
    if (holder >= 0) close(holder);
    ExpectCauseNamedOnce(fifo ? "is not a regular file" : ".lock is held by another process");
    if (fifo) {
      EXPECT_TRUE(fs::is_fifo(StoreFile()));
    }
    ExpectWholeLosslessRun();
  }
}

}  // namespace
