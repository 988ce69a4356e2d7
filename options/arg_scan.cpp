// Scanning a command line against the argument table.
//
// The entries are joined into one working text; every option that is read
// has its characters overwritten with blanks, so each character is used at
// most once and whatever is still not blank at the end is an error. Marks
// count characters of the working text, which has the same layout as
// cmdline_copy, so a caret printed under the copy stands under its character.
//
// Limits: nothing is written beyond a buffer. A command line, value or
// string value that would not fit is refused with a message that says so,
// rather than cut short silently; so is a message too long for its buffer.
// A mark that would not fit is left empty (under a value too long to
// underline, one caret marks where it starts): the message still tells.
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "options/arg_internal.h"
#include "options/argtable.h"

const char* const arg_default_type_names[arg_type_count] = {"<int>", "<double>",
                                                            "<string>", "<bool>", ""};

namespace {

// Longest text (without terminator) that a caller's buffer or a value holds.
constexpr int kTextLimit = static_cast<int>(arg_text_size) - 1;

// Every message the scan writes.
constexpr char kInvalidTag[] = "arg[%d], invalid tag \"%s\"";
constexpr char kInvalidIntDefault[] = "arg[%d].defaultstr == \"%s\", invalid int";
constexpr char kInvalidDoubleDefault[] = "arg[%d].defaultstr == \"%s\", invalid double";
constexpr char kInvalidBoolDefault[] = "arg[%d].defaultstr == \"%s\", invalid bool";
constexpr char kMissing[] = "missing %s%s argument";
constexpr char kInvalidTagged[] = "invalid %s%s argument";
constexpr char kRepeatTag[] = "repeat tag";
constexpr char kExpected[] = "%s argument expected";
constexpr char kInvalidUntagged[] = "invalid %s argument";
constexpr char kUnexpected[] = "unexpected argument";
// Refusals of what would not fit, and table faults the table check catches
// before they could make a conversion write anywhere.
constexpr char kInvalidType[] = "arg[%d], invalid type %d";
constexpr char kStringWithoutSize[] = "arg[%d], string variable without a size";
constexpr char kStringDefaultTooLong[] =
    "arg[%d].defaultstr == \"%s\", longer than %d characters";
constexpr char kValueTooLong[] = "%s%s argument longer than %d characters";
constexpr char kCommandLineTooLong[] = "command line longer than %d characters";
constexpr char kMessageTooLong[] = "error message longer than 199 characters";

// Writes a message into a caller's buffer of arg_text_size bytes. A message
// that would not fit (only a table's own very long tag, type name or default
// can make one) is replaced by a notice that does.
__attribute__((format(printf, 2, 3))) void set_message(char* message, const char* format,
                                                      ...) {
  if (message == nullptr) return;
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(message, arg_text_size, format, args);
  va_end(args);
  if (length < 0 || length > kTextLimit) {
    std::snprintf(message, arg_text_size, "%s", kMessageTooLong);
  }
}

void clear(char* text) {
  if (text != nullptr) text[0] = '\0';
}

void blank(char* text, std::size_t count) { std::memset(text, ' ', count); }

int to_int(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

std::size_t skip_space(const char* text) {
  std::size_t i = 0;
  while (arg_is_space(text[i])) ++i;
  return i;
}

std::size_t word_length(const char* text) {
  std::size_t i = 0;
  while (text[i] != '\0' && !arg_is_space(text[i])) ++i;
  return i;
}

bool contains_space(const char* text) {
  for (; *text != '\0'; ++text) {
    if (arg_is_space(*text)) return true;
  }
  return false;
}

int digit_value(char c, int base) {
  int value;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  } else {
    return -1;
  }
  return value < base ? value : -1;
}

// Reads an integer as "%i" does, at text (no leading white space): optional
// sign, then hexadecimal after 0x or 0X, octal after 0, else decimal, up to
// the first character that cannot continue the number. "0x" without a hex
// digit, like a lone sign, is no number. A value outside the 32-bit range is
// clamped to its nearest end and reported through *overflow, so no
// conversion ever overflows. Returns the characters read, or -1.
int scan_int(const char* text, int32_t* value, bool* overflow) {
  std::size_t i = 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    if (digit_value(text[i + 2], 16) < 0) return -1;
    base = 16;
    i += 2;
  } else if (text[i] == '0') {
    base = 8;
  }
  const std::size_t first_digit = i;
  const std::uint64_t kBeyond = std::uint64_t{1} << 32;  // past either end
  std::uint64_t magnitude = 0;
  for (int digit; (digit = digit_value(text[i], base)) >= 0; ++i) {
    if (magnitude < kBeyond) magnitude = magnitude * static_cast<unsigned>(base) + digit;
  }
  if (i == first_digit) return -1;
  const std::uint64_t kLimit = negative ? std::uint64_t{1} << 31 : INT32_MAX;
  *overflow = magnitude > kLimit;
  if (*overflow) magnitude = kLimit;
  *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
  return to_int(i);
}

