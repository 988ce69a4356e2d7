// slotrec: records the screen into a new directory of timeslot segments.
//
// The entry point prints the banner and usage, reads the command line
// against the option table and hands the recording options to the run.
// Exit status: 1 after a command-line error or when there is nothing to
// record with (no compressor, no screen, nowhere to write), 0 after a run
// that lost nothing, 3 after one that lost frames or segments to errors.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "cli/option_table.h"
#include "cli/recording_run.h"
#include "options/argtable.h"
#include "platform/platform.h"

namespace {

void PrintError(const char* cmdline_copy, const char* mark, const char* message) {
  std::printf(cli_text::kErrorLineFormat, cmdline_copy);
  std::printf(cli_text::kErrorMarkFormat, mark, message);
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // What Windows gives a console program without asking: open standard
  // streams, write errors instead of signals, and (for a run of hours)
  // memory that stays flat. See kernel_api.h.
  PrepareProcess(kProcessStandardStreams | kProcessWriteErrors | kProcessFlatMemory);
#endif
  SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);

  OptionValues values{};
  arg_spec table[kOptionCount];
  FillOptionTable(table, &values);

  // A program started without even its own name still gets a usage line.
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  std::printf("%s", cli_text::kBanner);
  std::printf(cli_text::kUsageFormat, program, arg_usage_line(table, kOptionCount));
  std::printf(cli_text::kGlossaryFormat, arg_help_text(table, kOptionCount));

  char cmdline_copy[arg_text_size];
  char error_message[arg_text_size];
  char error_mark[arg_text_size];
  if (!arg_scan_command_line(argc, argv, table, kOptionCount, cmdline_copy, error_message,
                             error_mark) ||
      !CheckRecordingRanges(values, argc, argv, table, error_message, error_mark)) {
    PrintError(cmdline_copy, error_mark, error_message);
    return 1;
  }

  if (values.verbose != 0) arg_print_table(stdout, table, kOptionCount);
  int status = kExitLostRecording;
  // Caught here so that the run's teardown unwinds and finalises what it can.
  try {
    status = RunRecording(values.fps, values.slotsecs, values.withmouse, values.totalcapture);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "slotrec: the recording ended on an error: %s\n", error.what());
  }
  if (!RecordingThreadsEnded()) {
    // A thread stuck in a file operation must not see the process torn down
    // around it.
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
