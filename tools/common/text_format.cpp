#include "tools/common/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace runfiles {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string FormatClock(std::int64_t ms) {
  const char* sign = ms < 0 ? "-" : "";
  std::uint64_t m = ms < 0 ? static_cast<std::uint64_t>(-(ms + 1)) + 1 : static_cast<std::uint64_t>(ms);
  char text[64];
  std::snprintf(text, sizeof text, "%s%02llu:%02llu:%02llu.%03llu", sign,
                static_cast<unsigned long long>(m / 3600000),
                static_cast<unsigned long long>(m / 60000 % 60),
                static_cast<unsigned long long>(m / 1000 % 60),
                static_cast<unsigned long long>(m % 1000));
  return text;
}

std::string FormatSize(std::int64_t bytes) {
  char text[64];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else if (bytes < std::int64_t{1024} * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.2f GiB",
                  static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
  }
  return text;
}

std::optional<std::int64_t> ParseClock(std::string_view text) {
  // Up to three fields separated by ':', the last with up to three decimals.
  std::int64_t fields[3] = {0, 0, 0};
  int count = 0;
  std::int64_t fraction_ms = 0;
  std::size_t at = 0;
  for (;;) {
    if (count == 3) return std::nullopt;
    std::size_t from = at;
    std::int64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - from < 9)
      value = value * 10 + (text[at++] - '0');
    if (at == from) return std::nullopt;
    fields[count++] = value;
    if (at == text.size()) break;
    if (text[at] == ':') {
      ++at;
      continue;
    }
    if (text[at] != '.') return std::nullopt;
    ++at;
    std::int64_t scale = 100;
    std::size_t digits_from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - digits_from < 3) {
      fraction_ms += (text[at++] - '0') * scale;
      scale /= 10;
    }
    if (at == digits_from || at != text.size()) return std::nullopt;
    break;
  }
  // Minutes and seconds after the first field stay below 60.
  for (int i = 1; i < count; ++i)
    if (fields[i] >= 60) return std::nullopt;
  std::int64_t seconds = 0;
  for (int i = 0; i < count; ++i) seconds = seconds * 60 + fields[i];
  return seconds * 1000 + fraction_ms;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // A whole UTF-8 sequence goes through as it is.
      int length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
      bool whole = length > 0 && i + length <= text.size();
      for (int k = 1; whole && k < length; ++k)
        whole = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
      if (whole && length > 2) {
        // No overlong forms, no surrogates, nothing past U+10FFFF.
        unsigned char second = static_cast<unsigned char>(text[i + 1]);
        whole = !(c == 0xe0 && second < 0xa0) && !(c == 0xed && second >= 0xa0) &&
                !(c == 0xf0 && second < 0x90) && !(c == 0xf4 && second >= 0x90);
      }
      if (whole) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += "\\ufffd";
        ++i;
      }
    }
  }
  out += '"';
  return out;
}

}  // namespace runfiles
