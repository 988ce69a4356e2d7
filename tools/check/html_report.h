// slotrec-check's HTML report of one run: a single file with everything in
// it (inline CSS, SVG charts, JPEG pictures as data: URIs), which a browser
// opens offline without a request to anywhere. It shows the summary and the
// verdict, the run's timeslots on a time line in wall-clock time, the
// intervals between frames, pictures of the screen through the run and a
// heat map of the cursor's positions.
#pragma once

#include <cstdint>
#include <string>

#include "tools/check/run_check.h"

namespace check {

struct HtmlOptions {
  // Where the recorded frame's top-left pixel lies in screen coordinates:
  // (0, 0) but for a -totalcapture run whose desktop reaches left of or
  // above the primary monitor (the .meta positions are screen coordinates).
  std::int32_t origin_x = 0, origin_y = 0;
};

// Writes the report of `run` (checked with CheckOptions::keep_frames) to
// `path`, beside it first and renamed when complete. False with `error`
// set when it cannot be written. Decodes one frame of each segment whose
// picture it shows, and no other.
bool WriteHtmlReport(const std::string& path, const RunCheck& run, const HtmlOptions& options,
                     std::string* error);

}  // namespace check
