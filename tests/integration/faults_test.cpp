// The real program under the faults its users meet: closed standard streams,
// a high frame rate, a file size limit, a full or read-only file system, a
// stopped process, two recorders started in the same millisecond, a hang-up
// signal ignored by nohup. Every test ends by judging every pair of the run
// directory, and the account on standard error and the exit status against
// what is on disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "formats/run_account.h"
#include "tests/support/process.h"
#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Rectangles of random colours painted all over the screen, so that
// segments grow as they would on a busy desktop.
class MovingScreen {
 public:
  explicit MovingScreen(const std::string& display)
      : thread_([this, display] {
          testsupport::X11Painter painter(display);
          std::mt19937 random(7);
          while (!stop_.load() && painter.ok()) {
            for (int i = 0; i < 8; ++i) {
              painter.fill(static_cast<int>(random() % 600), static_cast<int>(random() % 440), 40, 40,
                           random() & 0xffffff);
            }
            painter.sync();
            std::this_thread::sleep_for(milliseconds(20));
          }
        }) {}
  ~MovingScreen() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The account line the program ends with for the run in `run_directory`,
// read back; nothing when there is none.
std::optional<RunAccount> ReadAccount(const std::string& err, const std::string& run_directory) {
  std::optional<RunAccount> account = FindRunAccount(err);
  if (!account || account->directory != fs::path(run_directory).filename().string()) return std::nullopt;
  return account;
}

// Whether the run was recording again at its end: the last segment is often
// the one prepared for a timeslot that never came.
bool RecordingAtTheEnd(const testsupport::RunVerdict& verdict) {
  std::size_t n = verdict.segments.size();
  return n >= 2 && verdict.segments[n - 1].meta_frames + verdict.segments[n - 2].meta_frames > 0;
}

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A tmpfs of the test's own; tests that need one skip where mounting is not
// permitted (an unprivileged container).
class ScratchFileSystem {
 public:
  ScratchFileSystem(const std::string& path, const std::string& options) : path_(path) {
    fs::create_directories(path);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) error_ = std::strerror(errno);
  }
  ~ScratchFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool remount(const std::string& options, bool read_only) {
    return mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | (read_only ? MS_RDONLY : 0),
                 options.c_str()) == 0;
  }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string error_;
};

// Writes `bytes` of zeros to `path`, or until the file system is full.
void Fill(const std::string& path, long long bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::vector<char> block(1 << 16, 0);
  for (long long done = 0; bytes < 0 || done < bytes; done += static_cast<long long>(block.size())) {
    if (std::fwrite(block.data(), 1, block.size(), file) != block.size()) break;
  }
  std::fclose(file);
}

class Faults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::XvfbOptions options;
    options.width = 640;
    options.height = 480;
    server_ = new testsupport::XvfbServer(options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    screen_ = new MovingScreen(server_->display());
  }
  static void TearDownTestSuite() {
    delete screen_;
    delete server_;
  }
  void SetUp() override { scratch_ = MakeTempDirectory("slotrec-faults"); }
  void TearDown() override { RemoveTree(scratch_); }

  // The program in `directory` (the scratch directory by default) with
  // `args`, interrupted `seconds` after it has started.
  ChildCommand Command(const std::vector<std::string>& args, int seconds,
                       const std::string& directory = "") {
    ChildCommand command;
    command.program = SLOTREC_BINARY;
    command.argv = {"slotrec"};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.working_directory = directory.empty() ? scratch_ : directory;
    command.environment = {"DISPLAY=" + server_->display(),
                           "XDG_CONFIG_HOME=" + scratch_ + "/config"};
    command.timeout_ms = (seconds + 60) * 1000;
    command.while_running = [seconds](pid_t pid) {
      std::this_thread::sleep_for(milliseconds(seconds * 1000));
      kill(pid, SIGINT);
    };
    return command;
  }

  // Judges the one run directory in `parent`: every pair whole, and the
  // account on standard error true to what is on disk.
  testsupport::RunVerdict Judge(const ChildResult& result, const std::string& parent,
                                const std::string& rate = "") {
    std::vector<std::string> runs = testsupport::RunDirectories(parent);
    EXPECT_EQ(runs.size(), 1u);
    if (runs.empty()) return {};
    testsupport::RunVerdict verdict = testsupport::JudgeRun(runs[0], {rate});
    for (const std::string& problem : verdict.problems) ADD_FAILURE() << problem;
    std::optional<RunAccount> account = ReadAccount(result.err, runs[0]);
    EXPECT_TRUE(account.has_value()) << result.err;
    account_ = account.value_or(RunAccount{});
    EXPECT_EQ(account_.segments, static_cast<int>(verdict.segments.size())) << result.err;
    EXPECT_EQ(account_.frames, verdict.frames()) << result.err;
    // The status follows from the figures the line shows: nothing lost that
    // the line does not say.
    EXPECT_EQ(result.exit_status, RunAccountExitStatus(account_)) << result.err;
    return verdict;
  }

  static testsupport::XvfbServer* server_;
  static MovingScreen* screen_;
  std::string scratch_;
  RunAccount account_;  // as the line says
};

