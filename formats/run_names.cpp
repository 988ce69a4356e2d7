#include "formats/run_names.h"

#include <cstdio>
#include <cstring>

namespace {

// The recorder divides an unsigned 32-bit start, so minutes stay within int.
void FormatStartName(char* out, std::size_t capacity, std::int64_t start_ms, const char* name_format) {
  std::snprintf(out, capacity, name_format, static_cast<int>(start_ms / 60000),
                static_cast<int>((start_ms / 1000) % 60));
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

void FormatRunName(char* out, std::size_t capacity, int year, int month, int day, int hour,
                   int minute, int second, int millisecond) {
  std::snprintf(out, capacity, run_name::kDirectoryFormat, year, month, day, hour, minute, second,
                millisecond);
}

bool LooksLikeRunName(std::string_view name) {
  static constexpr std::string_view kShape = "9999-99-99-99-99-99-999";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (kShape[i] == '9' ? (name[i] < '0' || name[i] > '9') : name[i] != kShape[i]) return false;
  }
  return true;
}

std::optional<RunNameTime> ParseRunName(std::string_view name) {
  if (!LooksLikeRunName(name)) return std::nullopt;
  auto number = [&](std::size_t at, std::size_t digits) {
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (name[i] - '0');
    return value;
  };
  RunNameTime t;
  t.year = number(0, 4);
  t.month = number(5, 2);
  t.day = number(8, 2);
  t.hour = number(11, 2);
  t.minute = number(14, 2);
  t.second = number(17, 2);
  t.millisecond = number(20, 3);
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.month < 1 || t.month > 12 || t.day < 1) return std::nullopt;
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  const int days = kDays[t.month - 1] + (t.month == 2 && leap ? 1 : 0);
  if (t.day > days || t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  return t;
}

void FormatSegmentName(char* out, std::size_t capacity, std::uint32_t start_ms,
                       const char* name_format) {
  FormatStartName(out, capacity, start_ms, name_format);
}

std::string SegmentStem(std::int64_t start_ms) {
  char name[64];
  FormatStartName(name, sizeof name, start_ms, run_name::kAviFormat);
  std::string stem = name;
  return stem.substr(0, stem.size() - std::strlen(run_name::kAviExtension));
}

std::optional<std::int64_t> SegmentStartMs(std::string_view stem) {
  std::size_t hyphen = stem.find('-');
  if (hyphen == std::string_view::npos || hyphen < 3 || hyphen > 10) return std::nullopt;
  std::string_view minutes = stem.substr(0, hyphen);
  std::string_view seconds = stem.substr(hyphen + 1);
  if (!AllDigits(minutes) || !AllDigits(seconds) || seconds.size() != 2) return std::nullopt;
  std::int64_t m = 0;
  for (char c : minutes) m = m * 10 + (c - '0');
  std::int64_t s = (seconds[0] - '0') * 10 + (seconds[1] - '0');
  if (s >= 60 || m > 71582) return std::nullopt;  // 2^32 ms is 71582 minutes
  std::int64_t start_ms = (m * 60 + s) * 1000;
  // Only the recorder's own spelling: "0001-00" is not a segment of a run.
  if (SegmentStem(start_ms) != stem) return std::nullopt;
  return start_ms;
}
