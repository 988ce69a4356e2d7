// What one 1920 x 1080 frame costs on its way through AVIStreamWrite.
//
//   BM_Convert     the compressor's DIB-to-YUV conversion, which also finds
//                  the macroblocks that changed
//   BM_ConvertRows the conversion routine alone: the plain reference, the
//                  AVX2 version and the SSSE3 one (each checked against the
//                  reference by the tests)
//   BM_Compress    libx264 on an already converted picture
//   BM_StreamWrite the whole write: conversion, compression, into the file;
//                  "noted" as the grabber's DIBs come, with GetDIBits' note
//                  of which rows changed (none, for static content)
//
// each for lossless (encoding_type 3, what slotrec sets) and ratefactor 23
// (the compressor's default), with the ultrafast preset, on static content
// (the same frame again: an idle desktop, whose macroblocks libx264 is told
// are unchanged) and changing content (moving bars and a block of noise:
// scrolling, video). The settings go to a private store under a scratch
// XDG_CONFIG_HOME; files go to $TMPDIR. Wall time is per frame; CPU time of
// the compressing benchmarks counts every thread of the process.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/linux/common/frame_changes.h"
#include "platform/linux/video/compressor_manager.h"
#include "platform/linux/video/x264_compressor.h"
#include "platform/linux/video/yuv_convert.h"
#include "platform/platform.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kStride = kWidth * 3;
constexpr int kDistinctFrames = 8;

enum Mode { kLossless = 3, kRatefactor = 4 };
enum Content { kStatic = 0, kChanging = 1 };

BITMAPINFOHEADER frame_header() {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof h;
  h.biWidth = kWidth;
  h.biHeight = kHeight;
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biCompression = BI_RGB;
  h.biSizeImage = kStride * kHeight;
  return h;
}

// A desktop-like frame: flat panels, a few lines of "text", and for changing
// content bars that move and a 480 x 270 block of fresh noise.
std::vector<std::uint8_t> make_frame(int index, Content content) {
  std::vector<std::uint8_t> dib(static_cast<std::size_t>(kStride) * kHeight);
  std::mt19937 noise(static_cast<unsigned>(index) + 1);
  int shift = content == kChanging ? index * 16 : 0;
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row = dib.data() + static_cast<std::size_t>(kHeight - 1 - y) * kStride;
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* px = row + x * 3;
      int panel = ((x + shift) / 240) % 4;
      std::uint8_t base = static_cast<std::uint8_t>(200 - panel * 40);
      bool text = (y % 24) < 12 && ((x * 7 + y * 3) % 11) < 4 && x % 240 > 20;
      px[0] = text ? 20 : base;
      px[1] = text ? 20 : static_cast<std::uint8_t>(base - 20);
      px[2] = text ? 20 : static_cast<std::uint8_t>(base + 30);
      if (content == kChanging && x >= 720 && x < 1200 && y >= 400 && y < 670)
        px[0] = px[1] = px[2] = static_cast<std::uint8_t>(noise());
    }
  }
  return dib;
}

const std::vector<std::vector<std::uint8_t>>& frames(Content content) {
  static std::vector<std::vector<std::uint8_t>> sets[2];
  auto& set = sets[content];
  if (set.empty())
    for (int i = 0; i < (content == kStatic ? 1 : kDistinctFrames); ++i) set.push_back(make_frame(i, content));
  return set;
}

