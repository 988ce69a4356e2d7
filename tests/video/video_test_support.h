// Helpers for the tests of the real video layer: scratch directories, a
// private settings store, synthetic DIB frames, the recorder's sequence of
// AVIFile calls, and ffprobe/ffmpeg as the judges of the files written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// A fresh directory under $TMPDIR, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points XDG_CONFIG_HOME at a scratch directory for the object's life, so the
// settings store of a test is its own. The store file is store_file().
class PrivateSettings {
 public:
  PrivateSettings();
  ~PrivateSettings();
  std::string store_file() const { return dir_.file("slotrec/user.reg"); }
  const std::string& config_home() const { return dir_.path(); }

 private:
  ScratchDir dir_;
  std::string saved_;
  bool had_saved_ = false;
};

// Writes name = value (REG_DWORD) or text (REG_SZ) under
// HKEY_CURRENT_USER\Software\GNU\x264; fails the test on error.
void set_x264_dword(const char* name, DWORD value);
void set_x264_text(const char* name, const char* text);

// A 24- or 32-bit bottom-up DIB header for width x height.
BITMAPINFOHEADER dib_header(int width, int height, int bits);

// Frame `index` of a moving colour-bar pattern with a gradient, as DIB rows
// (bottom-up, padded to 4 bytes) for the header.
std::vector<std::uint8_t> colour_bars(const BITMAPINFOHEADER& h, int index);

// The top-down RGB24 image a decoder should give back for a DIB frame.
std::vector<std::uint8_t> dib_to_rgb(const BITMAPINFOHEADER& h, const std::vector<std::uint8_t>& dib);

// One AVI segment opened as the recorder opens it.
struct Segment {
  PAVIFILE file = nullptr;
  PAVISTREAM raw = nullptr;
  PAVISTREAM compressed = nullptr;
};

// Opens path and sets the stream up with the recorder's values (rate fps,
// key frame every keyint, the x264 handler). Fails the test on any error.
Segment open_segment(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, DWORD keyint = 100);

// Releases in the recorder's order: compressing stream, stream, file.
void release_segment(Segment& s);

// Writes `frames` colour-bar frames and releases the segment.
void record_bars(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, int frames, DWORD keyint = 100);

// ---- judges ------------------------------------------------------------------

struct RunResult {
  int status = -1;   // exit status, or -1 when the program did not exit normally
  std::string out;   // standard output
};

// Runs argv[0] with the arguments (searched in PATH), stderr discarded.
RunResult run_program(const std::vector<std::string>& argv);

struct ProbedStream {
  std::string codec;
  int width = 0;
  int height = 0;
  std::string frame_rate;  // r_frame_rate, e.g. "20/1"
  long frames = -1;        // nb_read_frames
};

// The first video stream as ffprobe reads it (frames counted by decoding).
ProbedStream probe_stream(const std::string& path);

// The first field of each ffprobe entry of the video stream, in order, for
// entry as -show_entries takes it ("frame=pkt_dts", "stream=nb_frames").
std::vector<std::string> probe_entries(const std::string& path, const std::string& entry);

// Decoder's key_frame flag of every frame, in order.
std::vector<bool> probe_key_frames(const std::string& path);

// Key flag of every packet as the file's index gives it, in order.
std::vector<bool> probe_key_packets(const std::string& path);

// Frames first .. first+count-1 decoded by ffmpeg into raw pixels of pix_fmt
// ("rgb24", "yuv420p"), one after the other.
std::vector<std::uint8_t> decode_raw(const std::string& path, const char* pix_fmt, int first, int count);

// Size of a file in bytes, -1 when it does not exist.
long long file_size(const std::string& path);
