// The x264 video compressor of the Linux platform layer: libx264, driven
// directly, presented as the x264vfw compressor is on Windows.
#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/video/compressor_manager.h"

extern const CompressorDriver kX264Driver;

// The settings the compressor reads from the current user's key
// "Software\GNU\x264" each time a compressing stream starts.
struct X264Settings {
  DWORD encoding_type = 4;    // 0 bitrate, 1 quantizer, 2 first pass, 3 lossless, 4 ratefactor
  DWORD quantizer = 23;
  DWORD ratefactor = 230;     // tenths
  DWORD passbitrate = 800;    // kbit/s
  std::string preset = "ultrafast";
  std::string tuning;         // "" for none
  DWORD log_level = 2;        // 0 none, 1 error, 2 warning, 3 info, 4 debug
};

// Reads the settings; a value that is missing, of the wrong type or out of
// range keeps its default. Any thread.
X264Settings x264_read_settings();

// The picture the session's last convert produced (YUV 4:2:0: plane 0 is
// luma, 1 and 2 are U and V at half the width and height), for checking the
// conversion against the decoded file. All null before the first convert.
struct X264Picture {
  const std::uint8_t* plane[3];
  int stride[3];
};
X264Picture x264_session_picture(const CompressorSession* session);
