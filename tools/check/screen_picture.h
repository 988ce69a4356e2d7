// Pictures of the screen for slotrec-check's HTML report: one frame of a
// segment decoded, scaled down and coded as JPEG, all with FFmpeg's
// libraries (libavcodec's H.264 decoder and mjpeg encoder, libswscale).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace check {

struct ScreenPicture {
  std::string jpeg;                      // empty: no picture, `error` says why
  std::string error;
  int width = 0, height = 0;             // of the picture
  int frame_width = 0, frame_height = 0; // of the recording (known when the AVI opened)
  std::int64_t frame_index = 0;          // which of the segment's frames it shows, from 0
};

// The segment's first frame that decodes cleanly (or, when none does among
// its first frames, the first that decodes at all), at most `max_width`
// pixels wide. Reads only as far as that frame.
ScreenPicture PictureOfSegment(const std::string& avi_path, int max_width);

// `bytes` in base64, for a data: URI.
std::string Base64(std::string_view bytes);

}  // namespace check
