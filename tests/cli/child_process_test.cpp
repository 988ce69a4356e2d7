// RunChild: what it passes to the child, what it captures, and how it ends a
// child that does not end by itself. The children are /bin/sh scripts.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/process.h"

namespace {

ChildCommand Shell(const std::string& script) {
  ChildCommand command;
  command.program = "/bin/sh";
  command.argv = {"/bin/sh", "-c", script};
  return command;
}

TEST(RunChild, PassesArgvDirectoryAndEnvironmentAndCapturesBothOutputs) {
  const std::string directory = MakeTempDirectory("run-child");
  ASSERT_FALSE(directory.empty());
  ChildCommand command = Shell(
      "printf '%s|%s|%s|' \"$0\" \"$RUN_CHILD_X\" \"${HOME-unset}\"; pwd; echo oops >&2; exit 3");
  command.argv.push_back("name0");
  command.working_directory = directory;
  command.environment = {"RUN_CHILD_X=x y", "HOME"};
  ChildResult result = RunChild(command);
  const std::string where = std::filesystem::canonical(directory).string();
  RemoveTree(directory);
  EXPECT_FALSE(std::filesystem::exists(directory));
  ASSERT_TRUE(result.started) << result.start_error;
  EXPECT_EQ(result.out, "name0|x y|unset|" + where + "\n");
  EXPECT_EQ(result.err, "oops\n");
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_status, 3);
  EXPECT_FALSE(result.signal_sent);
}

TEST(RunChild, SignalsOnceTheTextAppearsUnlessTheChildEndsFirst) {
  ChildCommand command = Shell("echo starting; echo ready; exec sleep 600");
  command.signal_when_stdout_has = "ready\n";
  command.signal_number = SIGTERM;
  ChildResult result = RunChild(command);
  EXPECT_TRUE(result.signal_sent);
  EXPECT_TRUE(result.signaled);
  EXPECT_EQ(result.term_signal, SIGTERM);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.out, "starting\nready\n");

  // Given time to end by itself, a child that does so is not signalled.
  command = Shell("echo ready");
  command.signal_when_stdout_has = "ready";
  command.signal_grace_ms = 600000;
  result = RunChild(command);
  EXPECT_FALSE(result.signal_sent);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_status, 0);
}

TEST(RunChild, TimeLimitAndMissingProgram) {
  ChildCommand command = Shell("echo partial; exec sleep 600");
  command.timeout_ms = 3000;  // ample for the shell to print first
  ChildResult result = RunChild(command);
  EXPECT_TRUE(result.timed_out);
  EXPECT_TRUE(result.signaled);
  EXPECT_EQ(result.term_signal, SIGKILL);
  EXPECT_EQ(result.out, "partial\n");

  command = ChildCommand{};
  command.program = "/nonexistent/program";
  result = RunChild(command);
  EXPECT_FALSE(result.started);
  EXPECT_NE(result.start_error.find("/nonexistent/program"), std::string::npos);
}

}  // namespace
