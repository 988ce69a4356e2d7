#include "tools/common/meta_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats/meta_text.h"

namespace runfiles {

namespace {

// A frame line without its CR LF, exactly as the recorder writes it.
bool ParseFrameLine(std::string_view line, MetaFrame* frame) {
  MetaFrameLine parsed;
  if (!ParseMetaFrameLine(line, &parsed)) return false;
  frame->time = parsed.time;
  frame->x = parsed.x;
  frame->y = parsed.y;
  return true;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes.substr(0, 40)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    }
  }
  if (bytes.size() > 40) out += "...";
  return out;
}

}  // namespace

MetaContents ParseMeta(std::string_view bytes) {
  MetaContents meta;
  // The file's whole lines, each without its line end; a line end of LF
  // alone is counted but otherwise read like CR LF, so that a file a text
  // tool has rewritten is still read for what it says.
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  for (std::size_t newline; (newline = bytes.find('\n', at)) != std::string_view::npos; at = newline + 1) {
    bool crlf = newline > at && bytes[newline - 1] == '\r';
    if (!crlf) ++meta.lf_lines;
    lines.push_back(bytes.substr(at, newline - at - (crlf ? 1 : 0)));
  }
  if (at < bytes.size()) {
    meta.cut_mid_line = true;
    meta.cut_line = static_cast<std::int64_t>(lines.size()) + 1;
  }
  // The header's two lines and the footer's blank line and closing tag.
  const std::string_view header = meta_text::kHeader;
  const std::string_view declaration = header.substr(0, header.find('\r'));
  const std::string_view opening = header.substr(declaration.size() + 2, header.size() - declaration.size() - 4);
  const std::string_view footer = meta_text::kFooter;
  const std::string_view closing = footer.substr(2, footer.size() - 4);
  std::size_t first = 0, last = lines.size();
  if (lines.size() >= 2 && lines[0] == declaration && lines[1] == opening) {
    meta.has_header = true;
    first = 2;
  }
  if (!meta.cut_mid_line && last >= first + 2 && lines[last - 1] == closing && lines[last - 2].empty()) {
    meta.has_footer = true;
    last -= 2;
  } else if (!meta.cut_mid_line && last > first && lines[last - 1].empty()) {
    // Cut after the footer's blank line: that is the missing footer, said
    // once, not a line of its own.
    --last;
  }
  bool have_previous = false;
  std::uint32_t previous_time = 0;
  for (std::size_t i = first; i < last; ++i) {
    const auto line_number = static_cast<std::int64_t>(i) + 1;
    MetaFrame frame;
    if (!ParseFrameLine(lines[i], &frame)) {
      if (meta.bad_lines++ == 0) {
        meta.first_bad_line = line_number;
        meta.first_bad_text = Printable(lines[i]);
      }
      continue;
    }
    frame.line = line_number;
    if (have_previous && meta.time_back_line == 0 && TimerStep(previous_time, frame.time) < 0) {
      meta.time_back_line = line_number;
      meta.time_back_ms = -static_cast<std::int64_t>(TimerStep(previous_time, frame.time));
    }
    have_previous = true;
    previous_time = frame.time;
    meta.frames.push_back(frame);
  }
  return meta;
}

bool ReadMetaFile(const std::string& path, MetaContents* contents, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  // A day-long timeslot at a thousand frames per second stays far below
  // this; anything larger is not a .meta file and is not read into memory.
  constexpr std::size_t kLargestMeta = std::size_t{256} << 20;
  std::string bytes;
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.append(buffer, n);
    if (bytes.size() > kLargestMeta) {
      std::fclose(file);
      *error = "larger than 256 MiB, too large for a .meta file";
      return false;
    }
  }
  bool failed = std::ferror(file) != 0;
  int read_errno = errno;
  std::fclose(file);
  if (failed) {
    *error = std::strerror(read_errno);
    return false;
  }
  *contents = ParseMeta(bytes);
  return true;
}

}  // namespace runfiles
