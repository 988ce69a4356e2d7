// The .meta text beside each AVI segment: a header, one frame line per frame
// of the AVI (its capture time and the cursor position), and the footer the
// recorder writes when it finalises the segment. Every line ends in CR LF
// wherever it is written (the file is opened in binary mode, so no platform
// rewrites the line ends).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace meta_text {
inline constexpr char kHeader[] = "<?xml version=\"1.0\"?>\r\n<frames>\r\n";
inline constexpr char kFrameLine[] = "<frame time=\"%d\" x=\"%d\" y=\"%d\"/>\r\n";
inline constexpr char kFooter[] = "\r\n</frames>\r\n";
inline constexpr char kLineEnd[] = "\r\n";
}  // namespace meta_text

// One frame line.
struct MetaFrameLine {
  std::uint32_t time = 0;  // timer reading in ms; written as a signed "%d"
  std::int32_t x = 0;      // cursor position in screen coordinates
  std::int32_t y = 0;
};

// Room for the longest frame line with its CR LF and a NUL.
inline constexpr std::size_t kMetaFrameLineSize = 64;

// The frame line with its CR LF into `out`; returns its length.
int FormatMetaFrameLine(char (&out)[kMetaFrameLineSize], const MetaFrameLine& frame);

// Writes the frame line to `file` in one call; returns its length, or -1
// when the file took it not at all or only in part.
int WriteMetaFrameLine(std::FILE* file, const MetaFrameLine& frame);

// Reads one frame line, given without its CR LF: true only for a line
// exactly as WriteMetaFrameLine writes it.
bool ParseMetaFrameLine(std::string_view line, MetaFrameLine* frame);
