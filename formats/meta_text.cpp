#include "formats/meta_text.h"

#include <vector>

#include "formats/printf_scan.h"

int FormatMetaFrameLine(char (&out)[kMetaFrameLineSize], const MetaFrameLine& frame) {
  return std::snprintf(out, sizeof out, meta_text::kFrameLine, static_cast<std::int32_t>(frame.time),
                       frame.x, frame.y);
}

int WriteMetaFrameLine(std::FILE* file, const MetaFrameLine& frame) {
  char line[kMetaFrameLineSize];
  const int length = FormatMetaFrameLine(line, frame);
  if (length <= 0) return -1;
  const auto size = static_cast<std::size_t>(length);
  return std::fwrite(line, 1, size, file) == size ? length : -1;
}

bool ParseMetaFrameLine(std::string_view line, MetaFrameLine* frame) {
  constexpr std::string_view format = meta_text::kFrameLine;
  constexpr std::string_view line_end = meta_text::kLineEnd;
  std::vector<ScannedField> fields;
  if (!ScanPrintfText(line, format.substr(0, format.size() - line_end.size()), &fields)) return false;
  frame->time = static_cast<std::uint32_t>(static_cast<std::int32_t>(fields[0].integer));
  frame->x = static_cast<std::int32_t>(fields[1].integer);
  frame->y = static_cast<std::int32_t>(fields[2].integer);
  return true;
}
