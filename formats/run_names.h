// The names of a run's files: the run's directory, named after the local
// time at which the run started, to the millisecond
// ("2026-12-08-09-05-07-042"), and in it the segment pairs, named after the
// minutes and seconds at which their timeslot starts after the start of
// recording ("000-02.avi" and "000-02.meta").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace run_name {
inline constexpr char kDirectoryFormat[] = "%04d-%02d-%02d-%02d-%02d-%02d-%03d";
inline constexpr char kAviFormat[] = "%03d-%02d.avi";
inline constexpr char kMetaFormat[] = "%03d-%02d.meta";
inline constexpr char kAviExtension[] = ".avi";
inline constexpr char kMetaExtension[] = ".meta";
}  // namespace run_name

// The run directory's name for a local start time.
void FormatRunName(char* out, std::size_t capacity, int year, int month, int day, int hour,
                   int minute, int second, int millisecond);

// True for a name FormatRunName gives (for years of four digits).
bool LooksLikeRunName(std::string_view name);

// The local date and time a run directory's name gives.
struct RunNameTime {
  int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Reads a name FormatRunName gives back into its local time; nothing when
// `name` has not that shape or names no real date and time (a 13th month,
// 30 February, hour 24, minute or second 60).
std::optional<RunNameTime> ParseRunName(std::string_view name);

// A segment file's name from the minutes and seconds of its start,
// `start_ms` after the start of recording, with run_name::kAviFormat or
// kMetaFormat (kAviFormat gives 001-00.avi for 60000).
void FormatSegmentName(char* out, std::size_t capacity, std::uint32_t start_ms,
                       const char* name_format);

// The stem of the segment whose timeslot starts `start_ms` after the start
// of recording ("000-02" for 2000).
std::string SegmentStem(std::int64_t start_ms);

// The start of the timeslot a segment stem names, in ms ("001-30" gives
// 90000); nothing when `stem` is not a name the recorder writes (three or
// more digits of minutes without a needless leading zero, a hyphen, two
// digits of seconds below 60, no more minutes than the 32-bit timer reaches).
std::optional<std::int64_t> SegmentStartMs(std::string_view stem);
