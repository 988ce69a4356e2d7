// The help texts of the argument table: syntax line, glossary, table dump.
//
// Each text is built in an area of fixed size. A table whose text would not
// fit is not refused: the text is cut at the end of its area and finished
// with "..." (and the glossary's line end), so that the reader sees that
// something is missing and nothing is written beyond the area.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "options/arg_internal.h"
#include "options/argtable.h"

namespace {

constexpr std::size_t kUsageLineSize = 200;
constexpr std::size_t kHelpTextSize = 3000;
constexpr std::size_t kGlossaryLineSize = 200;
constexpr std::size_t kDumpColumnSize = 200;

constexpr char kGlossaryIndent[] = "   ";
constexpr char kGlossaryLineFormat[] = "%s%s%s%s\n";
constexpr char kDumpLineFormat[] = "%3d: %-15s %-15s %10s = %-10s %s\n";
constexpr char kQuoted[] = "\"%s\"";
constexpr char kNull[] = "NULL";
constexpr char kCutText[] = "...";
constexpr char kCutLine[] = "...\n";

const char* const kTypeEnumerators[arg_type_count] = {"arg_int", "arg_dbl", "arg_str",
                                                      "arg_bool", "arg_lit"};

// The results of arg_usage_line and arg_help_text: one area each, rebuilt by
// every call (main thread only).
char usage_line_area[kUsageLineSize];
char help_text_area[kHelpTextSize];

// A text area filled piece by piece. Once a piece does not fit, the area is
// full and `cut` is set; finish() then ends it with a cut marker.
struct TextArea {
  char* text;
  std::size_t size;
  std::size_t length;
  bool cut;
};

TextArea start_area(char* text, std::size_t size) {
  text[0] = '\0';
  return TextArea{text, size, 0, false};
}

void append(TextArea& area, const char* piece) {
  if (area.cut) return;
  std::size_t length = std::strlen(piece);
  const std::size_t room = area.size - 1 - area.length;
  if (length > room) {
    length = room;
    area.cut = true;
  }
  std::memcpy(area.text + area.length, piece, length);
  area.length += length;
  area.text[area.length] = '\0';
}

void finish(TextArea& area, const char* cut_marker) {
  if (!area.cut) return;
  const std::size_t marker_length = std::strlen(cut_marker);
  std::memcpy(area.text + area.size - 1 - marker_length, cut_marker, marker_length);
}

// Formats into a fixed area; a text that does not fit is cut and ends with
// `cut_marker`.
__attribute__((format(printf, 4, 5))) void format_into(char* area, std::size_t size,
                                                       const char* cut_marker,
                                                       const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(area, size, format, args);
  va_end(args);
  if (length < 0) {
    area[0] = '\0';
  } else if (static_cast<std::size_t>(length) >= size) {
    const std::size_t marker_length = std::strlen(cut_marker);
    std::memcpy(area + size - 1 - marker_length, cut_marker, marker_length);
  }
}

const char* type_enumerator(arg_type type) {
  return type >= 0 && type < arg_type_count ? kTypeEnumerators[type] : "unknown";
}

// The dump's value column: the variable as the scan left it.
void format_value(char* area, const arg_spec& row) {
  if (row.value_ptr == nullptr) {
    format_into(area, kDumpColumnSize, kCutText, "%s", kNull);
    return;
  }
  switch (row.type) {
    case arg_int:
    case arg_bool:
    case arg_lit:
      format_into(area, kDumpColumnSize, kCutText, "%d",
                  *static_cast<const int32_t*>(row.value_ptr));
      return;
    case arg_dbl:
      format_into(area, kDumpColumnSize, kCutText, "%f",
                  *static_cast<const double*>(row.value_ptr));
      return;
    case arg_str: {
      // Never read past the variable, terminated or not. A row that gives no
      // size (0) shows its text up to the terminator, read no further than
      // the column can show.
      const char* text = static_cast<const char*>(row.value_ptr);
      const std::size_t readable = row.value_size != 0 ? row.value_size : kDumpColumnSize;
      format_into(area, kDumpColumnSize, kCutText, "\"%.*s\"",
                  static_cast<int>(strnlen(text, readable)), text);
      return;
    }
  }
  format_into(area, kDumpColumnSize, kCutText, "?");
}

}  // namespace

const char* arg_usage_line(const arg_spec* table, int count) {
  TextArea area = start_area(usage_line_area, sizeof usage_line_area);
  bool first = true;
  for (int i = 0; table != nullptr && i < count; ++i) {
    const arg_spec& row = table[i];
    const char* tag = row.tag != nullptr ? row.tag : "";
    const char* type_name = arg_type_name(&row);
    if (tag[0] == '\0' && type_name[0] == '\0') continue;
    const bool optional = row.defaultstr != nullptr;
    if (!first) append(area, " ");
    first = false;
    if (optional) append(area, "[");
    append(area, tag);
    append(area, type_name);
    if (optional) append(area, "]");
  }
  finish(area, kCutText);
  return usage_line_area;
}

const char* arg_help_text(const arg_spec* table, int count) {
  TextArea area = start_area(help_text_area, sizeof help_text_area);
  char line[kGlossaryLineSize];
  for (int i = 0; table != nullptr && i < count; ++i) {
    const arg_spec& row = table[i];
    if (row.description == nullptr) continue;
    std::memset(line, 0, sizeof line);
    format_into(line, sizeof line, kCutLine, kGlossaryLineFormat, kGlossaryIndent,
                row.tag != nullptr ? row.tag : "", arg_type_name(&row), row.description);
    append(area, line);
  }
  finish(area, kCutLine);
  return help_text_area;
}

void arg_print_table(std::FILE* stream, const arg_spec* table, int count) {
  if (stream == nullptr) return;
  char tag[kDumpColumnSize];
  char type_name[kDumpColumnSize];
  char type[kDumpColumnSize];
  char value[kDumpColumnSize];
  char description[kDumpColumnSize];
  for (int i = 0; table != nullptr && i < count; ++i) {
    const arg_spec& row = table[i];
    if (row.tag != nullptr) {
      format_into(tag, sizeof tag, kCutText, kQuoted, row.tag);
    } else {
      format_into(tag, sizeof tag, kCutText, "%s", kNull);
    }
    if (row.type_name != nullptr) {
      format_into(type_name, sizeof type_name, kCutText, kQuoted, row.type_name);
    } else {
      format_into(type_name, sizeof type_name, kCutText, "%s", kNull);
    }
    format_into(type, sizeof type, kCutText, "%s", type_enumerator(row.type));
    format_value(value, row);
    if (row.description != nullptr) {
      format_into(description, sizeof description, kCutText, kQuoted, row.description);
    } else {
      format_into(description, sizeof description, kCutText, "%s", kNull);
    }
    std::fprintf(stream, kDumpLineFormat, i, tag, type_name, type, value, description);
  }
}
