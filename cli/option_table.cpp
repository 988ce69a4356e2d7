// The program's option table and the range check of its recording options.
#include "cli/option_table.h"

#include <cstdio>

namespace {

enum Row { kFpsRow = 0, kSlotsecsRow = 1 };

}  // namespace

void FillOptionTable(arg_spec (&table)[kOptionCount], OptionValues* values) {
  table[0] = {"fps=", "fps", arg_int, &values->fps, "20", "\t\t wanted FPS"};
  table[1] = {"slotsecs=", "slotsecs", arg_int, &values->slotsecs, "2",
              "\t\t Seconds per timeslot"};
  table[2] = {"withmouse=", "<on/off>", arg_bool, &values->withmouse, "on",
              "\t\t Record mouse  cursor"};
  table[3] = {"-verbose", nullptr, arg_lit, &values->verbose, "0",
              "\t\t specifies verbose output"};
  table[4] = {"-totalcapture", nullptr, arg_lit, &values->totalcapture, "0",
              "\t\t Capture All Monitors! Handle with care!"};
  table[5] = {"debug=", "<on/off>", arg_bool, &values->debug, "off", nullptr};
}

int CheckRecordingRanges(const OptionValues& values, int argc, const char* const* argv,
                         const arg_spec (&table)[kOptionCount], char* message, char* mark) {
  int row;
  const char* text;
  if (values.fps < kFpsMin || values.fps > kFpsMax) {
    row = kFpsRow;
    text = cli_text::kFpsRange;
  } else if (values.slotsecs < kSlotsecsMin || values.slotsecs > kSlotsecsMax) {
    row = kSlotsecsRow;
    text = cli_text::kSlotsecsRange;
  } else {
    return 1;
  }
  std::snprintf(message, arg_text_size, "%s", text);
  arg_mark_value(argc, argv, table, kOptionCount, row, mark);
  return 0;
}
