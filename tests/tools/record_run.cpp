#include "tests/tools/record_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"

namespace tooltest {

std::string RecordRun(const RecordRequest& request, ChildResult* result_out) {
  std::filesystem::create_directories(request.parent);
  ChildCommand command;
  command.program = SLOTREC_BINARY;
  command.argv = {"slotrec", "fps=10", "slotsecs=1"};
  command.working_directory = request.parent;
  command.environment = {"DISPLAY=" + request.display, "XDG_CONFIG_HOME=" + request.config};
  command.signal_when_stdout_has = request.stop_after;
  command.signal_grace_ms = request.grace_ms;
  command.signal_number = request.signal_number;
  command.file_size_limit = request.file_size_limit;
  command.timeout_ms = 60000;
  if (request.busy) {
    const std::string display = request.display;
    command.while_running = [display](pid_t) {
      testsupport::X11Painter painter(display);
      std::mt19937 random(7);
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
      while (painter.ok() && std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 16; ++i)
          painter.fill(static_cast<int>(random() % 300), static_cast<int>(random() % 220), 24, 24,
                       random() & 0xffffff);
        painter.sync();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    };
  }
  ChildResult result = RunChild(command);
  if (result_out != nullptr) *result_out = result;
  EXPECT_TRUE(result.signal_sent) << request.parent << "\n" << result.err;
  std::vector<std::string> runs = testsupport::RunDirectories(request.parent);
  EXPECT_EQ(runs.size(), 1u) << request.parent << "\n" << result.err;
  return runs.empty() ? request.parent : runs[0];
}

}  // namespace tooltest