// Reads a decimal floating-point number at text (no leading white space):
// optional sign, digits with an optional point and fraction (one digit at
// least), optional exponent. As with "%lf", a started exponent without
// digits ("1e", "1e+") makes the whole item no number. Only the decimal form
// is read: no "inf", "nan" or hexadecimal. *range_error reports overflow or
// underflow; an overflowing value is clamped to the largest finite one.
// Returns the characters read, -1, or arg_value_too_long.
int scan_double(const char* text, double* value, bool* range_error) {
  std::size_t i = 0;
  if (text[i] == '+' || text[i] == '-') ++i;
  std::size_t digits = 0;
  for (; text[i] >= '0' && text[i] <= '9'; ++i) ++digits;
  if (text[i] == '.') {
    for (++i; text[i] >= '0' && text[i] <= '9'; ++i) ++digits;
  }
  if (digits == 0) return -1;
  if (text[i] == 'e' || text[i] == 'E') {
    ++i;
    if (text[i] == '+' || text[i] == '-') ++i;
    if (!(text[i] >= '0' && text[i] <= '9')) return -1;
    while (text[i] >= '0' && text[i] <= '9') ++i;
  }
  if (i > static_cast<std::size_t>(kTextLimit)) return arg_value_too_long;
  char scratch[arg_text_size];
  std::memcpy(scratch, text, i);
  scratch[i] = '\0';
  errno = 0;
  double number = std::strtod(scratch, nullptr);
  *range_error = errno == ERANGE;
  if (std::isinf(number)) number = number < 0 ? -DBL_MAX : DBL_MAX;
  *value = number;
  return to_int(i);
}

void store_int(const arg_spec* row, int32_t value) {
  if (row->value_ptr != nullptr) *static_cast<int32_t*>(row->value_ptr) = value;
}

// Copies a text of `length` characters into the row's arg_str variable,
// whose size the caller has checked.
void store_text(const arg_spec* row, const char* text, std::size_t length) {
  if (row->value_ptr == nullptr) return;
  char* target = static_cast<char*>(row->value_ptr);
  std::memcpy(target, text, length);
  target[length] = '\0';
}

// Whether a text of `length` characters fits the row's arg_str variable.
bool fits_string(const arg_spec* row, std::size_t length) {
  return row->value_ptr == nullptr || length < row->value_size;
}

// The arg_str forms: a quoted text (white space allowed inside), else one
// word. A quote followed at once by another quote or by the end is no quoted
// text and is read as part of a word. An unclosed quote stores everything
// after it but takes nothing, so the quote stays free and the scan fails on
// it later.
int convert_string(const arg_spec* row, const char* text, std::size_t skip) {
  const char* start = text + skip;
  if (start[0] == '\'') {
    const char* inside = start + 1;
    const char* closing = std::strchr(inside, '\'');
    std::size_t length = closing != nullptr ? static_cast<std::size_t>(closing - inside)
                                            : std::strlen(inside);
    if (length > 0) {
      if (length > static_cast<std::size_t>(kTextLimit)) return arg_value_too_long;
      if (!fits_string(row, length)) return arg_value_too_big;
      store_text(row, inside, length);
      return closing != nullptr ? to_int(skip + length + 2) : 0;
    }
  }
  std::size_t length = word_length(start);
  if (length == 0) return arg_no_value;
  if (length > static_cast<std::size_t>(kTextLimit)) return arg_value_too_long;
  if (!fits_string(row, length)) return arg_value_too_big;
  store_text(row, start, length);
  return to_int(skip + length);
}

// Whether the row's conversion failed for want of room rather than because
// no value stands there.
bool is_refusal(int result) {
  return result == arg_value_too_long || result == arg_value_too_big;
}

// Message and mark for a value that would not fit: the carets stand under the
// value's word, which starts after white space `column` characters into the
// working text; a word too long for the mark gets a caret at its start.
void report_refusal(const arg_spec& row, int result, const char* working,
                    std::size_t column, char* message, char* mark) {
  int limit = result == arg_value_too_big ? to_int(row.value_size - 1) : kTextLimit;
  set_message(message, kValueTooLong, row.tag != nullptr ? row.tag : "",
              arg_type_name(&row), limit);
  column += skip_space(working + column);
  if (!arg_mark_line(mark, to_int(column), to_int(word_length(working + column)))) {
    arg_mark_line(mark, to_int(column), 1);
  }
}