// A private settings store and scratch directory for the whole run.
struct Scratch {
  std::string dir;
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/encode-bench-XXXXXX";
    dir = mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

void use_mode(Mode mode) {
  scratch();
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\x264", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  DWORD type = mode;
  DWORD quiet = 0;
  RegSetValueExA(key, "encoding_type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4);
  RegSetValueExA(key, "log_level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&quiet), 4);
  RegCloseKey(key);
}

CompressorSession* begin_session(benchmark::State& state) {
  CompressorConfig config;
  config.format = frame_header();
  config.time_base = AVRational{1, 20};
  config.keyint = 100;
  CompressorSession* session = nullptr;
  if (kX264Driver.begin(config, &session) != AVIERR_OK) state.SkipWithError("the compressor did not start");
  return session;
}

int count_packet(void* context, AVPacket* packet) {
  *static_cast<std::int64_t*>(context) += packet->size;
  return 0;
}

void BM_Convert(benchmark::State& state) {
  use_mode(kRatefactor);
  CompressorSession* session = begin_session(state);
  if (session == nullptr) return;
  const auto& set = frames(static_cast<Content>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) kX264Driver.convert(session, set[i++ % set.size()].data());
  kX264Driver.end(session);
}

void BM_ConvertRows(benchmark::State& state, yuv::Impl impl) {
  if (!yuv::impl_available(impl)) {
    state.SkipWithError("not on this processor");
    return;
  }
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(kWidth) * kHeight * 3 / 2);
  std::vector<std::uint8_t> changed((kWidth + 15) / 16);
  const yuv::Target target{picture.data(), picture.data() + kWidth * kHeight,
                           picture.data() + kWidth * kHeight * 5 / 4, kWidth, kWidth / 2};
  const auto& set = frames(kChanging);
  std::size_t i = 0;
  for (auto _ : state) {
    const std::uint8_t* top = set[i++ % set.size()].data() + static_cast<std::size_t>(kStride) * (kHeight - 1);
    yuv::bgr_to_i420(top, -kStride, 3, kWidth, kHeight, target, changed.data(), impl);
  }
}

void BM_Compress(benchmark::State& state) {
  use_mode(static_cast<Mode>(state.range(0)));
  CompressorSession* session = begin_session(state);
  if (session == nullptr) return;
  const auto& set = frames(static_cast<Content>(state.range(1)));
  std::int64_t bytes = 0;
  std::int64_t pts = 0;
  kX264Driver.convert(session, set[0].data());
  for (auto _ : state) {
    if (set.size() > 1) {
      state.PauseTiming();
      kX264Driver.convert(session, set[pts % set.size()].data());
      state.ResumeTiming();
    }
    kX264Driver.compress(session, pts++, false, count_packet, &bytes);
  }
  state.counters["KiB/frame"] = benchmark::Counter(double(bytes) / 1024.0 / double(pts));
  kX264Driver.end(session);
}

void BM_StreamWrite(benchmark::State& state) {
  use_mode(static_cast<Mode>(state.range(0)));
  const auto& set = frames(static_cast<Content>(state.range(1)));
  const bool noted = state.range(2) != 0;
  std::vector<std::uint8_t> no_rows(kHeight, 0);
  std::string path = scratch().dir + "/bench.avi";
  AVIFileInit();
  PAVIFILE file = nullptr;
  PAVISTREAM raw = nullptr, compressed = nullptr;
  AVIFileOpenA(&file, path.c_str(), OF_CREATE | OF_WRITE, nullptr);
  AVISTREAMINFOA si{};
  si.fccType = streamtypeVIDEO;
  si.dwScale = 1;
  si.dwRate = 20;
  si.dwSuggestedBufferSize = kStride * kHeight;
  si.rcFrame = RECT{0, 0, kWidth, kHeight};
  AVIFileCreateStreamA(file, &raw, &si);
  AVICOMPRESSOPTIONS opts{};
  opts.fccType = streamtypeVIDEO;
  opts.fccHandler = mmioFOURCC('x', '2', '6', '4');
  opts.dwKeyFrameEvery = 100;
  opts.dwFlags = AVICOMPRESSF_KEYFRAMES;
  AVIMakeCompressedStream(&compressed, raw, &opts, nullptr);
  BITMAPINFOHEADER format = frame_header();
  if (AVIStreamSetFormat(compressed, 0, &format, sizeof format) != AVIERR_OK) {
    state.SkipWithError("the stream did not start");
  } else {
    LONG position = 0;
    std::uint64_t serial = 0;
    for (auto _ : state) {
      const auto& dib = set[static_cast<std::size_t>(position) % set.size()];
      // As GetDIBits notes a DIB it writes: the rows that changed since it
      // last wrote there (none when the frame is the same).
      if (noted) serial = frames::note_written(dib.data(), dib.size(), kHeight, no_rows.data(), serial);
      AVIStreamWrite(compressed, position++, 1, const_cast<std::uint8_t*>(dib.data()),
                     static_cast<LONG>(dib.size()), 0, nullptr, nullptr);
    }
  }
  AVIStreamRelease(compressed);
  AVIStreamRelease(raw);
  AVIFileRelease(file);
  AVIFileExit();
}

void content_args(benchmark::internal::Benchmark* b) { b->ArgNames({"changing"})->Arg(kStatic)->Arg(kChanging); }

void mode_content_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"encoding_type", "changing"});
  for (Mode m : {kLossless, kRatefactor})
    for (Content c : {kStatic, kChanging}) b->Args({m, c});
}

void write_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"encoding_type", "changing", "noted"});
  for (Mode m : {kLossless, kRatefactor})
    for (Content c : {kStatic, kChanging}) b->Args({m, c, 0});
  b->Args({kLossless, kStatic, 1});
}

BENCHMARK(BM_Convert)->Apply(content_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertRows, reference, yuv::Impl::kReference)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ConvertRows, avx2, yuv::Impl::kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ConvertRows, ssse3, yuv::Impl::kSsse3)->Unit(benchmark::kMillisecond);
// libx264 works on slice threads of its own: CPU is counted for the process.
BENCHMARK(BM_Compress)->Apply(mode_content_args)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_StreamWrite)->Apply(write_args)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

// Memory as the recorder sets it up (kernel_api.h): the encoder's large
// buffers in mappings of their own, without transparent huge pages, which
// changes what encoding costs.
int main(int argc, char** argv) {
  PrepareProcess(kProcessFlatMemory);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
