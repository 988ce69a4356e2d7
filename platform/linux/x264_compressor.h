// The x264 video compressor of the Linux platform layer: libx264 through
// libavcodec, presented as the x264vfw compressor is on Windows.
#pragma once

#include <string>

#include "platform/linux/compressor_manager.h"

extern "C" {
#include <libavutil/frame.h>
}

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

// The picture the session's last convert produced (YUV 4:2:0), for checking
// the conversion against the decoded file.
const AVFrame* x264_session_picture(const CompressorSession* session);
