// The program's six options, their variables, and every text the entry
// point prints but the account of a run (formats/run_account.h).
#pragma once

#include <cstdint>

#include "options/argtable.h"

// The option values, one per table row, filled by the scan.
struct OptionValues {
  int32_t fps;
  int32_t slotsecs;
  int32_t withmouse;
  int32_t verbose;
  int32_t totalcapture;
  int32_t debug;  // scanned and validated; nothing reads it
};

inline constexpr int kOptionCount = 6;

// The rows, in order: fps=, slotsecs=, withmouse=, -verbose, -totalcapture,
// debug=. Each row points into *values, which must outlive the table.
void FillOptionTable(arg_spec (&table)[kOptionCount], OptionValues* values);

// The recording options' ranges. The frame cap fps * 360000 and the timeslot
// length slotsecs * 1000 must stay within 32 bits, and neither may be zero.
inline constexpr int32_t kFpsMin = 1;
inline constexpr int32_t kFpsMax = 5965;
inline constexpr int32_t kSlotsecsMin = 1;
inline constexpr int32_t kSlotsecsMax = 2147483;

// After a successful scan of argv against `table`: checks the ranges above.
// Returns 1, or 0 with a message and, under the offending value of the
// command line, a mark (both buffers of arg_text_size bytes).
int CheckRecordingRanges(const OptionValues& values, int argc, const char* const* argv,
                         const arg_spec (&table)[kOptionCount], char* message, char* mark);

// Everything the entry point prints, in order of appearance.
namespace cli_text {
inline constexpr char kBanner[] = "Screen Recording\n";
inline constexpr char kUsageFormat[] = "Usage: %s %s\n";
inline constexpr char kGlossaryFormat[] = "%s\n";
inline constexpr char kErrorLineFormat[] = "ERROR: %s\n";
inline constexpr char kErrorMarkFormat[] = "       %s %s\n";  // as wide as "ERROR: "
inline constexpr char kFpsRange[] = "fps=fps argument out of range, allowed 1 to 5965";
inline constexpr char kSlotsecsRange[] =
    "slotsecs=slotsecs argument out of range, allowed 1 to 2147483";
// A run that cannot record says why.
inline constexpr char kNoCompressor[] =
    "ERROR: no video compressor with \"x264vfw\" in its description is installed\n";
inline constexpr char kNoScreen[] = "ERROR: cannot open the screen for capture\n";
inline constexpr char kNoDirectory[] = "ERROR: cannot record into %s: %s\n";
// The account line at the end of a run is in formats/run_account.h.
}  // namespace cli_text
