// How the tools write times, sizes and JSON strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace runfiles {

// printf's formatting into a string of whatever length it takes.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A time span in ms as hours, minutes, seconds and ms: "00:10:00.000"
// ("-00:00:01.250" below zero; hours grow past two digits).
std::string FormatClock(std::int64_t ms);

// A size in bytes the way a person reads it: "46 B", "93.2 KiB", "9.6 MiB".
std::string FormatSize(std::int64_t bytes);

// A time given on a command line, in ms: seconds ("90", "90.5"), minutes
// and seconds ("1:30"), or hours, minutes and seconds ("0:01:30.250").
std::optional<std::int64_t> ParseClock(std::string_view text);

// `text` as a JSON string, quotes included; bytes that are not UTF-8 become
// U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace runfiles