testsupport::XvfbServer* Faults::server_ = nullptr;
MovingScreen* Faults::screen_ = nullptr;

TEST_F(Faults, ClosedStandardStreamsAreGivenDevNullAndTheRunRecords) {
  for (std::vector<int> closed : {std::vector<int>{0, 1}, std::vector<int>{1, 2}}) {
    SCOPED_TRACE(closed[0] == 0 ? "stdin and stdout closed" : "stdout and stderr closed");
    ChildCommand command = Command({"fps=10", "slotsecs=1"}, 3);
    command.closed_descriptors = closed;
    ChildResult result = RunChild(command);
    ASSERT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::vector<std::string> runs = testsupport::RunDirectories(scratch_);
    ASSERT_EQ(runs.size(), 1u);
    testsupport::RunVerdict verdict = testsupport::JudgeRun(runs[0], {"10/1"});
    for (const std::string& problem : verdict.problems) ADD_FAILURE() << problem;
    EXPECT_GE(verdict.frames(), 15);
    if (closed[0] == 0) {
      EXPECT_TRUE(ReadAccount(result.err, runs[0]).has_value());
    }
    RemoveTree(runs[0]);
  }
}

TEST_F(Faults, EveryAcceptedFrameRateRecordsAtItsOwnRate) {
  ChildResult result = RunChild(Command({"fps=2000", "slotsecs=1"}, 3));
  ASSERT_TRUE(result.exited) << result.err;
  testsupport::RunVerdict verdict = Judge(result, scratch_, "2000/1");
  EXPECT_EQ(Count(result.out, " AVIStreamWrite failed!"), 0);
  EXPECT_GE(verdict.frames(), 30);
  EXPECT_EQ(account_.losses.failed_writes, 0);
}

TEST_F(Faults, AFileSizeLimitClosesEachSegmentThatReachesItWithLinesAndFramesOneToOne) {
  ChildCommand command = Command({"fps=20", "slotsecs=2"}, 5);
  command.file_size_limit = 150 * 1024;
  ChildResult result = RunChild(command);
  ASSERT_TRUE(result.exited) << "signal " << result.term_signal << "\n" << result.err;
  testsupport::RunVerdict verdict = Judge(result, scratch_, "20/1");
  EXPECT_EQ(result.exit_status, kExitLostRecording);
  EXPECT_GE(account_.losses.failed_writes, 1);
  EXPECT_GE(Count(result.err, "a frame could not be written"), 1);
  // One refused write per segment, not one per tick.
  EXPECT_LE(Count(result.out, " AVIStreamWrite failed!"), static_cast<int>(verdict.segments.size()));
  EXPECT_GT(verdict.frames(), 0);
}

