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

#include "formats/avi_chunks.h"

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

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

AviLayout read_avi_layout(const std::string& path) {
  AviLayout l;
  std::string file = slurp(path);
  const auto* b = reinterpret_cast<const std::uint8_t*>(file.data());
  const auto size = static_cast<std::int64_t>(file.size());
  const RiffRead read = RiffMemory(b, file.size());
  AviHeaders headers = FindAviHeaders(read, size);
  if (headers.hdrl < 0 || headers.movi < 0) return l;
  if (headers.avih >= 0) {
    l.usec_per_frame = ReadLe32(b + headers.avih + avi_field::kMicroSecPerFrame);
    l.flags = ReadLe32(b + headers.avih + avi_field::kFlags);
    l.total_frames = ReadLe32(b + headers.avih + avi_field::kTotalFrames);
  }
  if (headers.strh >= 0) {
    l.scale = ReadLe32(b + headers.strh + avi_field::kScale);
    l.rate = ReadLe32(b + headers.strh + avi_field::kRate);
    l.length = ReadLe32(b + headers.strh + avi_field::kLength);
  }
  // A file that was never completed may leave the list's size unset.
  const std::int64_t data = headers.movi + 8;
  const std::int64_t end = headers.movi_size > size - data ? size : data + headers.movi_size;
  l.frames_end = data + 4;
  RiffWalk chunks(read, data + 4, end);
  for (RiffChunk chunk; chunks.Next(&chunk) && chunk.end() <= end;) {
    (chunk.size > 0 ? l.frames : l.empty) += 1;
    l.frames_end = chunk.end();
  }
  l.whole = l.frames_end == end;
  l.readable = true;
  l.indexed = end + 8 <= size && IsFourcc(b + end, "idx1");
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
