// The real AVIFile layer and x264 compressor: files written through the
// operations as the recorder calls them, judged by ffprobe and ffmpeg.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/video/compressor_manager.h"
#include "platform/linux/video/x264_compressor.h"
#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

class AviFileTest : public ::testing::Test {
 protected:
  void SetUp() override { AVIFileInit(); }
  void TearDown() override { AVIFileExit(); }
  PrivateSettings settings_;
  ScratchDir dir_;
};

struct Geometry {
  int width, height, bits;
};

class AviFileGeometryTest : public AviFileTest, public ::testing::WithParamInterface<Geometry> {};

// What the recorder writes (one segment at 20 fps, key frame every 100) is an
// ordinary H.264 AVI: the right size, rate and frame count, a key frame first,
// and pictures that look like the input, the right way up.
TEST_P(AviFileGeometryTest, RecordedSegmentReadsBackAsWritten) {
  Geometry g = GetParam();
  BITMAPINFOHEADER h = dib_header(g.width, g.height, g.bits);
  std::string path = dir_.file("000-00.avi");
  record_bars(path, h, 20, 50);

  ProbedStream p = probe_stream(path);
  EXPECT_EQ(p.codec, "h264");
  EXPECT_EQ(p.width, g.width);
  EXPECT_EQ(p.height, g.height);
  EXPECT_EQ(p.frame_rate, "20/1");
  EXPECT_EQ(p.frames, 50);
  std::vector<bool> keys = probe_key_frames(path);
  ASSERT_EQ(keys.size(), 50u);
  EXPECT_TRUE(keys[0]);
  std::vector<bool> indexed = probe_key_packets(path);
  ASSERT_EQ(indexed.size(), 50u);
  EXPECT_TRUE(indexed[0]);

  // Lossy, so compare on average: a flipped, mirrored or channel-swapped
  // picture is far off, a good one within a few levels.
  for (int first : {0, 47}) {
    std::vector<std::uint8_t> decoded = decode_raw(path, "rgb24", first, 3);
    EXPECT_LT(mean_difference(decoded, expected_rgb(h, first, 3)), 4.0) << "frames from " << first;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, AviFileGeometryTest,
                         ::testing::Values(Geometry{1366, 766, 24}, Geometry{322, 182, 32}),
                         [](const ::testing::TestParamInfo<Geometry>& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                  "_" + std::to_string(info.param.bits) + "bit";
                         });

// The YUV 4:2:0 pictures the compressor's own conversion makes of frames
// first .. first+count-1, plane after plane, as ffmpeg writes raw yuv420p.
std::vector<std::uint8_t> converted_yuv(const BITMAPINFOHEADER& h, int first, int count) {
  CompressorConfig config;
  config.format = h;
  config.time_base = AVRational{1, 20};
  CompressorSession* session = nullptr;
  EXPECT_EQ(kX264Driver.begin(config, &session), AVIERR_OK);
  std::vector<std::uint8_t> all;
  if (session == nullptr) return all;
  for (int i = first; i < first + count; ++i) {
    std::vector<std::uint8_t> dib = colour_bars(h, i);
    EXPECT_EQ(kX264Driver.convert(session, dib.data()), AVIERR_OK);
    X264Picture pic = x264_session_picture(session);
    for (int plane = 0; plane < 3; ++plane) {
      int w = plane == 0 ? h.biWidth : h.biWidth / 2;
      int rows = plane == 0 ? h.biHeight : h.biHeight / 2;
      for (int y = 0; y < rows; ++y) {
        const std::uint8_t* row = pic.plane[plane] + static_cast<std::ptrdiff_t>(y) * pic.stride[plane];
        all.insert(all.end(), row, row + w);
      }
    }
  }
  kX264Driver.end(session);
  return all;
}

// The conversion gives each 2x2 block the average colour of its pixels, so
// thin coloured lines keep their colour whichever column or row they are on.
TEST(ConversionTest, ChromaIsTheAverageOfEachBlock) {
  PrivateSettings settings;
  for (bool along_rows : {false, true}) {
    BITMAPINFOHEADER h = dib_header(16, 8, 24);
    std::vector<std::uint8_t> dib(h.biSizeImage);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x) {
        std::uint8_t* px = &dib[static_cast<std::size_t>(y) * 48 + x * 3];
        bool red = ((along_rows ? y : x) % 2) == 0;
        px[0] = red ? 16 : 235;  // B
        px[1] = 16;              // G
        px[2] = red ? 235 : 16;  // R
      }
    CompressorConfig config;
    config.format = h;
    config.time_base = AVRational{1, 20};
    CompressorSession* session = nullptr;
    ASSERT_EQ(kX264Driver.begin(config, &session), AVIERR_OK);
    ASSERT_EQ(kX264Driver.convert(session, dib.data()), AVIERR_OK);
    X264Picture pic = x264_session_picture(session);
    // BT.601: this red is U 96 V 224, this blue U 224 V 112; one pixel of
    // the two would give either, the average gives U 160 V 168, in every
    // chroma row and column, the edges included.
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 8; ++x) {
        EXPECT_NEAR(pic.plane[1][y * pic.stride[1] + x], 160, 2) << (along_rows ? "rows" : "columns");
        EXPECT_NEAR(pic.plane[2][y * pic.stride[2] + x], 168, 2) << (along_rows ? "rows" : "columns");
      }
    kX264Driver.end(session);
  }
}