// Takes one tagged row's option out of the working text: the first
// occurrence of the tag and the value after it. Returns 1, or 0 with
// message and mark.
int take_tagged(char* working, const arg_spec& row, char* message, char* mark) {
  const char* type_name = arg_type_name(&row);
  char* at = std::strstr(working, row.tag);
  if (at == nullptr) {
    if (row.defaultstr != nullptr) return 1;
    set_message(message, kMissing, row.tag, type_name);
    arg_mark_line(mark, to_int(std::strlen(working)), 1);
    return 0;
  }
  const std::size_t tag_length = std::strlen(row.tag);
  blank(at, tag_length);
  char* value = at + tag_length;
  const std::size_t column = static_cast<std::size_t>(value - working);
  int consumed = arg_convert_value(&row, value);
  if (is_refusal(consumed)) {
    report_refusal(row, consumed, working, column, message, mark);
    return 0;
  }
  if (consumed < 0) {
    set_message(message, kInvalidTagged, row.tag, type_name);
    arg_mark_line(mark, to_int(column), 1);
    return 0;
  }
  blank(value, static_cast<std::size_t>(consumed));
  char* again = std::strstr(working, row.tag);
  if (again != nullptr) {
    blank(again, tag_length);
    set_message(message, kRepeatTag);
    arg_mark_line(mark, to_int(static_cast<std::size_t>(again - working)), to_int(tag_length));
    return 0;
  }
  return 1;
}

bool has_valid_type(const arg_spec& row) {
  return row.type >= 0 && row.type < arg_type_count;
}

// Converts and stores one row's default. Returns 1, or 0 with a message.
int store_default(const arg_spec& row, int index, char* message) {
  const char* text = row.defaultstr;
  const std::size_t skip = skip_space(text);
  switch (row.type) {
    case arg_int:
    case arg_lit: {
      int32_t value = 0;
      bool overflow = false;
      int length = scan_int(text + skip, &value, &overflow);
      if (length < 0 || text[skip + static_cast<std::size_t>(length)] != '\0' || overflow) {
        set_message(message, kInvalidIntDefault, index, text);
        return 0;
      }
      store_int(&row, value);
      return 1;
    }
    case arg_dbl: {
      double value = 0;
      bool range_error = false;
      int length = scan_double(text + skip, &value, &range_error);
      if (length < 0 || text[skip + static_cast<std::size_t>(length)] != '\0' || range_error) {
        set_message(message, kInvalidDoubleDefault, index, text);
        return 0;
      }
      if (row.value_ptr != nullptr) *static_cast<double*>(row.value_ptr) = value;
      return 1;
    }
    case arg_str: {
      std::size_t length = std::strlen(text);
      if (!fits_string(&row, length)) {
        set_message(message, kStringDefaultTooLong, index, text, to_int(row.value_size - 1));
        return 0;
      }
      store_text(&row, text, length);
      return 1;
    }
    case arg_bool: {
      int value = arg_parse_bool(text);
      if (value < 0) {
        set_message(message, kInvalidBoolDefault, index, text);
        return 0;
      }
      store_int(&row, value);
      return 1;
    }
  }
  return 0;  // unreachable: the types were checked first
}

}  // namespace

bool arg_is_space(char c) {
  return c == ' ' || c == '\f' || c == '\n' || c == '\r' || c == '\v' || c == '\t';
}

const char* arg_type_name(const arg_spec* row) {
  if (row->type_name != nullptr) return row->type_name;
  if (has_valid_type(*row)) return arg_default_type_names[row->type];
  return "";
}

std::size_t arg_join_arguments(char* out, std::size_t capacity, int argc,
                               const char* const* argv) {
  std::size_t length = 0;
  auto put = [&](char c) {
    if (length + 1 < capacity) out[length] = c;
    ++length;
  };
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    const char* entry = argv[i] != nullptr ? argv[i] : "";
    const bool quoted = contains_space(entry);
    if (quoted) put('\'');
    for (const char* c = entry; *c != '\0'; ++c) put(*c);
    if (quoted) put('\'');
    put(' ');
  }
  if (capacity > 0) out[length < capacity ? length : capacity - 1] = '\0';
  return length;
}