TEST_F(Faults, AFullFileSystemClosesTheSegmentStopsNewOnesAndRecordingResumesWithSpace) {
  const std::string disk = scratch_ + "/disk";
  ScratchFileSystem tmpfs(disk, "size=40m");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.error();
  ChildCommand command = Command({"fps=20", "slotsecs=1"}, 0, disk);
  command.while_running = [&](pid_t pid) {
    std::this_thread::sleep_for(milliseconds(2500));
    Fill(disk + "/filler", -1);  // full: the segment being written breaks
    std::this_thread::sleep_for(milliseconds(2500));
    fs::remove(disk + "/filler");  // space is back
    std::this_thread::sleep_for(milliseconds(2500));
    kill(pid, SIGINT);
  };
  ChildResult result = RunChild(command);
  ASSERT_TRUE(result.exited) << result.err;
  testsupport::RunVerdict verdict = Judge(result, disk, "20/1");
  EXPECT_EQ(result.exit_status, kExitLostRecording);
  EXPECT_GE(account_.losses.failed_writes, 1);
  EXPECT_GE(account_.incomplete_files, 1u);
  EXPECT_GE(account_.losses.unprepared_segments, 1);
  EXPECT_GE(Count(result.err, "a frame could not be written"), 1) << result.err;
  EXPECT_EQ(Count(result.err, "free for the recording, less than the 16 MiB kept free"), 1) << result.err;
  EXPECT_EQ(Count(result.err, "MiB free again; new segments are opened again"), 1) << result.err;
  // Segments from before the disk filled and after space returned.
  ASSERT_GE(verdict.segments.size(), 3u);
  EXPECT_GT(verdict.segments.front().meta_frames, 0);
  EXPECT_TRUE(RecordingAtTheEnd(verdict));
}

TEST_F(Faults, NowhereToWriteIsRefusedAtStartAndRetriedWithoutSpinningDuringTheRun) {
  const std::string disk = scratch_ + "/disk";
  ScratchFileSystem tmpfs(disk, "size=40m,nr_inodes=2000");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.error();

  ASSERT_TRUE(tmpfs.remount("size=40m", true));
  ChildCommand refused = Command({"fps=10"}, 30, disk);
  refused.while_running = nullptr;
  ChildResult result = RunChild(refused);
  ASSERT_TRUE(result.exited) << result.err;
  EXPECT_EQ(result.exit_status, 1);
  std::string tail = result.out.substr(result.out.rfind("\n\n") + 2);
  EXPECT_EQ(tail.substr(0, 22), "ERROR: cannot record i") << result.out;
  EXPECT_EQ(tail.substr(tail.size() - 24), ": Read-only file system\n") << tail;
  EXPECT_TRUE(fs::is_empty(disk));

  // Writable at start; for three seconds of the run no new file can be made
  // (every inode of the file system taken), as in a directory gone bad.
  ASSERT_TRUE(tmpfs.remount("size=40m", false));
  ChildCommand command = Command({"fps=1000", "slotsecs=1"}, 0, disk);
  command.while_running = [&](pid_t pid) {
    std::this_thread::sleep_for(milliseconds(1500));
    fs::create_directory(disk + "/inodes");
    for (int i = 0;; ++i) {
      std::FILE* file = std::fopen((disk + "/inodes/" + std::to_string(i)).c_str(), "w");
      if (file == nullptr) break;
      std::fclose(file);
    }
    std::this_thread::sleep_for(milliseconds(3000));
    fs::remove_all(disk + "/inodes");
    std::this_thread::sleep_for(milliseconds(2500));
    kill(pid, SIGINT);
  };
  result = RunChild(command);
  ASSERT_TRUE(result.exited) << result.err;
  testsupport::RunVerdict verdict = Judge(result, disk);
  EXPECT_EQ(result.exit_status, kExitLostRecording);
  EXPECT_GE(account_.losses.unprepared_segments, 2);
  EXPECT_GE(Count(result.out, " AVIFileOpen failed!"), 2);
  EXPECT_EQ(Count(result.err, "could not be prepared"), 1) << result.err;
  EXPECT_EQ(Count(result.err, "segments are prepared again"), 1) << result.err;
  // No more than a tick per millisecond while there is nothing to write to.
  EXPECT_LT(Count(result.out, " ShiftAVI!"), 4000);
  EXPECT_TRUE(RecordingAtTheEnd(verdict));
}

