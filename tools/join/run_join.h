// slotrec-join: the segments of a run in one file, by stream copy, every
// frame stamped with its capture time from the .meta files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace join {

struct JoinOptions {
  std::string run_directory;
  std::string out;                     // .mp4: MP4; anything else: Matroska
  std::optional<std::int64_t> from_ms;  // after the run's first frame
  std::optional<std::int64_t> to_ms;
};

// Joins the run into `out` and says on standard error what it did, one line
// per event. Returns the exit status: 0 every frame joined at its capture
// time, 3 joined but segments left out or joined at the nominal rate, 1
// nothing written, 2 not a run directory. `out` appears only when the
// whole file is written (it is written beside it first).
int JoinRun(const JoinOptions& options);

}  // namespace join
