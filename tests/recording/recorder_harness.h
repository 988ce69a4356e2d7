// Runs a recorder on the fake platform in a scratch directory, with the cook
// cycles interleaved on the virtual clock as the cook thread would run them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capture/screen_grabber.h"
#include "recording/recorder.h"
#include "tests/fake/fake_platform.h"

class RecorderHarness : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens the grabber on a small fake screen and sets the recorder up at
  // virtual time `start`, with standard output captured from here on.
  void Start(int32_t slotsecs, int32_t fps, DWORD start = 1000);
  // Runs the cook cycles that fall due up to `until` (virtual ms).
  void RunDueCookCycles(DWORD until);
  // One tick, with the cook cycles that fall due during it; a tick that
  // takes no virtual time at all is charged 1 ms, as a real one would be.
  void Tick();
  void TickUntilShifts(int shifts);
  // Stops the recorder (finalising everything) and returns what was logged
  // since Start, line by line.
  std::vector<std::string> Finish();
  std::vector<std::string> TakeLog();

  Recorder recorder;
  ScreenGrabber grabber{};
  bool cook_running = true;  // false: the cook thread is late
  DWORD next_cook = 0;
  int shifts = 0;

 private:
  std::filesystem::path old_directory_;
  std::filesystem::path scratch_;
  bool capturing_ = false;
  bool started_ = false;
  bool finished_ = false;
  std::string log_so_far_;
};

std::string ReadFile(const std::string& name);
// Number of frame lines in a .meta file.
int FrameLines(const std::string& meta_name);
std::vector<std::string> SplitLines(const std::string& text);
// The lines of `log` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix);
