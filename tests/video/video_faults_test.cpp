// The AVIFile layer under faults, on the real library and real files: rates
// above what libavformat's AVI muxer takes as they are, a file-size limit, a
// full disk, and frames that the compressor or the muxer refuse. Whatever
// happens, a write that returns 0 is a frame in the file, ffprobe decodes
// exactly those, and a file that could not be completed is said and counted.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/video/compressor_manager.h"
#include "platform/linux/video/x264_compressor.h"
#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

class AviFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AVIFileInit();
    // As in the program: a file-size limit is an error (EFBIG), not a signal.
    signal(SIGXFSZ, SIG_IGN);
  }
  void TearDown() override { AVIFileExit(); }
  PrivateSettings settings_;
  ScratchDir dir_;
};

// Writes one frame at position, as the recorder does, and checks that the
// samples written agree with the result.
HRESULT write_frame(PAVISTREAM stream, LONG position, std::vector<std::uint8_t> dib, LONG* bytes = nullptr) {
  LONG samples = -1;
  HRESULT r = AVIStreamWrite(stream, position, 1, dib.data(), static_cast<LONG>(dib.size()), 0, &samples, bytes);
  EXPECT_EQ(samples, r == AVIERR_OK ? 1 : 0) << "position " << position;
  return r;
}

std::vector<std::string> numbers(int from, int to) {
  std::vector<std::string> all;
  for (int i = from; i < to; ++i) all.push_back(std::to_string(i));
  return all;
}

std::string incomplete_line(const std::string& path, const char* cause, int frames) {
  return "slotrec: " + path + " could not be completed (" + cause + "); it keeps its first " +
         std::to_string(frames) + " frames, without an index\n";
}

// The file as a reader finds it after a failure: the frames that were
// stored, whole, and nothing after them; ffprobe reads such a file by its
// chunks.
void expect_cut_after(const std::string& path, const BITMAPINFOHEADER* h, int frames, long long size) {
  EXPECT_EQ(file_size(path), size) << path;
  AviLayout l = read_avi_layout(path);
  EXPECT_TRUE(l.readable) << path;
  EXPECT_TRUE(l.whole) << path;
  EXPECT_FALSE(l.indexed) << path;
  EXPECT_EQ(l.frames, frames) << path;
  EXPECT_EQ(l.frames_end, size) << path;
  // The header counts what stays and claims no index, so that readers which
  // trust it (Video for Windows does) read the chunks as they are.
  EXPECT_EQ(l.length, static_cast<std::uint32_t>(frames)) << path;
  EXPECT_EQ(l.total_frames, static_cast<std::uint32_t>(frames)) << path;
  EXPECT_EQ(l.flags & 0x10u, 0u) << path;  // AVIF_HASINDEX
  EXPECT_EQ(probe_stream(path).frames, frames) << path;
  if (h != nullptr && frames >= 3) {
    EXPECT_LT(mean_difference(decode_raw(path, "rgb24", frames - 3, 3), expected_rgb(*h, frames - 3, 3)), 4.0)
        << path;
  }
}

// Lowers the process's file-size limit for the object's life.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long long bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(bytes);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0) << std::strerror(errno);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

