// The files of a run directory, sorted into segment pairs by the time their
// timeslot starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace runfiles {

struct SegmentFiles {
  std::string stem;        // "000-02"
  std::int64_t start_ms = 0;  // start of its timeslot after the start of recording
  bool has_avi = false;
  bool has_meta = false;
  bool avi_regular = false;   // a regular file (not a directory, FIFO, …)
  bool meta_regular = false;
  std::int64_t avi_bytes = 0;
  std::int64_t meta_bytes = 0;
  std::string avi_path;    // directory/stem.avi (set even when missing)
  std::string meta_path;
};

struct RunListing {
  // Why the path is no run directory (it is missing, no directory, cannot
  // be read, or holds no segment file); empty when it is one.
  std::string not_run;
  std::vector<SegmentFiles> segments;    // by start time
  std::vector<std::string> other_files;  // names that are no segment file, sorted
};

// Lists `directory`; never follows into subdirectories.
RunListing ListRun(const std::string& directory);

// The texts of `not_run` that are not the system's own.
inline constexpr const char* kNoSuchDirectory = "no such directory";
inline constexpr const char* kNoSegments =
    "no segment files in it (NNN-SS.avi and NNN-SS.meta): not a run directory";

// The timeslot length the segment names show: the greatest common divisor
// of the gaps between the starts of consecutive segments (a run of two or
// more segments in which no timeslot is missing shows it exactly); 0 when
// there are fewer than two segments.
std::int64_t SlotMsFromNames(const std::vector<SegmentFiles>& segments);

}  // namespace runfiles
