// Runs build/slotrec in a fresh temporary directory per case and compares
// standard output byte for byte, the exit status and the directories made.
//
// A valid command line starts a recording of a private Xvfb screen. The
// valid cases wait for the recorder's first log line, then interrupt the
// program; everything before that line must be exactly the expected text
// (the table dump only with -verbose), and the program must end with
// status 0.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/integration/expected_output.h"
#include "tests/support/process.h"
#include "tests/support/text_shape.h"
#include "tests/support/xvfb.h"

namespace {

// Valid command lines record: every run gets a small private screen.
testsupport::XvfbServer& Screen() {
  static testsupport::XvfbServer server([] {
    testsupport::XvfbOptions options;
    options.width = 320;
    options.height = 240;
    return options;
  }());
  return server;
}

using expected_output::Dump;
using expected_output::Header;

// The two error lines: the command line, then the mark and the message.
std::string ErrorLines(const std::string& copy, int blanks, int carets,
                       const std::string& message) {
  return "ERROR: " + copy + "\n       " + std::string(blanks, ' ') + std::string(carets, '^') +
         " " + message + "\n";
}

struct Outcome {
  ChildResult child;
  std::vector<std::string> made;  // what the working directory holds afterwards
  bool made_directories_only = true;
};

// Runs the binary with argv {program, args...} in a new empty directory.
// When signal_after is given, the run is interrupted (if still running)
// once its output holds that text.
Outcome RunSlotrec(const std::vector<std::string>& args, const std::string& signal_after = "",
                   const std::string& program = "slotrec") {
  const std::string directory = MakeTempDirectory("slotrec-cli");
  EXPECT_FALSE(directory.empty());
  ChildCommand command;
  command.program = SLOTREC_BINARY;
  command.argv.push_back(program);
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.working_directory = directory;
  command.environment = {"DISPLAY=" + Screen().display(), "XDG_CONFIG_HOME=" + directory + "/.config"};
  command.signal_when_stdout_has = signal_after;
  command.signal_number = SIGINT;
  command.signal_grace_ms = 300;
  command.timeout_ms = 120000;
  Outcome outcome;
  outcome.child = RunChild(command);
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename() == ".config") continue;  // the settings store
    outcome.made.push_back(entry.path().filename().string());
    outcome.made_directories_only &= entry.is_directory();
  }
  RemoveTree(directory);
  return outcome;
}

void ExpectRejected(const std::vector<std::string>& args, const std::string& expected_out,
                    const std::string& program = "slotrec") {
  Outcome run = RunSlotrec(args, "", program);
  ASSERT_TRUE(run.child.started) << run.child.start_error;
  EXPECT_EQ(run.child.out, expected_out);
  EXPECT_TRUE(run.child.exited);
  EXPECT_EQ(run.child.exit_status, 1);
  EXPECT_TRUE(run.made.empty()) << "made " << run.made.front();
}

void ExpectRecording(const std::vector<std::string>& args, const std::string& expected_before_log,
                     const std::string& program = "slotrec") {
  Outcome run = RunSlotrec(args, expected_output::kFirstLogLine, program);
  ASSERT_TRUE(run.child.started) << run.child.start_error;
  EXPECT_EQ(expected_output::BeforeLog(run.child.out), expected_before_log);
  EXPECT_TRUE(run.child.exited) << "signal " << run.child.term_signal;
  EXPECT_EQ(run.child.exit_status, 0);
  ASSERT_EQ(run.made.size(), 1u);
  EXPECT_TRUE(run.made_directories_only);
  EXPECT_TRUE(testsupport::HasShape(run.made[0], "9999-99-99-99-99-99-999"))
      << run.made[0];
}