int arg_validate_table(const arg_spec* table, int count, char* message) {
  for (int i = 0; i < count; ++i) {
    const arg_spec& row = table[i];
    if (row.tag != nullptr && (row.tag[0] == '\0' || arg_is_space(row.tag[0]))) {
      set_message(message, kInvalidTag, i, row.tag);
      return 0;
    }
    if (!has_valid_type(row)) {
      set_message(message, kInvalidType, i, static_cast<int>(row.type));
      return 0;
    }
    if (row.type == arg_str && row.value_ptr != nullptr && row.value_size == 0) {
      set_message(message, kStringWithoutSize, i);
      return 0;
    }
  }
  clear(message);
  for (int i = 0; i < count; ++i) {
    if (table[i].defaultstr != nullptr && !store_default(table[i], i, message)) return 0;
  }
  return 1;
}

int arg_scan_tagged(char* working, const arg_spec* table, int count, char* message,
                    char* mark) {
  for (int i = 0; i < count; ++i) {
    if (table[i].tag != nullptr && !take_tagged(working, table[i], message, mark)) return 0;
  }
  return 1;
}

int arg_scan_untagged(char* working, const arg_spec* table, int count, char* message,
                      char* mark) {
  for (int i = 0; i < count; ++i) {
    const arg_spec& row = table[i];
    if (row.tag != nullptr) continue;
    const std::size_t free_at = skip_space(working);
    if (working[free_at] == '\0') {
      if (row.defaultstr != nullptr) continue;
      set_message(message, kExpected, arg_type_name(&row));
      arg_mark_line(mark, to_int(free_at), 1);
      return 0;
    }
    int consumed = arg_convert_value(&row, working);
    if (consumed >= 0) {
      blank(working, static_cast<std::size_t>(consumed));
      continue;
    }
    if (is_refusal(consumed)) {
      report_refusal(row, consumed, working, 0, message, mark);
      return 0;
    }
    if (row.defaultstr != nullptr) continue;  // keeps its default; the word stays free
    set_message(message, kInvalidUntagged, arg_type_name(&row));
    arg_mark_line(mark, to_int(free_at), to_int(word_length(working + free_at)));
    return 0;
  }
  return 1;
}

int arg_convert_value(const arg_spec* row, const char* text) {
  const std::size_t skip = skip_space(text);
  const char* start = text + skip;
  switch (row->type) {
    case arg_int: {
      int32_t value = 0;
      bool overflow = false;  // command-line values are clamped, not refused
      int length = scan_int(start, &value, &overflow);
      if (length < 0) return arg_no_value;
      if (length > kTextLimit) return arg_value_too_long;
      store_int(row, value);
      return to_int(skip + static_cast<std::size_t>(length));
    }
    case arg_dbl: {
      double value = 0;
      bool range_error = false;
      int length = scan_double(start, &value, &range_error);
      if (length < 0) return length;
      if (row->value_ptr != nullptr) *static_cast<double*>(row->value_ptr) = value;
      return to_int(skip + static_cast<std::size_t>(length));
    }
    case arg_str:
      return convert_string(row, text, skip);
    case arg_bool: {
      std::size_t length = word_length(start);
      if (length == 0) return arg_no_value;
      if (length > static_cast<std::size_t>(kTextLimit)) return arg_value_too_long;
      char word[arg_text_size];
      std::memcpy(word, start, length);
      word[length] = '\0';
      int value = arg_parse_bool(word);
      if (value < 0) return arg_no_value;
      store_int(row, value);
      return to_int(skip + length);
    }
    case arg_lit: {
      // Present by its tag alone; a keyword, when the row has one, must follow.
      if (row->tag != nullptr) store_int(row, 1);
      if (row->type_name == nullptr) {
        store_int(row, 1);
        return 0;
      }
      std::size_t length = word_length(start);
      if (length == 0) return arg_no_value;
      if (length > static_cast<std::size_t>(kTextLimit)) return arg_value_too_long;
      if (length != std::strlen(row->type_name) ||
          std::strncmp(start, row->type_name, length) != 0) {
        return arg_no_value;
      }
      store_int(row, 1);
      return to_int(skip + length);
    }
  }
  return arg_no_value;
}

