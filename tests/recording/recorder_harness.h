// Runs a recorder on the fake platform in a scratch directory of its own,
// with the recorder's own cook thread following the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/screen_grabber.h"
#include "recording/recorder.h"
#include "tests/fake/fake_platform.h"

// A scratch directory under the temporary directory, removed with everything
// in it when the owner goes, whether its test passed or failed.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class RecorderHarness : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // How cook cycles run: on the recorder's cook thread, started by
  // StartRecorder and following the virtual clock, or only when the test
  // calls CookCycle itself.
  enum class Cook { kThread, kByHand };

  // Opens the grabber on a small fake screen and starts the recorder at
  // virtual time `start`, with standard output captured from here on. The
  // cook thread's first cycle has run when this returns.
  void Start(int32_t slotsecs, int32_t fps, DWORD start = 1000, Cook cook = Cook::kThread);
  // One tick; a tick that takes no virtual time at all is charged 1 ms, as a
  // real one would be.
  void Tick();
  void TickUntilShifts(int shifts);
  // Stops the recorder (finalising everything) and returns what was logged
  // since Start, line by line.
  std::vector<std::string> Finish();
  std::vector<std::string> TakeLog();

  Recorder recorder;
  ScreenGrabber grabber{};
  int shifts = 0;

 private:
  std::filesystem::path old_directory_;
  std::unique_ptr<ScratchDirectory> scratch_;
  bool capturing_ = false;
  bool started_ = false;
  bool finished_ = false;
  bool cook_thread_ = false;
  std::string log_so_far_;
};

std::string ReadFile(const std::string& name);
// Number of frame lines in a .meta file.
int FrameLines(const std::string& meta_name);
std::vector<std::string> SplitLines(const std::string& text);
// The lines of `log` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix);
