// The steps of a scan, for arg_scan.cpp and for tests that drive one step
// at a time. Every text buffer named here holds arg_text_size bytes, except
// the working text, which holds arg_working_size; a null message or mark
// buffer is not written.
#pragma once

#include <cstddef>

#include "options/argtable.h"

// Results of arg_convert_value besides a count of consumed characters.
inline constexpr int arg_no_value = -1;        // no valid value stands there
inline constexpr int arg_value_too_long = -2;  // longer than arg_text_size - 1
inline constexpr int arg_value_too_big = -3;   // text longer than its arg_str variable

// White space as the table understands it: " \f\n\r\v\t".
bool arg_is_space(char c);

// The row's type name: its own type_name, else the default for its type.
const char* arg_type_name(const arg_spec* row);

// Joins the entries, each followed by one blank and quoted with "'" when it
// contains white space, writing at most capacity - 1 characters and a
// terminator into out (out may be null when capacity is 0). Returns the full
// length of the joined text, so a result >= capacity means it was cut.
std::size_t arg_join_arguments(char* out, std::size_t capacity, int argc,
                               const char* const* argv);

// Checks every row's tag, type and string size, then stores the defaults in
// table order. Returns 1, or 0 with a message (earlier defaults stay stored).
int arg_validate_table(const arg_spec* table, int count, char* message);

// Takes every tagged row's option out of the working text (taken characters
// become blanks). Returns 1, or 0 with message and mark line.
int arg_scan_tagged(char* working, const arg_spec* table, int count, char* message,
                    char* mark);

// Serves the untagged rows, in table order, from the free words that remain.
// Returns 1, or 0 with message and mark line.
int arg_scan_untagged(char* working, const arg_spec* table, int count, char* message,
                      char* mark);

// Reads the row's value at text and stores it through value_ptr. Returns the
// number of characters consumed, leading white space included (0 or more),
// or arg_no_value, arg_value_too_long or arg_value_too_big.
int arg_convert_value(const arg_spec* row, const char* text);

// 1 for a true word, 0 for a false one (a leading part of TRUE, YES, ON or of
// FALSE, NO, OFF, any letter case, two letters at least for ON and OFF),
// -1 for anything else. Leading white space is skipped.
int arg_parse_bool(const char* text);

// Writes `blanks` blanks and `carets` carets (none for a count of 0 or less)
// into mark. Returns 1, or 0 with an empty mark when the line would not fit.
int arg_mark_line(char* mark, int blanks, int carets);