// Above 1000 frames per second libavformat would write the rate as 600 and
// give several frames one time stamp; the file must keep every frame, one
// chunk per position, at the rate asked for.
TEST_F(AviFaultTest, RatesAboveAThousandKeepEveryFrameAtTheirRate) {
  BITMAPINFOHEADER h = dib_header(160, 120, 24);
  constexpr int kFrames = 300;
  for (DWORD fps : {1001u, 2000u, 5965u}) {
    std::string path = dir_.file(std::to_string(fps) + ".avi");
    Segment s = open_segment(path, h, fps);
    for (int i = 0; i < kFrames; ++i) ASSERT_EQ(write_frame(s.compressed, i, colour_bars(h, i)), AVIERR_OK) << fps;
    release_segment(s);

    ProbedStream p = probe_stream(path);
    EXPECT_EQ(p.frame_rate, std::to_string(fps) + "/1");
    EXPECT_EQ(p.frames, kFrames) << fps;
    EXPECT_EQ(probe_entries(path, "frame=pkt_dts"), numbers(0, kFrames)) << fps;
    AviLayout l = read_avi_layout(path);
    EXPECT_EQ(l.scale, 1u);
    EXPECT_EQ(l.rate, fps);
    EXPECT_EQ(l.usec_per_frame, 1000000u / fps);
    EXPECT_EQ(l.length, static_cast<std::uint32_t>(kFrames));
    EXPECT_TRUE(l.indexed);
    for (int first : {0, kFrames - 3})
      EXPECT_LT(mean_difference(decode_raw(path, "rgb24", first, 3), expected_rgb(h, first, 3)), 4.0)
          << fps << " fps, frames from " << first;
  }
}

// A file-size limit (EFBIG): the frame that meets it fails and so does every
// write after it, with nothing encoded and nothing moved; the part of the
// frame that got in is cut off again. Whether the limit stops a frame or
// the index, the release says the file could not be completed and counts
// it, and the file holds exactly the frames whose writes returned 0. A
// header that does not fit is AVIStreamSetFormat's failure, and the
// recorder removes that file: it is not counted.
TEST_F(AviFaultTest, FileSizeLimitCutsTheFileAfterItsLastWholeFrame) {
  BITMAPINFOHEADER h = dib_header(160, 120, 24);
  DWORD incomplete = IncompleteAviFiles();
  OutputCapture capture(dir_);

  std::string frame_hit = dir_.file("000-00.avi");
  Segment s = open_segment(frame_hit, h, 20);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(write_frame(s.compressed, i, colour_bars(h, i)), AVIERR_OK);
  long long size = file_size(frame_hit);
  {
    FileSizeLimit limit(size + 5);
    LONG bytes = -1;
    EXPECT_EQ(write_frame(s.compressed, 12, colour_bars(h, 12), &bytes), AVIERR_FILEWRITE);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(file_size(frame_hit), size);
  }
  // Room again changes nothing: the file's output has failed for good.
  EXPECT_EQ(write_frame(s.compressed, 12, colour_bars(h, 12)), AVIERR_FILEWRITE);
  EXPECT_EQ(write_frame(s.compressed, 13, colour_bars(h, 13)), AVIERR_FILEWRITE);
  EXPECT_EQ(AVIStreamWrite(s.compressed, 11, 1, nullptr, 0, 0, nullptr, nullptr), AVIERR_BADPARAM);
  capture.start();
  release_segment(s);
  capture.stop();
  EXPECT_EQ(capture.err_text(), incomplete_line(frame_hit, "File too large", 12));
  EXPECT_EQ(IncompleteAviFiles(), incomplete + 1);
  expect_cut_after(frame_hit, &h, 12, size);

  std::string index_hit = dir_.file("000-02.avi");
  s = open_segment(index_hit, h, 20);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(write_frame(s.compressed, i, colour_bars(h, i)), AVIERR_OK);
  size = file_size(index_hit);
  {
    FileSizeLimit limit(size + 10);
    capture.start();
    release_segment(s);
    capture.stop();
  }
  EXPECT_EQ(capture.err_text(), incomplete_line(index_hit, "File too large", 12));
  EXPECT_EQ(IncompleteAviFiles(), incomplete + 2);
  expect_cut_after(index_hit, &h, 12, size);

  std::string header_hit = dir_.file("000-04.avi");
  s = begin_segment(header_hit, h, 20);
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(AVIStreamSetFormat(s.compressed, 0, &h, sizeof h), AVIERR_FILEWRITE);
  }
  EXPECT_EQ(AVIStreamSetFormat(s.compressed, 0, &h, sizeof h), AVIERR_FILEWRITE);  // no second try
  EXPECT_EQ(write_frame(s.compressed, 0, colour_bars(h, 0)), AVIERR_BADFORMAT);
  capture.start();
  release_segment(s);
  capture.stop();
  EXPECT_EQ(capture.err_bytes(), 0);
  EXPECT_EQ(IncompleteAviFiles(), incomplete + 2);
}

