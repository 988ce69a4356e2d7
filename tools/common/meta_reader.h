// Reading a segment's .meta file: the header, one frame line per frame
// (capture time and cursor position), the footer the recorder writes when
// it finalises the segment. Every line ends in CR LF. Reading never fails:
// what is wrong with the bytes is described in the result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace runfiles {

struct MetaFrame {
  std::uint32_t time = 0;  // timer reading in ms, as the recorder's "%d" wrote it
  std::int32_t x = 0;      // cursor position
  std::int32_t y = 0;
  std::int64_t line = 0;   // line number in the file, from 1
};

struct MetaContents {
  bool has_header = false;
  bool has_footer = false;         // the segment was finalised
  std::vector<MetaFrame> frames;   // the well-formed frame lines, in order

  // Lines that end in CR LF but are no frame line (nor the footer's).
  std::int64_t bad_lines = 0;
  std::int64_t first_bad_line = 0;  // its line number
  std::string first_bad_text;       // its first bytes, printable

  // Lines that end in a bare LF (a text tool rewrote the file); they are
  // read like the others.
  std::int64_t lf_lines = 0;

  // The file ends inside a line: bytes after the last CR LF that are
  // neither the footer nor a whole line (a copy or a write cut short).
  bool cut_mid_line = false;
  std::int64_t cut_line = 0;  // the cut line's number

  // The first frame line whose time is earlier than the line before it
  // (times are compared modulo 2^32, as the timer wraps); 0 when none.
  std::int64_t time_back_line = 0;
  std::int64_t time_back_ms = 0;  // by how much

  bool whole() const {
    return has_header && has_footer && bad_lines == 0 && lf_lines == 0 && !cut_mid_line &&
           time_back_line == 0;
  }
  // Frame lines that can be trusted one to one with the AVI's frames: the
  // header is there and no line is broken or out of time order (the footer
  // may be missing: the recorder was ended before it could finalise; line
  // ends of LF alone change no time).
  bool frames_trusted() const {
    return has_header && bad_lines == 0 && !cut_mid_line && time_back_line == 0;
  }
  // Nothing in it reads like a .meta file.
  bool foreign() const { return !has_header && frames.empty(); }
};

// Signed difference later - earlier of two timer readings, modulo 2^32.
inline std::int32_t TimerStep(std::uint32_t earlier, std::uint32_t later) {
  return static_cast<std::int32_t>(later - earlier);
}

MetaContents ParseMeta(std::string_view bytes);

// Reads and parses a .meta file; false (and `error` set) when it cannot be read.
bool ReadMetaFile(const std::string& path, MetaContents* contents, std::string* error);

}  // namespace runfiles
