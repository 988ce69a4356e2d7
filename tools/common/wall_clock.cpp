#include "tools/common/wall_clock.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "formats/run_names.h"

namespace runfiles {

namespace {

struct Broken {
  std::tm tm{};
  int ms = 0;
};

// Splits ms since the epoch into the seconds and ms of the local time (or
// UTC), ms counted down for times before 1970.
Broken Split(std::int64_t epoch_ms, bool utc) {
  std::int64_t seconds = epoch_ms / 1000;
  std::int64_t ms = epoch_ms % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  Broken b;
  const std::time_t t = static_cast<std::time_t>(seconds);
  if (utc) {
    gmtime_r(&t, &b.tm);
  } else {
    localtime_r(&t, &b.tm);
  }
  b.ms = static_cast<int>(ms);
  return b;
}

}  // namespace

std::optional<std::int64_t> RunStartFromName(const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::path path = fs::absolute(directory, ignored).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();
  std::optional<RunNameTime> name = ParseRunName(path.filename().string());
  if (!name) return std::nullopt;
  std::tm tm{};
  tm.tm_year = name->year - 1900;
  tm.tm_mon = name->month - 1;
  tm.tm_mday = name->day;
  tm.tm_hour = name->hour;
  tm.tm_min = name->minute;
  tm.tm_sec = name->second;
  tm.tm_isdst = -1;  // whatever the zone's rules say for that day
  const std::time_t seconds = std::mktime(&tm);
  if (seconds == static_cast<std::time_t>(-1) && name->year != 1969) return std::nullopt;
  return static_cast<std::int64_t>(seconds) * 1000 + name->millisecond;
}

std::string FormatLocalTime(std::int64_t epoch_ms) {
  Broken b = Split(epoch_ms, false);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", b.tm.tm_year + 1900, b.tm.tm_mon + 1,
                b.tm.tm_mday, b.tm.tm_hour, b.tm.tm_min, b.tm.tm_sec, b.ms);
  return text;
}

std::string FormatIsoLocal(std::int64_t epoch_ms) {
  Broken b = Split(epoch_ms, false);
  const long offset = b.tm.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", b.tm.tm_year + 1900,
                b.tm.tm_mon + 1, b.tm.tm_mday, b.tm.tm_hour, b.tm.tm_min, b.tm.tm_sec, b.ms,
                offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

std::string FormatLocalTimeOfDay(std::int64_t epoch_ms, bool with_ms) {
  Broken b = Split(epoch_ms, false);
  char text[32];
  if (with_ms) {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", b.tm.tm_hour, b.tm.tm_min, b.tm.tm_sec, b.ms);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", b.tm.tm_hour, b.tm.tm_min, b.tm.tm_sec);
  }
  return text;
}

std::string FormatIsoUtc(std::int64_t epoch_ms) {
  Broken b = Split(epoch_ms, true);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d000Z", b.tm.tm_year + 1900,
                b.tm.tm_mon + 1, b.tm.tm_mday, b.tm.tm_hour, b.tm.tm_min, b.tm.tm_sec, b.ms);
  return text;
}

}  // namespace runfiles