TEST_F(Faults, AStoppedAndContinuedRecorderCatchesUpWithoutAFloodOfShifts) {
  ChildCommand command = Command({"fps=30", "slotsecs=1"}, 0);
  command.while_running = [](pid_t pid) {
    std::this_thread::sleep_for(milliseconds(1500));
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(milliseconds(2500));
    kill(pid, SIGCONT);
    std::this_thread::sleep_for(milliseconds(2500));
    kill(pid, SIGINT);
  };
  ChildResult result = RunChild(command);
  ASSERT_TRUE(result.exited) << result.err;
  Judge(result, scratch_, "30/1");
  EXPECT_EQ(result.exit_status, 0) << result.err;
  // About one tick per frame over 6.5 s, and a shift per timeslot.
  EXPECT_LT(Count(result.out, " sleepMS"), 400);
  EXPECT_LT(Count(result.out, " ShiftAVI!"), 40);
}

TEST_F(Faults, TwoRecordersStartedInTheSameMillisecondNeverShareADirectory) {
  auto command = [&] {
    ChildCommand c = Command({"fps=10", "slotsecs=1"}, 3);
    c.environment.push_back("LD_PRELOAD=" SLOTREC_PINNED_CLOCK);
    c.environment.push_back("PINNED_REALTIME=1798761599.9995");  // 2026-12-31 23:59:59.999 UTC
    c.environment.push_back("TZ=UTC");
    c.environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return c;
  };
  ChildResult first, second;
  std::thread other([&] { second = RunChild(command()); });
  first = RunChild(command());
  other.join();
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(second.exit_status, 0) << second.err;
  std::vector<std::string> runs = testsupport::RunDirectories(scratch_);
  ASSERT_EQ(runs.size(), 2u);
  // The second takes the next millisecond, across midnight and the year.
  EXPECT_EQ(fs::path(runs[0]).filename(), "2026-12-31-23-59-59-999");
  EXPECT_EQ(fs::path(runs[1]).filename(), "2027-01-01-00-00-00-000");
  for (const std::string& run : runs) {
    testsupport::RunVerdict verdict = testsupport::JudgeRun(run, {"10/1"});
    for (const std::string& problem : verdict.problems) ADD_FAILURE() << run << ": " << problem;
    EXPECT_GE(verdict.frames(), 10) << run;
  }
}

// Every finished pair reaches the disk, and so does every directory entry
// a preparation makes, from the segment thread: a power cut can then take
// only the open segments. Seen with strace: each fsync with its file's
// name and its thread; the main thread flushes only the first preparation's
// entries and, once stopped, the segments the teardown finishes.
TEST_F(Faults, FinishedPairsAndNewEntriesAreFlushedOffTheFramePath) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string trace = scratch_ + "/fsync.trace";
  ChildCommand command = Command({"fps=10", "slotsecs=1"}, 0);
  command.program = "/usr/bin/strace";
  command.argv = {"strace", "-f", "-y", "-ttt", "-qq", "-e", "trace=fsync,fdatasync", "-o", trace,
                  SLOTREC_BINARY, "fps=10", "slotsecs=1"};
  // LeakSanitizer cannot work in a traced process (a sanitized build).
  command.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
  double stopped_at = 0;
  command.while_running = [&stopped_at](pid_t strace_pid) {
    std::this_thread::sleep_for(milliseconds(4500));
    // The recorder is strace's child.
    std::ifstream children("/proc/" + std::to_string(strace_pid) + "/task/" +
                           std::to_string(strace_pid) + "/children");
    pid_t recorder = 0;
    children >> recorder;
    stopped_at = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    if (recorder > 0) kill(recorder, SIGINT);
  };
  ChildResult result = RunChild(command);
  ASSERT_TRUE(result.exited) << result.err;
  testsupport::RunVerdict verdict = Judge(result, scratch_, "10/1");
  ASSERT_GE(verdict.segments.size(), 4u);

  std::map<std::string, int> flushes;  // by file name ("." for the directory)
  pid_t main_thread = 0;
  std::ifstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    // 1234 1733712345.123456 fsync(5</tmp/.../2026-.../000-01.avi>) = 0
    pid_t tid = 0;
    double when = 0;
    char call[16] = "";
    if (std::sscanf(line.c_str(), "%d %lf %15[a-z](", &tid, &when, call) != 3) continue;
    const std::size_t open = line.find('<'), close = line.find('>');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string path = line.substr(open + 1, close - open - 1);
    const bool directory = testsupport::RunDirectories(scratch_).front() == path;
    const std::string name = directory ? "." : fs::path(path).filename().string();
    ++flushes[name];
    if (main_thread == 0) main_thread = tid;  // the first preparation's, at the start
    if (tid == main_thread && flushes["."] > 1) {
      EXPECT_GE(when, stopped_at) << "a flush on the main thread while it recorded: " << line;
    }
  }
  // One flush per new pair's entries, one per finished file.
  EXPECT_EQ(flushes["."], static_cast<int>(verdict.segments.size()));
  for (const testsupport::SegmentVerdict& segment : verdict.segments) {
    EXPECT_EQ(flushes[segment.stem + ".avi"], 1) << segment.stem;
    EXPECT_EQ(flushes[segment.stem + ".meta"], 1) << segment.stem;
  }
}

