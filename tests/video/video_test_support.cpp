#include "tests/video/video_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/slotrec-video-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Directories a test made read-only must be writable again to be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_directory(ec)) chmod(it->path().c_str(), 0700);
  std::filesystem::remove_all(path_, ec);
}

PrivateSettings::PrivateSettings() {
  if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
    saved_ = old;
    had_saved_ = true;
  }
  setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
}

PrivateSettings::~PrivateSettings() {
  if (had_saved_)
    setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

namespace {

HKEY open_x264_key() {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\x264", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  return key;
}

}  // namespace

void set_x264_dword(const char* name, DWORD value) {
  HKEY key = open_x264_key();
  EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
  RegCloseKey(key);
}

void set_x264_text(const char* name, const char* text) {
  HKEY key = open_x264_key();
  EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>(std::string(text).size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

BITMAPINFOHEADER dib_header(int width, int height, int bits) {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof h;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<WORD>(bits);
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<DWORD>(((width * bits + 31) / 32) * 4 * height);
  return h;
}

namespace {

int dib_stride(const BITMAPINFOHEADER& h) { return ((h.biWidth * h.biBitCount + 31) / 32) * 4; }

}  // namespace

std::vector<std::uint8_t> colour_bars(const BITMAPINFOHEADER& h, int index) {
  static const std::uint8_t bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                           {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
  int stride = dib_stride(h);
  int bpp = h.biBitCount / 8;
  std::vector<std::uint8_t> dib(static_cast<std::size_t>(stride) * h.biHeight, 0);
  int bar_width = h.biWidth / 8 > 0 ? h.biWidth / 8 : 1;
  for (int y = 0; y < h.biHeight; ++y) {       // y counts from the top of the image
    std::uint8_t* row = dib.data() + static_cast<std::size_t>(h.biHeight - 1 - y) * stride;
    for (int x = 0; x < h.biWidth; ++x) {
      int bar = ((x + index * 8) / bar_width) % 8;
      // The top quarter is a grey ramp, so that up and down cannot be confused.
      std::uint8_t r, g, b;
      if (y < h.biHeight / 4) {
        r = g = b = static_cast<std::uint8_t>(16 + (y * 219) / (h.biHeight / 4 > 0 ? h.biHeight / 4 : 1));
      } else {
        r = bars[bar][0];
        g = bars[bar][1];
        b = bars[bar][2];
      }
      std::uint8_t* px = row + x * bpp;
      px[0] = b;
      px[1] = g;
      px[2] = r;
      if (bpp == 4) px[3] = 0;
    }
  }
  return dib;
}

std::vector<std::uint8_t> dib_to_rgb(const BITMAPINFOHEADER& h, const std::vector<std::uint8_t>& dib) {
  int stride = dib_stride(h);
  int bpp = h.biBitCount / 8;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(h.biWidth) * h.biHeight * 3);
  for (int y = 0; y < h.biHeight; ++y) {
    const std::uint8_t* row = dib.data() + static_cast<std::size_t>(h.biHeight - 1 - y) * stride;
    for (int x = 0; x < h.biWidth; ++x) {
      std::uint8_t* out = &rgb[(static_cast<std::size_t>(y) * h.biWidth + x) * 3];
      out[0] = row[x * bpp + 2];
      out[1] = row[x * bpp + 1];
      out[2] = row[x * bpp + 0];
    }
  }
  return rgb;
}

std::vector<std::uint8_t> expected_rgb(const BITMAPINFOHEADER& h, int first, int count) {
  std::vector<std::uint8_t> all;
  for (int i = first; i < first + count; ++i) {
    std::vector<std::uint8_t> rgb = dib_to_rgb(h, colour_bars(h, i));
    all.insert(all.end(), rgb.begin(), rgb.end());
  }
  return all;
}

double mean_difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  EXPECT_EQ(a.size(), b.size());
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / double(a.size());
}

Segment begin_segment(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, DWORD keyint, DWORD handler) {
  Segment s;
  EXPECT_EQ(AVIFileOpenA(&s.file, path.c_str(), OF_CREATE | OF_WRITE, nullptr), AVIERR_OK);
  AVISTREAMINFOA si{};
  si.fccType = streamtypeVIDEO;
  si.dwScale = 1;
  si.dwRate = fps;
  si.dwSuggestedBufferSize = h.biSizeImage;
  si.rcFrame = RECT{0, 0, h.biWidth, h.biHeight};
  EXPECT_EQ(AVIFileCreateStreamA(s.file, &s.raw, &si), AVIERR_OK);
  AVICOMPRESSOPTIONS opts{};
  opts.fccType = streamtypeVIDEO;
  opts.fccHandler = handler;
  opts.dwKeyFrameEvery = keyint;
  opts.dwFlags = AVICOMPRESSF_KEYFRAMES;
  EXPECT_EQ(AVIMakeCompressedStream(&s.compressed, s.raw, &opts, nullptr), AVIERR_OK);
  return s;
}

Segment open_segment(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, DWORD keyint, DWORD handler) {
  Segment s = begin_segment(path, h, fps, keyint, handler);
  BITMAPINFOHEADER format = h;
  EXPECT_EQ(AVIStreamSetFormat(s.compressed, 0, &format, sizeof format), AVIERR_OK);
  return s;
}

void release_segment(Segment& s) {
  if (s.compressed != nullptr) AVIStreamRelease(s.compressed);
  if (s.raw != nullptr) AVIStreamRelease(s.raw);
  if (s.file != nullptr) AVIFileRelease(s.file);
  s = Segment{};
}

void record_bars(const std::string& path, const BITMAPINFOHEADER& h, DWORD fps, int frames, DWORD keyint) {
  Segment s = open_segment(path, h, fps, keyint);
  for (int i = 0; i < frames; ++i) {
    std::vector<std::uint8_t> dib = colour_bars(h, i);
    EXPECT_EQ(AVIStreamWrite(s.compressed, i, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr, nullptr),
              AVIERR_OK)
        << "frame " << i;
  }
  release_segment(s);
}

RunResult run_program(const std::vector<std::string>& argv) {
  RunResult result;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  char buf[65536];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) result.out.append(buf, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

namespace {

std::string value_of(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
  return {};
}

}  // namespace

ProbedStream probe_stream(const std::string& path) {
  RunResult r = run_program({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                             "stream=codec_name,width,height,r_frame_rate,nb_read_frames", "-of",
                             "default=noprint_wrappers=1", path});
  ProbedStream p;
  EXPECT_EQ(r.status, 0) << "ffprobe could not read " << path;
  p.codec = value_of(r.out, "codec_name");
  p.width = std::atoi(value_of(r.out, "width").c_str());
  p.height = std::atoi(value_of(r.out, "height").c_str());
  p.frame_rate = value_of(r.out, "r_frame_rate");
  std::string frames = value_of(r.out, "nb_read_frames");
  p.frames = frames.empty() ? -1 : std::atol(frames.c_str());
  return p;
}

std::vector<std::string> probe_entries(const std::string& path, const std::string& entry) {
  RunResult r = run_program({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", entry, "-of",
                             "csv=p=0", path});
  EXPECT_EQ(r.status, 0) << "ffprobe could not read " << path;
  std::vector<std::string> values;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    // The first field is the entry; frames may carry side data after it.
    std::string field = line.substr(0, line.find(','));
    if (!field.empty()) values.push_back(field);
  }
  return values;
}

std::vector<bool> probe_key_frames(const std::string& path) {
  std::vector<bool> keys;
  for (const std::string& v : probe_entries(path, "frame=key_frame")) keys.push_back(v == "1");
  return keys;
}

std::vector<bool> probe_key_packets(const std::string& path) {
  std::vector<bool> keys;
  for (const std::string& v : probe_entries(path, "packet=flags")) keys.push_back(v.find('K') != std::string::npos);
  return keys;
}

std::vector<std::uint8_t> decode_raw(const std::string& path, const char* pix_fmt, int first, int count) {
  std::string select = "select=between(n\\," + std::to_string(first) + "\\," + std::to_string(first + count - 1) + ")";
  RunResult r = run_program({"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-vf", select, "-vsync", "0",
                             "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"});
  EXPECT_EQ(r.status, 0) << "ffmpeg could not decode " << path;
  return std::vector<std::uint8_t>(r.out.begin(), r.out.end());
}

long long file_size(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

namespace {

std::uint32_t le32_at(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The header list: avih and the first video strh.
void read_header_list(const std::string& b, std::size_t at, std::size_t end, AviLayout& l, bool& strh_seen) {
  while (at + 8 <= end) {
    std::string id = b.substr(at, 4);
    std::size_t size = le32_at(b, at + 4);
    std::size_t data = at + 8;
    if (size > end - data) return;
    if (id == "LIST") {
      read_header_list(b, data + 4, data + size, l, strh_seen);
    } else if (id == "avih" && size >= 56) {
      l.usec_per_frame = le32_at(b, data);
      l.flags = le32_at(b, data + 12);
      l.total_frames = le32_at(b, data + 16);
    } else if (id == "strh" && size >= 36 && !strh_seen && b.compare(data, 4, "vids") == 0) {
      strh_seen = true;
      l.scale = le32_at(b, data + 20);
      l.rate = le32_at(b, data + 24);
      l.length = le32_at(b, data + 32);
    }
    at = data + size + (size & 1);
  }
}

}  // namespace

AviLayout read_avi_layout(const std::string& path) {
  AviLayout l;
  std::string b = slurp(path);
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "AVI ") != 0) return l;
  bool header = false, strh_seen = false;
  std::size_t at = 12;
  while (at + 12 <= b.size()) {
    std::string id = b.substr(at, 4);
    std::size_t size = le32_at(b, at + 4);
    std::size_t data = at + 8;
    if (id == "LIST" && b.compare(data, 4, "hdrl") == 0) {
      if (size > b.size() - data) return l;
      read_header_list(b, data + 4, data + size, l, strh_seen);
      header = true;
    } else if (id == "LIST" && b.compare(data, 4, "movi") == 0) {
      // A file that was never completed may leave the list's size unset.
      std::size_t end = size > b.size() - data ? b.size() : data + size;
      std::size_t chunk = data + 4;
      l.frames_end = static_cast<long long>(chunk);
      while (chunk + 8 <= end) {
        std::size_t chunk_size = le32_at(b, chunk + 4);
        std::size_t next = chunk + 8 + chunk_size + (chunk_size & 1);
        if (next > end) break;
        (chunk_size > 0 ? l.frames : l.empty) += 1;
        chunk = next;
        l.frames_end = static_cast<long long>(chunk);
      }
      l.whole = chunk == end;
      l.readable = header;
      l.indexed = end + 8 <= b.size() && b.compare(end, 4, "idx1") == 0;
      return l;
    }
    if (size > b.size() - data) return l;
    at = data + size + (size & 1);
  }
  return l;
}

OutputCapture::OutputCapture(const ScratchDir& dir) : out_path_(dir.file("stdout")), err_path_(dir.file("stderr")) {}

void OutputCapture::start() {
  std::fflush(stdout);
  std::fflush(stderr);
  saved_out_ = dup(1);
  saved_err_ = dup(2);
  int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, 1);
  dup2(err, 2);
  close(out);
  close(err);
}

void OutputCapture::stop() {
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out_, 1);
  dup2(saved_err_, 2);
  close(saved_out_);
  close(saved_err_);
}

std::string OutputCapture::err_text() const { return slurp(err_path_); }
