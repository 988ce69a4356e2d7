// slotrec-check --repair: makes whole what a recorder that was killed or
// lost its power left in a run directory. An AVI file it never completed
// is rebuilt from its chunks (cut after the last whole chunk, its index
// written, its sizes and counts filled in; headers that were never written
// at all are taken from a completed AVI of the same run), its .meta is
// matched to it frame for frame and closed with its footer. Every file is
// replaced only by a whole, flushed copy renamed over it; a file the repair
// does not understand is left as it is and named.
#pragma once

#include <cstdio>
#include <string>

namespace check {

struct RepairSummary {
  int repaired = 0;  // files replaced by their repaired copy
  int left = 0;      // files left as they are because they are not understood
  int failed = 0;    // repairs that could not be written (the file is as it was)
};

// Repairs the run in `directory` and writes one line per file it repaired,
// left alone or failed to write to `out` (or that nothing needed repair).
// Says nothing of a path that is no run directory: the check says why.
// Called on the main thread.
RepairSummary RepairRun(const std::string& directory, std::FILE* out);

}  // namespace check
