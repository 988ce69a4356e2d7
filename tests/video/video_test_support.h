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

// The RGB24 images of colour-bar frames first .. first+count-1, one after
// the other, as decode_raw gives them.
std::vector<std::uint8_t> expected_rgb(const BITMAPINFOHEADER& h, int first, int count);

// Mean absolute difference per byte; huge when the sizes differ.
double mean_difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// One AVI segment opened as the recorder opens it.
struct Segment {
  PAVIFILE file = nullptr;
  PAVISTREAM raw = nullptr;
  PAVISTREAM compressed = nullptr;
};

constexpr DWORD kX264Handler = mmioFOURCC('x', '2', '6', '4');

// Opens path and sets the stream up with the recorder's values (rate fps,
// key frame every keyint, the x264 handler). Fails the test on any error.
Segment open_segment(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, DWORD keyint = 100,
                     DWORD handler = kX264Handler);

// The same up to the format: the file, its stream and the compressing
// stream, which still needs AVIStreamSetFormat.
Segment begin_segment(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, DWORD keyint = 100,
                      DWORD handler = kX264Handler);

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

// What an AVI file's chunks say, read byte by byte without libavformat.
struct AviLayout {
  bool readable = false;            // RIFF "AVI " with a header list and a frame list
  std::uint32_t usec_per_frame = 0; // avih
  std::uint32_t flags = 0;          // avih
  std::uint32_t total_frames = 0;   // avih
  std::uint32_t scale = 0;          // the video stream's strh
  std::uint32_t rate = 0;
  std::uint32_t length = 0;
  int frames = 0;                   // chunks of the frame list that hold data
  int empty = 0;                    // chunks of the frame list without data
  bool whole = false;               // the frame list ends with a whole chunk
  bool indexed = false;             // an idx1 index follows the frame list
  long long frames_end = 0;         // file offset where the last whole chunk ends
};
AviLayout read_avi_layout(const std::string& path);

// Captures what the process writes to stdout and stderr between start and
// stop, at the descriptor level (where libx264 and the layer's own messages
// go), into files of dir.
class OutputCapture {
 public:
  explicit OutputCapture(const ScratchDir& dir);
  void start();
  void stop();
  long long out_bytes() const { return file_size(out_path_); }
  long long err_bytes() const { return file_size(err_path_); }
  std::string err_text() const;

 private:
  std::string out_path_, err_path_;
  int saved_out_ = -1, saved_err_ = -1;
};
