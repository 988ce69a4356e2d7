// Fuzzes arg_scan_command_line over arbitrary argv.
//
// Input: one flag byte, then the entries separated by NUL bytes (the first
// is the program name). Flag bits: 1, 2, 4 leave out cmdline_copy,
// error_message, error_mark; 8 repeats every entry four times, to reach the
// working text's limit. Every buffer and string variable is a heap block of
// exactly its size, so AddressSanitizer catches a write one byte past it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "options/argtable.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::unique_ptr<char[]> Buffer(std::size_t size) {
  std::unique_ptr<char[]> buffer(new char[size]);
  std::memset(buffer.get(), '#', size);
  return buffer;
}

// The joined command line, built independently of the scanner.
std::string Joined(const std::vector<const char*>& argv) {
  std::string text;
  for (const char* entry : argv) {
    bool quoted = std::strpbrk(entry, " \f\n\r\v\t") != nullptr;
    if (quoted) text += '\'';
    text += entry;
    if (quoted) text += '\'';
    text += ' ';
  }
  return text;
}

std::FILE* DevNull() {
  static std::FILE* stream = std::fopen("/dev/null", "w");
  return stream;
}

// Runs one scan and checks what must hold whatever the command line.
// Returns the scan's result.
int ScanAndCheck(const std::vector<const char*>& argv, const arg_spec* table, int count,
                 unsigned flags) {
  auto copy = Buffer(arg_text_size);
  auto message = Buffer(arg_text_size);
  auto mark = Buffer(arg_text_size);
  char* copy_ptr = (flags & 1) ? nullptr : copy.get();
  char* message_ptr = (flags & 2) ? nullptr : message.get();
  char* mark_ptr = (flags & 4) ? nullptr : mark.get();
  int result = arg_scan_command_line(static_cast<int>(argv.size()), argv.data(), table, count,
                                     copy_ptr, message_ptr, mark_ptr);
  Check(result == 0 || result == 1, "result is 0 or 1");
  for (char* buffer : {copy_ptr, message_ptr, mark_ptr}) {
    if (buffer != nullptr) Check(strnlen(buffer, arg_text_size) < arg_text_size, "terminated");
  }
  const std::string joined = Joined(argv);
  if (copy_ptr != nullptr && joined.size() < arg_text_size) {
    Check(joined == copy_ptr, "copy is the joined command line");
  }
  if (result == 1) {
    if (message_ptr != nullptr) Check(message_ptr[0] == '\0', "no message on success");
    if (mark_ptr != nullptr) Check(mark_ptr[0] == '\0', "no mark on success");
    Check(joined.size() < (copy_ptr != nullptr ? arg_text_size : arg_working_size),
          "a command line beyond the limit is refused");
  } else {
    if (message_ptr != nullptr) Check(message_ptr[0] != '\0', "a failure says why");
    if (mark_ptr != nullptr) {
      std::size_t blanks = std::strspn(mark_ptr, " ");
      std::size_t carets = std::strspn(mark_ptr + blanks, "^");
      Check(mark_ptr[blanks + carets] == '\0', "mark is blanks then carets");
      if (copy_ptr != nullptr) {
        Check(std::strlen(mark_ptr) <= std::strlen(copy_ptr) + 1, "mark within the copy + 1");
      }
    }
  }
  // The help texts must hold whatever the scan stored.
  arg_usage_line(table, count);
  arg_help_text(table, count);
  arg_print_table(DevNull(), table, count);
  return result;
}

void FuzzProgramTable(const std::vector<const char*>& argv, unsigned flags) {
  OptionValues values{};
  arg_spec table[kOptionCount];
  FillOptionTable(table, &values);
  if (ScanAndCheck(argv, table, kOptionCount, flags) != 1) return;
  Check(values.withmouse == 0 || values.withmouse == 1, "withmouse is 0 or 1");
  Check(values.debug == 0 || values.debug == 1, "debug is 0 or 1");
  Check(values.verbose == 0 || values.verbose == 1, "verbose is 0 or 1");
  Check(values.totalcapture == 0 || values.totalcapture == 1, "totalcapture is 0 or 1");
  auto message = Buffer(arg_text_size);
  auto mark = Buffer(arg_text_size);
  int in_range = CheckRecordingRanges(values, static_cast<int>(argv.size()), argv.data(), table,
                                      message.get(), mark.get());
  if (in_range == 0) {
    // A value out of range was given on the command line, so it can be
    // marked, unless (without a copy) it stands beyond the mark's buffer.
    const std::size_t joined = Joined(argv).size();
    std::size_t blanks = std::strspn(mark.get(), " ");
    std::size_t carets = std::strspn(mark.get() + blanks, "^");
    Check(mark[blanks + carets] == '\0', "range mark is blanks then carets");
    Check(carets > 0 || joined > arg_text_size, "range mark points at the value");
    Check(blanks + carets < joined, "range mark within the command line");
  }
}

void FuzzEveryKind(const std::vector<const char*>& argv, unsigned flags) {
  constexpr std::size_t kStringSize = 16;
  constexpr std::size_t kFileSize = 40;
  auto text = Buffer(kStringSize);
  auto file = Buffer(kFileSize);
  int32_t number = 0, flag = 0, literal = 0, keyword = 0, mandatory = 0, loose = 0, go = 0;
  double real = 0;
  const arg_spec table[] = {
      {"i=", nullptr, arg_int, &number, "0x10", "integer"},
      {"d=", nullptr, arg_dbl, &real, "-2.5e-3", "double"},
      {"s=", nullptr, arg_str, text.get(), "dflt", "string", kStringSize},
      {"b=", "<on/off>", arg_bool, &flag, "No", "bool"},
      {"-l", nullptr, arg_lit, &literal, "0", "literal"},
      {"m=", "fast", arg_lit, &keyword, "0", "keyword"},
      {"n=", nullptr, arg_int, &mandatory, nullptr, "mandatory"},
      {nullptr, nullptr, arg_int, &loose, "7", "untagged"},
      {nullptr, "<file>", arg_str, file.get(), nullptr, "untagged mandatory", kFileSize},
      {nullptr, "go", arg_lit, &go, "0", nullptr},
  };
  const int count = static_cast<int>(sizeof table / sizeof table[0]);
  int result = ScanAndCheck(argv, table, count, flags);
  if (result == 1) {
    Check(strnlen(text.get(), kStringSize) < kStringSize, "string variable terminated");
    Check(strnlen(file.get(), kFileSize) < kFileSize, "file variable terminated");
    Check(std::isfinite(real), "doubles are finite");
    Check(flag == 0 || flag == 1, "bool is 0 or 1");
    Check(literal == 0 || literal == 1, "literal is 0 or 1");
    Check(keyword == 0 || keyword == 1, "keyword is 0 or 1");
    Check(go == 0 || go == 1, "untagged keyword is 0 or 1");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  std::vector<std::string> entries;
  std::string current;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      entries.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  entries.push_back(current);
  if (flags & 8) {
    for (std::string& entry : entries) entry = entry + entry + entry + entry;
  }
  std::vector<const char*> argv;
  for (const std::string& entry : entries) argv.push_back(entry.c_str());
  FuzzProgramTable(argv, flags);
  FuzzEveryKind(argv, flags);
  return 0;
}
