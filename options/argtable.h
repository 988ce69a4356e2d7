// The argument table: a command line read against a table of option rows,
// and the three help texts (syntax line, glossary, table dump) built from the
// same table.
//
// A program declares one arg_spec row per option, calls the help operations
// to print its usage, then arg_scan_command_line once. Nothing here allocates,
// keeps state between scans or frees anything the caller owns; the help
// operations return static areas and are not reentrant. Everything runs on
// the main thread at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The five kinds of value, and the variable each row's value_ptr points to.
enum arg_type : int32_t {
  arg_int = 0,   // int32_t
  arg_dbl = 1,   // double
  arg_str = 2,   // char buffer of value_size bytes, receives a terminated text
  arg_bool = 3,  // int32_t, receives 0 or 1
  arg_lit = 4,   // int32_t, receives 1 when the option is present
};

// Number of arg_type values; a table holds no others.
inline constexpr int arg_type_count = 5;

// The type name a row shows when its own type_name is null, indexed by type:
// "<int>", "<double>", "<string>", "<bool>" and "" for arg_lit.
extern const char* const arg_default_type_names[arg_type_count];

// One option. The caller owns the row, its texts and its variable.
struct arg_spec {
  // Literal text that introduces the option ("fps=", "-verbose"); null for an
  // untagged row, which takes the next free word. Non-empty, and not starting
  // with white space.
  const char* tag;
  // Names the value in the help texts; for arg_lit also a keyword that must
  // follow the tag (or, untagged, stand alone). Null: the type's default name.
  const char* type_name;
  arg_type type;
  // The variable of the kind the type requires; null reads and validates the
  // value without storing it.
  void* value_ptr;
  // Stored before anything is read; null makes the option mandatory.
  const char* defaultstr;
  // Shown by the help texts only; null gives the row no glossary line.
  const char* description;
  // Size in bytes of the arg_str variable, terminator included: a longer text
  // is refused rather than written past it. 0 means not given (a row written
  // with the six fields above): the scan then refuses the row as a table
  // fault, and the dump shows the text up to its terminator. Unused for the
  // other types.
  std::size_t value_size = 0;
};

// Capacity, terminator included, of each of the three buffers the scan fills
// (cmdline_copy, error_message, error_mark) and of the scan's value texts.
inline constexpr std::size_t arg_text_size = 200;

// Capacity, terminator included, of the scan's private working text.
inline constexpr std::size_t arg_working_size = 10000;

// Reads argv[0..argc-1] against the table's count rows, storing every row's
// default and then every value given. cmdline_copy, error_message and
// error_mark may each be null; a present one must hold arg_text_size bytes.
// Returns 1 when the whole command line was accepted. Returns 0 at the first
// error: error_message says what is wrong, and error_mark is a line of blanks
// and carets which, printed in the column of cmdline_copy, points at the
// offending text (empty for errors of the table itself, for a refused command
// line, and when the mark would not fit its buffer). cmdline_copy holds the
// joined command line; when that is longer than arg_text_size - 1 characters
// the scan refuses it and the copy holds its beginning, ended by "...".
int arg_scan_command_line(int argc, const char* const* argv, const arg_spec* table,
                          int count, char* cmdline_copy, char* error_message,
                          char* error_mark);

// After a successful scan of the same command line: writes into mark (which
// holds arg_text_size bytes) the blanks and carets that point at the value
// the tagged row `row` took, so that a caller checking values beyond what the
// table knows (ranges, say) can report in the scan's own layout. Returns 1,
// or 0 with an empty mark when the row is untagged, its tag is not on the
// command line, or the mark would not fit.
int arg_mark_value(int argc, const char* const* argv, const arg_spec* table, int count,
                   int row, char* mark);

// The syntax line: one item per row, "[tag type-name]" for an optional row,
// without brackets for a mandatory one. Returns a static area of 200 bytes,
// rebuilt on every call; a line that would not fit is cut and ends in "...".
const char* arg_usage_line(const arg_spec* table, int count);

// The glossary: "   " + tag + type name + description + "\n" for each row
// with a description. Returns a static area of 3000 bytes, rebuilt on every
// call; a glossary (or one line of it) that would not fit is cut and ends in
// "...\n".
const char* arg_help_text(const arg_spec* table, int count);

// Writes one line per row to stream: index, tag, own type name, type, the
// variable's current value and description, each column cut at 199 bytes.
void arg_print_table(std::FILE* stream, const arg_spec* table, int count);
