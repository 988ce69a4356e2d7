// Matching a text against a simple shape, for tests that check names and
// log lines whose numbers vary (and without <regex>, which costs more to
// compile than the tests it serves).
#pragma once

#include <cctype>
#include <string_view>

namespace testsupport {

// In `shape`: '9' stands for one decimal digit; '#' for one or more digits,
// optionally after a '-'; '~' for one or more characters other than a blank;
// every other character for itself. The whole text must match.
inline bool HasShape(std::string_view text, std::string_view shape) {
  size_t t = 0;
  for (char s : shape) {
    auto digit = [&] { return t < text.size() && std::isdigit(static_cast<unsigned char>(text[t])); };
    if (s == '9') {
      if (!digit()) return false;
      ++t;
    } else if (s == '#') {
      if (t < text.size() && text[t] == '-') ++t;
      if (!digit()) return false;
      while (digit()) ++t;
    } else if (s == '~') {
      if (t >= text.size() || text[t] == ' ') return false;
      while (t < text.size() && text[t] != ' ') ++t;
    } else {
      if (t >= text.size() || text[t] != s) return false;
      ++t;
    }
  }
  return t == text.size();
}

}  // namespace testsupport
