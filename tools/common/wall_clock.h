// The wall clock of a run. The recorder names the run's directory after the
// local time at which the run starts, to the millisecond, and writes every
// frame's reading of its millisecond timer into the .meta files; so a frame
// was taken at the directory's time plus the timer's count from the start
// of recording to the frame. The name carries no time zone: it is read in
// the local time zone of the machine that reads it (TZ says another).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace runfiles {

// The run's start as ms since 1970-01-01 UTC, from the name of `directory`
// (its last component, so "copy/2026-12-08-09-06-56-268/" works); nothing
// when the name is not a run's name.
std::optional<std::int64_t> RunStartFromName(const std::string& directory);

// A time (ms since 1970 UTC) in the local time zone, to the millisecond:
// "2026-12-08 09:06:56.268".
std::string FormatLocalTime(std::int64_t epoch_ms);
// The same in ISO 8601 with the zone's offset: "2026-12-08T09:06:56.268+01:00".
std::string FormatIsoLocal(std::int64_t epoch_ms);
// Only the time of day, local: "09:06:56" (with ".268" when `with_ms`).
std::string FormatLocalTimeOfDay(std::int64_t epoch_ms, bool with_ms);
// In UTC, as FFmpeg's muxers take a creation time: "2026-12-08T08:06:56.268000Z".
std::string FormatIsoUtc(std::int64_t epoch_ms);

}  // namespace runfiles