int arg_parse_bool(const char* text) {
  if (text == nullptr) return -1;
  text += skip_space(text);
  const std::size_t length = std::strlen(text);
  if (length == 0) return -1;
  // A leading part of `word` (upper case), `shortest` letters at least.
  auto leads = [&](const char* word, std::size_t shortest) {
    if (length < shortest || length > std::strlen(word)) return false;
    for (std::size_t i = 0; i < length; ++i) {
      char c = text[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != word[i]) return false;
    }
    return true;
  };
  if (leads("FALSE", 1) || leads("NO", 1) || leads("OFF", 2)) return 0;
  if (leads("TRUE", 1) || leads("YES", 1) || leads("ON", 2)) return 1;
  return -1;
}

int arg_mark_line(char* mark, int blanks, int carets) {
  if (mark == nullptr) return 1;
  const std::size_t b = blanks > 0 ? static_cast<std::size_t>(blanks) : 0;
  const std::size_t c = carets > 0 ? static_cast<std::size_t>(carets) : 0;
  if (b + c > static_cast<std::size_t>(kTextLimit)) {
    mark[0] = '\0';
    return 0;
  }
  std::memset(mark, ' ', b);
  std::memset(mark + b, '^', c);
  mark[b + c] = '\0';
  return 1;
}

int arg_scan_command_line(int argc, const char* const* argv, const arg_spec* table,
                          int count, char* cmdline_copy, char* error_message,
                          char* error_mark) {
  clear(cmdline_copy);
  clear(error_message);
  clear(error_mark);
  if (argv == nullptr || argc < 0) argc = 0;
  if (table == nullptr || count < 0) count = 0;

  char working[arg_working_size];
  const std::size_t length = arg_join_arguments(working, sizeof working, argc, argv);
  if (cmdline_copy != nullptr) arg_join_arguments(cmdline_copy, arg_text_size, argc, argv);
  // The copy is the binding limit when there is one: every mark is measured
  // against it.
  const std::size_t limit = (cmdline_copy != nullptr ? arg_text_size : arg_working_size) - 1;
  if (length > limit) {
    if (cmdline_copy != nullptr) std::strcpy(cmdline_copy + arg_text_size - 4, "...");
    set_message(error_message, kCommandLineTooLong, to_int(limit));
    return 0;
  }

  if (!arg_validate_table(table, count, error_message)) return 0;

  // The program's own name is no option, even if a tag occurs in its path.
  if (argc > 0 && argv[0] != nullptr) {
    blank(working, std::strlen(argv[0]) + (contains_space(argv[0]) ? 2 : 0));
  }
  clear(error_message);
  clear(error_mark);

  if (!arg_scan_tagged(working, table, count, error_message, error_mark)) return 0;
  if (!arg_scan_untagged(working, table, count, error_message, error_mark)) return 0;

  const std::size_t left_at = skip_space(working);
  if (working[left_at] == '\0') return 1;
  set_message(error_message, kUnexpected);
  arg_mark_line(error_mark, to_int(left_at), to_int(word_length(working + left_at)));
  return 0;
}

int arg_mark_value(int argc, const char* const* argv, const arg_spec* table, int count,
                   int row, char* mark) {
  clear(mark);
  if (argv == nullptr || table == nullptr || row < 0 || row >= count || argc < 1 ||
      table[row].tag == nullptr) {
    return 0;
  }
  char working[arg_working_size];
  if (arg_join_arguments(working, sizeof working, argc, argv) >= sizeof working) return 0;
  if (argv[0] != nullptr) {
    blank(working, std::strlen(argv[0]) + (contains_space(argv[0]) ? 2 : 0));
  }
  // Replay the rows before this one as the scan took them, storing nothing,
  // so that their text is blank just as it was when this row was read.
  for (int i = 0; i < row; ++i) {
    if (table[i].tag == nullptr) continue;
    arg_spec quiet = table[i];
    quiet.value_ptr = nullptr;
    if (!take_tagged(working, quiet, nullptr, nullptr)) return 0;
  }
  arg_spec quiet = table[row];
  quiet.value_ptr = nullptr;
  char* at = std::strstr(working, quiet.tag);
  if (at == nullptr) return 0;
  const std::size_t tag_length = std::strlen(quiet.tag);
  blank(at, tag_length);
  const char* value = at + tag_length;
  int consumed = arg_convert_value(&quiet, value);
  if (consumed < 0) return 0;
  const std::size_t skip = skip_space(value);
  std::size_t column = static_cast<std::size_t>(value - working) + skip;
  std::size_t width = static_cast<std::size_t>(consumed) > skip ? consumed - skip : 0;
  if (width == 0) {  // a literal without keyword: point at its tag
    column = static_cast<std::size_t>(at - working);
    width = tag_length;
  }
  return arg_mark_line(mark, to_int(column), to_int(width));
}