// Mounts a small tmpfs at a directory for the object's life.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& dir) : dir_(dir) {
    mkdir(dir.c_str(), 0700);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=2m") == 0)
      mounted_ = true;
    else
      why_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_;
};

// A full disk (ENOSPC) in the middle of a segment: as with the limit, the
// file keeps its whole frames and says so on release; and the next segment's
// header, on the same full disk, fails in AVIStreamSetFormat.
TEST_F(AviFaultTest, FullDiskCutsTheFileAfterItsLastWholeFrame) {
  SmallFileSystem fs(dir_.file("small"));
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << fs.why() << "): needs CAP_SYS_ADMIN";
  // Noise compresses badly: a few frames fill the disk.
  BITMAPINFOHEADER h = dib_header(320, 240, 24);
  std::mt19937 random(7);
  auto noise = [&] {
    std::vector<std::uint8_t> dib(h.biSizeImage);
    for (std::uint8_t& b : dib) b = static_cast<std::uint8_t>(random());
    return dib;
  };
  DWORD incomplete = IncompleteAviFiles();
  OutputCapture capture(dir_);

  std::string path = dir_.file("small/000-00.avi");
  Segment s = open_segment(path, h, 20);
  int stored = 0;
  long long size = file_size(path);
  HRESULT r = AVIERR_OK;
  for (; stored < 200; ++stored) {
    r = write_frame(s.compressed, stored, noise());
    if (r != AVIERR_OK) break;
    size = file_size(path);
  }
  ASSERT_EQ(r, AVIERR_FILEWRITE) << "the disk did not fill";
  ASSERT_GE(stored, 2);
  EXPECT_EQ(file_size(path), size);
  EXPECT_EQ(write_frame(s.compressed, stored, noise()), AVIERR_FILEWRITE);
  EXPECT_EQ(write_frame(s.compressed, stored + 1, noise()), AVIERR_FILEWRITE);
  capture.start();
  release_segment(s);
  capture.stop();
  EXPECT_EQ(capture.err_text(), incomplete_line(path, "No space left on device", stored));
  EXPECT_EQ(IncompleteAviFiles(), incomplete + 1);
  expect_cut_after(path, nullptr, stored, size);

  // Whatever room the cut gave back is taken, then the next segment comes.
  int filler = open(dir_.file("small/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(filler, 0);
  std::vector<char> block(4096, 'x');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  close(filler);
  s = begin_segment(dir_.file("small/000-02.avi"), h, 20);
  EXPECT_EQ(AVIStreamSetFormat(s.compressed, 0, &h, sizeof h), AVIERR_FILEWRITE);
  release_segment(s);
  EXPECT_EQ(IncompleteAviFiles(), incomplete + 1);
}

// The x264 compressor with faults on cue, by the number of its compress
// call: a packet that the muxer refuses (no start code where the file's
// first H.264 packet must have one), or a frame coded and then lost on its
// way to the file.
struct Cues {
  int call = 0;
  int refused = -1;
  int lost = -1;
};
Cues g_cues;

int keep_nothing(void*, AVPacket*) { return 0; }

struct Forward {
  CompressorPacketSink sink;
  void* context;
};

int forward_without_start_code(void* context, AVPacket* packet) {
  auto* f = static_cast<Forward*>(context);
  AVPacket* bad = av_packet_clone(packet);
  if (bad == nullptr || av_packet_make_writable(bad) < 0 || bad->size < 4) return AVERROR(ENOMEM);
  std::memset(bad->data, 0xFF, 4);
  int r = f->sink(f->context, bad);
  av_packet_free(&bad);
  return r;
}

HRESULT compress_on_cue(CompressorSession* s, std::int64_t pts, bool key, CompressorPacketSink sink, void* context) {
  int call = g_cues.call++;
  if (call == g_cues.lost) {
    kX264Driver.compress(s, pts, key, keep_nothing, nullptr);
    return AVIERR_COMPRESSOR;
  }
  if (call == g_cues.refused) {
    Forward forward{sink, context};
    return kX264Driver.compress(s, pts, key, forward_without_start_code, &forward);
  }
  return kX264Driver.compress(s, pts, key, sink, context);
}

constexpr DWORD kCueHandler = mmioFOURCC('c', 'u', 'e', 's');

void install_compressor_on_cue() {
  static CompressorDriver driver = [] {
    CompressorDriver d = kX264Driver;
    d.fcc_handler = kCueHandler;
    d.compress = compress_on_cue;
    return d;
  }();
  static bool installed = compressor_install(&driver);
  ASSERT_TRUE(installed);
}

// A frame that fails for a reason other than the file's output (the muxer
// refused its packet, the compressor lost it, the request was bad) leaves
// the position where it was: the same position is written next, the file
// stays good, and the frame after a lost one is a key frame, so no picture
// refers to one the file does not hold.
TEST_F(AviFaultTest, RefusedFramesLeaveThePositionAlone) {
  install_compressor_on_cue();
  BITMAPINFOHEADER h = dib_header(160, 120, 24);
  DWORD incomplete = IncompleteAviFiles();
  std::string path = dir_.file("refused.avi");
  g_cues = Cues{0, 0, 11};  // call 0 is position 0; call 11 the first try of position 10
  Segment s = open_segment(path, h, 20, 100, kCueHandler);

  EXPECT_EQ(write_frame(s.compressed, 0, colour_bars(h, 0)), AVIERR_INTERNAL);
  EXPECT_EQ(write_frame(s.compressed, 0, colour_bars(h, 0)), AVIERR_OK);
  for (int i = 1; i < 10; ++i) ASSERT_EQ(write_frame(s.compressed, i, colour_bars(h, i)), AVIERR_OK);
  EXPECT_EQ(write_frame(s.compressed, 10, colour_bars(h, 10)), AVIERR_COMPRESSOR);
  std::vector<std::uint8_t> dib = colour_bars(h, 10);
  LONG size = static_cast<LONG>(dib.size());
  EXPECT_EQ(AVIStreamWrite(s.compressed, 10, 1, nullptr, size, 0, nullptr, nullptr), AVIERR_BADPARAM);
  EXPECT_EQ(AVIStreamWrite(s.compressed, 10, 1, dib.data(), size - 1, 0, nullptr, nullptr), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(AVIStreamWrite(s.compressed, 10 + (1 << 20), 1, dib.data(), size, 0, nullptr, nullptr),
            AVIERR_BADPARAM);
  EXPECT_EQ(AVIStreamWrite(s.compressed, 9, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_BADPARAM);
  for (int i = 10; i < 20; ++i) ASSERT_EQ(write_frame(s.compressed, i, colour_bars(h, i)), AVIERR_OK);
  release_segment(s);

  EXPECT_EQ(IncompleteAviFiles(), incomplete);
  AviLayout l = read_avi_layout(path);
  EXPECT_TRUE(l.indexed);
  EXPECT_EQ(l.frames, 20);
  EXPECT_EQ(l.empty, 0);
  EXPECT_EQ(probe_stream(path).frames, 20);
  EXPECT_EQ(probe_entries(path, "frame=pkt_dts"), numbers(0, 20));
  std::vector<bool> keys = probe_key_packets(path);
  ASSERT_EQ(keys.size(), 20u);
  EXPECT_TRUE(keys[0]);
  EXPECT_TRUE(keys[10]);
  EXPECT_LT(mean_difference(decode_raw(path, "rgb24", 9, 3), expected_rgb(h, 9, 3)), 4.0);
}

}  // namespace
