#include "formats/printf_scan.h"

#include <cstddef>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Digits at `at`, as printf writes them: at least one, no leading zero
// before others, at most `most` of them. Advances `at`.
bool TakeDigits(std::string_view text, std::size_t* at, std::size_t most, std::int64_t* value) {
  std::size_t from = *at;
  std::size_t i = from;
  std::int64_t v = 0;
  while (i < text.size() && IsDigit(text[i]) && i - from < most) v = v * 10 + (text[i++] - '0');
  std::size_t digits = i - from;
  if (digits == 0 || (digits > 1 && text[from] == '0')) return false;
  if (i < text.size() && IsDigit(text[i])) return false;  // more digits than any value has
  *value = v;
  *at = i;
  return true;
}

// The format's literal text from `at` up to its next conversion (or end).
std::string_view LiteralAfter(std::string_view format, std::size_t at) {
  std::size_t next = format.find('%', at);
  return format.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
}

}  // namespace

bool ScanPrintfText(std::string_view text, std::string_view format,
                    std::vector<ScannedField>* fields) {
  fields->clear();
  std::size_t t = 0;
  std::size_t f = 0;
  while (f < format.size()) {
    if (format[f] != '%') {
      if (t >= text.size() || text[t] != format[f]) return false;
      ++t;
      ++f;
      continue;
    }
    ++f;
    // The conversion: an optional precision and a length, then its letter.
    int precision = -1;
    if (f < format.size() && format[f] == '.') {
      precision = 0;
      for (++f; f < format.size() && IsDigit(format[f]); ++f) precision = precision * 10 + (format[f] - '0');
    }
    bool is_long = f < format.size() && format[f] == 'l';
    if (is_long) ++f;
    if (f >= format.size()) return false;
    const char conversion = format[f++];
    ScannedField field;
    const std::size_t from = t;
    switch (conversion) {
      case '%':
        if (t >= text.size() || text[t] != '%') return false;
        ++t;
        continue;
      case 'd': {
        bool negative = t < text.size() && text[t] == '-';
        if (negative) ++t;
        std::int64_t v = 0;
        if (!TakeDigits(text, &t, 10, &v) || (negative && v == 0)) return false;
        v = negative ? -v : v;
        if (v < INT32_MIN || v > INT32_MAX) return false;
        field.integer = v;
        break;
      }
      case 'u': {
        std::int64_t v = 0;
        if (!TakeDigits(text, &t, is_long ? 18 : 10, &v)) return false;
        if (!is_long && v > UINT32_MAX) return false;
        field.integer = v;
        break;
      }
      case 'f': {
        if (precision < 0) return false;  // only the exact spellings of %.Nf
        bool negative = t < text.size() && text[t] == '-';
        if (negative) ++t;
        std::int64_t whole = 0;
        if (!TakeDigits(text, &t, 18, &whole)) return false;
        double value = static_cast<double>(whole);
        if (precision > 0) {
          if (t >= text.size() || text[t] != '.') return false;
          ++t;
          double scale = 1;
          for (int i = 0; i < precision; ++i, ++t) {
            if (t >= text.size() || !IsDigit(text[t])) return false;
            scale /= 10;
            value += (text[t] - '0') * scale;
          }
        }
        field.real = negative ? -value : value;
        break;
      }
      case 's': {
        std::string_view follows = LiteralAfter(format, f);
        if (follows.empty()) {
          // Right before another conversion a text has no end to find.
          if (f < format.size()) return false;
          t = text.size();
        } else {
          std::size_t found = text.find(follows, t);
          if (found == std::string_view::npos) return false;
          t = found;
        }
        break;
      }
      default:
        return false;
    }
    field.text = text.substr(from, t - from);
    fields->push_back(field);
  }
  return t == text.size();
}