// In lossless mode the decoded frames are exactly the compressor's input
// after its colour conversion: nothing is lost between the conversion and
// the file.
TEST_F(AviFileTest, LosslessModeDecodesToTheConvertedInput) {
  set_x264_dword("encoding_type", 3);
  BITMAPINFOHEADER h = dib_header(1366, 766, 24);
  std::string path = dir_.file("lossless.avi");
  record_bars(path, h, 20, 6);
  EXPECT_EQ(probe_stream(path).frames, 6);
  std::vector<std::uint8_t> decoded = decode_raw(path, "yuv420p", 0, 6);
  std::vector<std::uint8_t> expected = converted_yuv(h, 0, 6);
  ASSERT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded == expected);
  // And the conversion itself is faithful, so lossless means close to the DIB.
  EXPECT_LT(mean_difference(decode_raw(path, "rgb24", 0, 6), expected_rgb(h, 0, 6)), 4.0);
}

// dwKeyFrameEvery bounds the distance between key frames, in the stream and
// in the file's index (which players seek by).
TEST_F(AviFileTest, KeyFramesComeAtLeastAsOftenAsAsked) {
  BITMAPINFOHEADER h = dib_header(160, 120, 24);
  std::string path = dir_.file("keys.avi");
  record_bars(path, h, 25, 40, 7);
  std::vector<bool> keys = probe_key_frames(path);
  std::vector<bool> indexed = probe_key_packets(path);
  ASSERT_EQ(keys.size(), 40u);
  EXPECT_EQ(indexed, keys);
  int since_key = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    since_key = keys[i] ? 0 : since_key + 1;
    EXPECT_LT(since_key, 7) << "frame " << i;
  }
  EXPECT_TRUE(keys[0]);

  // A write flagged AVIIF_KEYFRAME asks for a key frame there.
  std::string forced = dir_.file("forced.avi");
  Segment s = open_segment(forced, h, 25, 100);
  for (int i = 0; i < 6; ++i) {
    std::vector<std::uint8_t> dib = colour_bars(h, i);
    ASSERT_EQ(AVIStreamWrite(s.compressed, i, 1, dib.data(), static_cast<LONG>(dib.size()),
                             i == 4 ? AVIIF_KEYFRAME : 0, nullptr, nullptr),
              AVIERR_OK);
  }
  release_segment(s);
  EXPECT_EQ(probe_key_packets(forced), (std::vector<bool>{true, false, false, false, true, false}));
}