TEST(CommandLine, ScanErrorsPrintTheLineTheMarkAndTheMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string copy;
    int blanks, carets;
    std::string message;
  } cases[] = {
      {{"fps=abc"}, "slotrec fps=abc ", 12, 1, "invalid fps=fps argument"},
      {{"fps="}, "slotrec fps= ", 12, 1, "invalid fps=fps argument"},
      {{"fps=0x"}, "slotrec fps=0x ", 12, 1, "invalid fps=fps argument"},
      {{"fps=30", "fps=40"}, "slotrec fps=30 fps=40 ", 15, 4, "repeat tag"},
      {{"fps=08"}, "slotrec fps=08 ", 13, 1, "unexpected argument"},
      {{"fps=30x"}, "slotrec fps=30x ", 14, 1, "unexpected argument"},
      {{"fps=30.5"}, "slotrec fps=30.5 ", 14, 2, "unexpected argument"},
      {{"-verbosely"}, "slotrec -verbosely ", 16, 2, "unexpected argument"},
      {{"hello", "fps=30"}, "slotrec hello fps=30 ", 8, 5, "unexpected argument"},
      {{"withmouse=o"}, "slotrec withmouse=o ", 18, 1, "invalid withmouse=<on/off> argument"},
      {{"withmouse=1"}, "slotrec withmouse=1 ", 18, 1, "invalid withmouse=<on/off> argument"},
      {{"withmouse=offf"}, "slotrec withmouse=offf ", 18, 1,
       "invalid withmouse=<on/off> argument"},
      {{"debug=maybe"}, "slotrec debug=maybe ", 14, 1, "invalid debug=<on/off> argument"},
      // An entry with a blank is quoted, and the marks after it stay aligned.
      {{"a b", "fps=x"}, "slotrec 'a b' fps=x ", 18, 1, "invalid fps=fps argument"},
      {{"fps=30", "a b"}, "slotrec fps=30 'a b' ", 15, 2, "unexpected argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.copy);
    ExpectRejected(c.args, Header("slotrec") + ErrorLines(c.copy, c.blanks, c.carets, c.message));
  }
}

TEST(CommandLine, RecordingOptionsOutOfRange) {
  const std::string fps = "fps=fps argument out of range, allowed 1 to 5965";
  const std::string slotsecs = "slotsecs=slotsecs argument out of range, allowed 1 to 2147483";
  struct Case {
    std::vector<std::string> args;
    std::string copy;
    int blanks, carets;
    std::string message;
  } cases[] = {
      {{"fps=0"}, "slotrec fps=0 ", 12, 1, fps},
      {{"fps=-1"}, "slotrec fps=-1 ", 12, 2, fps},
      {{"fps=5966"}, "slotrec fps=5966 ", 12, 4, fps},
      {{"fps=99999999999"}, "slotrec fps=99999999999 ", 12, 11, fps},
      {{"fps=", "0"}, "slotrec fps= 0 ", 13, 1, fps},
      {{"slotsecs=5fps=0"}, "slotrec slotsecs=5fps=0 ", 22, 1, fps},
      {{"slotsecs=0"}, "slotrec slotsecs=0 ", 17, 1, slotsecs},
      {{"slotsecs=2147484"}, "slotrec slotsecs=2147484 ", 17, 7, slotsecs},
      {{"slotsecs=-0x10", "fps=20"}, "slotrec slotsecs=-0x10 fps=20 ", 17, 5, slotsecs},
      // fps= is taken out of slotsecs='s entry first; slotsecs= then reads on.
      {{"slotsecs=fps=30", "0"}, "slotrec slotsecs=fps=30 0 ", 24, 1, slotsecs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.copy);
    ExpectRejected(c.args, Header("slotrec") + ErrorLines(c.copy, c.blanks, c.carets, c.message));
  }
}

TEST(CommandLine, TooLongIsRefusedWithoutOverflow) {
  std::string copy = "slotrec " + std::string(188, 'x');
  ExpectRejected({std::string(200, 'x')},
                 Header("slotrec") + "ERROR: " + copy + "...\n" +
                     "        command line longer than 199 characters\n");
}

TEST(CommandLine, ProgramNameAsGiven) {
  ExpectRejected({"fps=x"}, Header("my slotrec") + ErrorLines("'my slotrec' fps=x ", 17, 1,
                                                              "invalid fps=fps argument"),
                 "my slotrec");
  // A tag inside the program's own path is not an option.
  ExpectRecording({}, Header("/opt/fps=0/slotrec"), "/opt/fps=0/slotrec");
}

TEST(Recording, ValidCommandLinesMakeOneDatedDirectory) {
  ExpectRecording({}, Header("slotrec"));
  ExpectRecording({""}, Header("slotrec"));
  ExpectRecording({"fps=1", "slotsecs=1", "withmouse=n"}, Header("slotrec"));
  ExpectRecording({"fps=5965", "slotsecs=2147483", "debug=TRUE"}, Header("slotrec"));
}

TEST(Recording, VerboseDumpFollowsTheGlossary) {
  ExpectRecording({"-verbose"}, Header("slotrec") + Dump({20, 2, 1, 1, 0, 0}));
  ExpectRecording({"-verbose", "fps=0x1E", "slotsecs=", "5", "withmouse=of", "debug=Y",
                   "-totalcapture"},
                  Header("slotrec") + Dump({30, 5, 0, 1, 1, 1}));
  ExpectRecording({"slotsecs=036fps=7", "-verbose"}, Header("slotrec") + Dump({7, 30, 1, 1, 0, 0}));
}

}  // namespace
