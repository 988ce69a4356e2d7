// The names of a run's files: the run directory named after its local start
// time, and the segment pairs named after the minutes and seconds at which
// their timeslot starts ("000-02.avi" and "000-02.meta"), exactly as the
// recorder forms them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace runfiles {

// The start of the timeslot a segment stem names, in ms after the start of
// recording ("001-30" gives 90000); nothing when `stem` is not a name the
// recorder writes (three or more digits of minutes without a needless
// leading zero, a hyphen, two digits of seconds below 60).
std::optional<std::int64_t> SegmentStartMs(std::string_view stem);

// The stem of the segment whose timeslot starts `start_ms` after the start
// of recording ("000-02" for 2000), formed by the recorder's own name format.
std::string SegmentStem(std::int64_t start_ms);

// True for a directory name like 2026-12-08-09-05-07-042.
bool LooksLikeRunName(std::string_view name);

}  // namespace runfiles