// A person at the terminal (standard error a pseudo-terminal, standard
// output a file, as with `slotrec > run.log`) sees one status line,
// rewritten in place about once a second and ended before the account;
// with standard error not a terminal there is none.
TEST_F(Faults, AStatusLineShowsOnATerminalOnly) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script (util-linux) is not installed";
  const std::string typescript = scratch_ + "/typescript";
  ChildCommand command = Command({}, 0);
  command.program = "/usr/bin/script";
  command.argv = {"script", "-q", "-e", "-c",
                  std::string("timeout -s INT 4.5 ") + SLOTREC_BINARY + " fps=10 > run.log", typescript};
  command.while_running = nullptr;
  ChildResult result = RunChild(command);
  ASSERT_TRUE(result.exited) << result.err;
  std::string screen = testsupport::ReadWholeFile(typescript);
  const std::size_t account = screen.find("slotrec: 20");
  ASSERT_NE(account, std::string::npos) << screen;
  const std::string before = screen.substr(0, account);
  // Each rewrite starts with a carriage return; the last is ended by a line end.
  int rewrites = 0;
  for (std::size_t at = before.find("\rframe="); at != std::string::npos; at = before.find("\rframe=", at + 1)) {
    ++rewrites;
  }
  EXPECT_GE(rewrites, 3) << before;
  EXPECT_LE(rewrites, 6) << before;
  EXPECT_EQ(before.substr(before.size() - 2), "\r\n") << before;
  EXPECT_NE(before.find(" fps="), std::string::npos) << before;
  EXPECT_NE(before.find(" time=00:00:0"), std::string::npos) << before;
  EXPECT_NE(before.find(" lost=0 free="), std::string::npos) << before;
  EXPECT_EQ(testsupport::ReadWholeFile(scratch_ + "/run.log").find("frame="), std::string::npos);

  ChildResult plain = RunChild(Command({"fps=10"}, 2));
  ASSERT_TRUE(plain.exited) << plain.err;
  EXPECT_EQ(plain.err.find("frame="), std::string::npos) << plain.err;
}

TEST_F(Faults, AHangUpIgnoredByNohupStaysIgnored) {
  ChildCommand command = Command({"fps=10", "slotsecs=1"}, 0);
  command.ignored_signals = {SIGHUP};
  command.while_running = [](pid_t pid) {
    std::this_thread::sleep_for(milliseconds(1500));
    kill(pid, SIGHUP);
    std::this_thread::sleep_for(milliseconds(1500));
    kill(pid, SIGINT);
  };
  ChildResult result = RunChild(command);
  ASSERT_TRUE(result.exited) << result.err;
  Judge(result, scratch_, "10/1");
  EXPECT_EQ(account_.stop, RunStop::kInterrupt);
}

}  // namespace