// x264 writes the options it encoded with into the stream; they show what
// the settings key made of the encoder.
std::string encoder_options_in(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::string bytes;
  if (f != nullptr) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
  }
  std::size_t at = bytes.find("options: ");
  if (at == std::string::npos) return {};
  std::size_t end = bytes.find('\0', at);
  if (end == std::string::npos) end = bytes.size();
  std::string options = " ";
  options.append(bytes, at + 9, end - at - 9);
  options += ' ';
  return options;
}

struct SettingsCase {
  const char* name;
  std::vector<std::pair<const char*, DWORD>> dwords;
  std::vector<std::pair<const char*, const char*>> texts;
  std::vector<const char*> expected;  // options the encoder must report
};

// The settings key decides the encoder's rate control and preset when the
// format is set; whatever it says, there are no B-frames and no lookahead,
// and values the encoder cannot take fall back to their defaults.
TEST_F(AviFileTest, SettingsKeyDrivesTheEncoder) {
  const SettingsCase cases[] = {
      {"defaults", {}, {}, {"rc=crf", "crf=23.0", "subme=0"}},
      {"bitrate", {{"encoding_type", 0}, {"passbitrate", 300}}, {}, {"rc=abr", "bitrate=300"}},
      {"quantizer", {{"encoding_type", 1}, {"quantizer", 31}}, {}, {"rc=cqp", "qp=31"}},
      {"first pass", {{"encoding_type", 2}, {"passbitrate", 50}}, {}, {"rc=abr", "bitrate=50"}},
      {"lossless", {{"encoding_type", 3}}, {}, {"rc=cqp", "qp=0"}},
      {"ratefactor", {{"encoding_type", 4}, {"ratefactor", 185}}, {}, {"rc=crf", "crf=18.5"}},
      {"slow preset", {}, {{"preset", "medium"}, {"tuning", "film"}}, {"subme=7", "psy_rd=1.00:0.15"}},
      {"out of range", {{"encoding_type", 9}, {"ratefactor", 999}}, {}, {"rc=crf", "crf=23.0"}},
      {"unknown names", {}, {{"preset", "warp-speed"}, {"tuning", "film,nonsense"}}, {"subme=0", "psy_rd=1.00:0.00"}},
  };
  BITMAPINFOHEADER h = dib_header(64, 48, 24);
  for (const SettingsCase& c : cases) {
    PrivateSettings own;  // each case starts from an empty store
    for (auto& [name, value] : c.dwords) set_x264_dword(name, value);
    for (auto& [name, text] : c.texts) set_x264_text(name, text);
    std::string path = dir_.file(std::string(c.name) + ".avi");
    record_bars(path, h, 20, 2);
    std::string options = encoder_options_in(path);
    for (const char* want : {"bframes=0", "mbtree=0"}) EXPECT_NE(options.find(std::string(" ") + want + " "), std::string::npos) << c.name << ": " << want;
    EXPECT_EQ(options.find("rc_lookahead"), std::string::npos) << c.name;  // only printed when in use
    for (const char* want : c.expected)
      EXPECT_NE(options.find(std::string(" ") + want + " "), std::string::npos) << c.name << ": " << want << " in" << options;
  }
}

// Each frame is in the file when its write returns, not held back by the
// encoder or a buffer: a recorder killed from outside loses nothing written.
TEST_F(AviFileTest, EveryFrameReachesTheFileWithItsWrite) {
  BITMAPINFOHEADER h = dib_header(640, 360, 24);
  std::string path = dir_.file("live.avi");
  Segment s = open_segment(path, h, 20);
  long long size = file_size(path);
  for (int i = 0; i < 5; ++i) {
    std::vector<std::uint8_t> dib = colour_bars(h, i);
    LONG samples = -1, bytes = -1;
    ASSERT_EQ(AVIStreamWrite(s.compressed, i, 1, dib.data(), static_cast<LONG>(dib.size()), 0, &samples, &bytes),
              AVIERR_OK);
    EXPECT_EQ(samples, 1);
    EXPECT_GT(bytes, 0) << "frame " << i;
    EXPECT_GE(file_size(path), size + bytes) << "frame " << i;
    size = file_size(path);
  }
  release_segment(s);
  EXPECT_EQ(probe_stream(path).frames, 5);
}

