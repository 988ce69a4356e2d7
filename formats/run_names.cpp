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