// A write at a later position (the recorder moves on after a failed write)
// leaves the positions between as dropped frames, so later frames keep their
// time; an earlier position cannot be rewritten.
TEST_F(AviFileTest, SkippedPositionsKeepLaterFramesInTime) {
  BITMAPINFOHEADER h = dib_header(64, 48, 24);
  std::string path = dir_.file("gaps.avi");
  Segment s = open_segment(path, h, 10);
  std::vector<std::uint8_t> dib = colour_bars(h, 0);
  LONG size = static_cast<LONG>(dib.size());
  for (LONG position : {2, 3, 6})
    EXPECT_EQ(AVIStreamWrite(s.compressed, position, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_OK);
  EXPECT_EQ(AVIStreamWrite(s.compressed, 6, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_BADPARAM);
  EXPECT_EQ(AVIStreamWrite(s.compressed, 1 << 20, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_BADPARAM);
  release_segment(s);

  EXPECT_EQ(probe_entries(path, "frame=pkt_dts"), (std::vector<std::string>{"2", "3", "6"}));
  EXPECT_EQ(probe_entries(path, "stream=nb_frames"), std::vector<std::string>{"7"});
}

// The handles may be released in any order: the file is completed once,
// when its last reference goes, and each release says how many are left.
TEST_F(AviFileTest, FileIsCompletedWhenItsLastReferenceGoes) {
  BITMAPINFOHEADER h = dib_header(96, 64, 24);
  std::string path = dir_.file("order.avi");
  Segment s = open_segment(path, h, 20);
  std::vector<std::uint8_t> dib = colour_bars(h, 0);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(AVIStreamWrite(s.compressed, i, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr, nullptr),
              AVIERR_OK);
  EXPECT_EQ(AVIFileRelease(s.file), 1u);       // the stream still holds it
  EXPECT_EQ(AVIStreamRelease(s.raw), 1u);      // the compressing stream holds the stream
  ASSERT_EQ(AVIStreamWrite(s.compressed, 3, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr, nullptr),
            AVIERR_OK);
  EXPECT_EQ(AVIStreamRelease(s.compressed), 0u);
  ProbedStream p = probe_stream(path);
  EXPECT_EQ(p.frames, 4);
  // The header was rewritten with the final count.
  EXPECT_EQ(probe_entries(path, "stream=nb_frames"), std::vector<std::string>{"4"});
}

// Released handles are refused, even while the caller still has copies of
// them, and releasing twice does not release anything else.
TEST_F(AviFileTest, ReleasedHandlesAreRefused) {
  BITMAPINFOHEADER h = dib_header(64, 48, 24);
  Segment s = open_segment(dir_.file("stale.avi"), h, 20);
  std::vector<std::uint8_t> dib = colour_bars(h, 0);
  LONG size = static_cast<LONG>(dib.size());
  PAVISTREAM compressed = s.compressed;
  PAVISTREAM raw = s.raw;
  PAVIFILE file = s.file;
  EXPECT_EQ(AVIStreamRelease(compressed), 0u);
  EXPECT_EQ(AVIStreamWrite(compressed, 0, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_BADHANDLE);
  EXPECT_EQ(AVIStreamSetFormat(compressed, 0, &h, sizeof h), AVIERR_BADHANDLE);
  EXPECT_EQ(AVIStreamRelease(compressed), 0u);
  // The stream is still referenced by nobody but its caller.
  EXPECT_EQ(AVIStreamRelease(raw), 0u);
  EXPECT_EQ(AVIStreamRelease(raw), 0u);
  AVICOMPRESSOPTIONS opts{};
  opts.fccHandler = mmioFOURCC('x', '2', '6', '4');
  PAVISTREAM again = nullptr;
  EXPECT_EQ(AVIMakeCompressedStream(&again, raw, &opts, nullptr), AVIERR_BADHANDLE);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(AVIFileRelease(file), 0u);
  EXPECT_EQ(AVIFileRelease(file), 0u);
  // Handles of one kind are not taken for another, nor invented ones for any.
  EXPECT_EQ(AVIStreamRelease(reinterpret_cast<PAVISTREAM>(file)), 0u);
  EXPECT_EQ(AVIStreamWrite(reinterpret_cast<PAVISTREAM>(&dib), 0, 1, dib.data(), size, 0, nullptr, nullptr),
            AVIERR_BADHANDLE);
  EXPECT_EQ(AVIStreamWrite(nullptr, 0, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_BADHANDLE);
}

// A preparation that fails part-way leaves handles the recorder still
// releases; the file it created stays on disk, empty, and nothing breaks.
TEST_F(AviFileTest, FailedPreparationsReleaseCleanly) {
  std::string path = dir_.file("partial.avi");
  PAVIFILE file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_CREATE | OF_WRITE, nullptr), AVIERR_OK);
  EXPECT_EQ(file_size(path), 0);  // created at once
  AVISTREAMINFOA si{};
  si.fccType = streamtypeVIDEO;
  si.dwScale = 1;
  si.dwRate = 20;
  PAVISTREAM raw = nullptr, compressed = nullptr;
  ASSERT_EQ(AVIFileCreateStreamA(file, &raw, &si), AVIERR_OK);
  AVICOMPRESSOPTIONS opts{};
  opts.fccType = streamtypeVIDEO;
  opts.fccHandler = mmioFOURCC('X', '2', '6', '4');  // handler codes ignore case
  opts.dwKeyFrameEvery = 100;
  opts.dwFlags = AVICOMPRESSF_KEYFRAMES;
  ASSERT_EQ(AVIMakeCompressedStream(&compressed, raw, &opts, nullptr), AVIERR_OK);
  BITMAPINFOHEADER odd = dib_header(1365, 767, 24);
  EXPECT_EQ(AVIStreamSetFormat(compressed, 0, &odd, sizeof odd), AVIERR_BADFORMAT);
  std::vector<std::uint8_t> dib(odd.biSizeImage);
  EXPECT_EQ(AVIStreamWrite(compressed, 0, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr, nullptr),
            AVIERR_BADFORMAT);
  EXPECT_EQ(AVIStreamRelease(compressed), 0u);
  EXPECT_EQ(AVIStreamRelease(raw), 0u);
  EXPECT_EQ(AVIFileRelease(file), 0u);
  EXPECT_EQ(file_size(path), 0);
}

// Every refusal comes back as its code, with no handle and nothing broken.
TEST_F(AviFileTest, BadRequestsAreRefusedWithTheirCodes) {
  PAVIFILE file = reinterpret_cast<PAVIFILE>(&file);
  EXPECT_EQ(AVIFileOpenA(&file, dir_.file("missing/dir/x.avi").c_str(), OF_CREATE | OF_WRITE, nullptr),
            AVIERR_FILEOPEN);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(AVIFileOpenA(&file, dir_.file("read.avi").c_str(), OF_READ, nullptr), AVIERR_UNSUPPORTED);
  EXPECT_EQ(file, nullptr);
  EXPECT_LT(AVIERR_FILEOPEN, 0);  // the recorder prints codes as negative numbers

  std::string path = dir_.file("bad.avi");
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_CREATE | OF_WRITE, nullptr), AVIERR_OK);
  AVISTREAMINFOA si{};
  si.fccType = streamtypeVIDEO;
  si.dwScale = 1;
  si.dwRate = 0;
  PAVISTREAM raw = nullptr;
  EXPECT_EQ(AVIFileCreateStreamA(file, &raw, &si), AVIERR_BADPARAM);
  EXPECT_EQ(raw, nullptr);
  si.dwRate = 20;
  ASSERT_EQ(AVIFileCreateStreamA(file, &raw, &si), AVIERR_OK);

  AVICOMPRESSOPTIONS opts{};
  opts.fccType = streamtypeVIDEO;
  opts.fccHandler = mmioFOURCC('x', 'v', 'i', 'd');
  PAVISTREAM compressed = nullptr;
  EXPECT_EQ(AVIMakeCompressedStream(&compressed, raw, &opts, nullptr), AVIERR_NOCOMPRESSOR);
  EXPECT_EQ(compressed, nullptr);
  opts.fccHandler = mmioFOURCC('x', '2', '6', '4');
  ASSERT_EQ(AVIMakeCompressedStream(&compressed, raw, &opts, nullptr), AVIERR_OK);

  for (BITMAPINFOHEADER bad : {dib_header(640, 480, 16), dib_header(641, 480, 24), dib_header(640, -480, 24),
                               dib_header(0, 480, 24)}) {
    EXPECT_EQ(AVIStreamSetFormat(compressed, 0, &bad, sizeof bad), AVIERR_BADFORMAT)
        << bad.biWidth << "x" << bad.biHeight << "x" << bad.biBitCount;
  }
  BITMAPINFOHEADER h = dib_header(64, 48, 24);
  EXPECT_EQ(AVIStreamSetFormat(compressed, 0, &h, 12), AVIERR_BADSIZE);
  ASSERT_EQ(AVIStreamSetFormat(compressed, 0, &h, sizeof h), AVIERR_OK);
  EXPECT_EQ(AVIStreamSetFormat(compressed, 0, &h, sizeof h), AVIERR_OK);  // the same again
  BITMAPINFOHEADER other = dib_header(128, 96, 24);
  EXPECT_EQ(AVIStreamSetFormat(compressed, 0, &other, sizeof other), AVIERR_UNSUPPORTED);

  std::vector<std::uint8_t> dib = colour_bars(h, 0);
  LONG size = static_cast<LONG>(dib.size());
  EXPECT_EQ(AVIStreamWrite(compressed, 0, 1, dib.data(), size - 1, 0, nullptr, nullptr), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(AVIStreamWrite(compressed, 0, 2, dib.data(), size, 0, nullptr, nullptr), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(AVIStreamWrite(compressed, 0, 1, nullptr, size, 0, nullptr, nullptr), AVIERR_BADPARAM);
  EXPECT_EQ(AVIStreamWrite(raw, 0, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_UNSUPPORTED);
  EXPECT_EQ(AVIStreamWrite(compressed, 0, 1, dib.data(), size, 0, nullptr, nullptr), AVIERR_OK);

  PAVISTREAM second = nullptr;
  EXPECT_EQ(AVIFileCreateStreamA(file, &second, &si), AVIERR_UNSUPPORTED);  // one stream per file
  EXPECT_EQ(AVIMakeCompressedStream(&second, raw, &opts, nullptr), AVIERR_UNSUPPORTED);
  AVIStreamRelease(compressed);
  AVIStreamRelease(raw);
  AVIFileRelease(file);
  EXPECT_EQ(probe_stream(path).frames, 1);
}

// The encoder's messages go to stderr, never to stdout (slotrec's log there
// is exact), and only as many as log_level asks for: none at 0.
TEST_F(AviFileTest, EncoderLogFollowsLogLevelOnStderr) {
  BITMAPINFOHEADER h = dib_header(64, 48, 24);
  OutputCapture capture(dir_);
  set_x264_dword("log_level", 3);
  capture.start();
  record_bars(dir_.file("chatty.avi"), h, 20, 3);
  capture.stop();
  EXPECT_EQ(capture.out_bytes(), 0);
  EXPECT_GT(capture.err_bytes(), 0);  // libx264 reports its statistics at info level

  set_x264_dword("log_level", 0);
  set_x264_text("preset", "unknown");  // would be a warning
  capture.start();
  record_bars(dir_.file("quiet.avi"), h, 20, 3);
  capture.stop();
  EXPECT_EQ(capture.out_bytes(), 0);
  EXPECT_EQ(capture.err_bytes(), 0);
}

}  // namespace
