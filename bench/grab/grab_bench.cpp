// Grab benchmark: the grabber's per-frame calls on a 1920 × 1080 Xvfb
// screen, the BGRX → BGR conversion in each version, the server's other
// pixels looked up against the plain reference, and what the X server
// spends per grab (with MIT-SHM the server does the copying, so a grab's
// cost is ours plus its). BM_Grab grabs an unchanged screen (the bitmap is
// kept up to date: nothing is read again) or, with changed:1, a screen
// painted over whole before every grab (everything is read again; the
// server's share then includes the painting). `--depth=N` and `--cc=N` choose the screen's
// depth and default visual class (an 8-bit PseudoColor screen reads its
// colormap on every grab).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/screen/pixel_convert.h"
#include "platform/platform.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::unique_ptr<testsupport::XvfbServer> g_server;

// CPU time (user + system) the server has used so far, in milliseconds.
double server_cpu_ms() {
  std::ifstream stat("/proc/" + std::to_string(g_server->pid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses: state is the
  // 3rd field, utime the 14th and stime the 15th.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; rest >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::strtod(field.c_str(), nullptr);
    if (index == 15) break;
  }
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The screen DC, memory DC, bitmap and DIB of one grabber.
struct Grabber {
  HDC screen = nullptr;
  HDC memory = nullptr;
  HBITMAP bitmap = nullptr;
  std::vector<std::uint8_t> dib;

  Grabber() {
    screen = GetDC(nullptr);
    memory = CreateCompatibleDC(screen);
    const int w = GetDeviceCaps(screen, HORZRES);
    const int h = GetDeviceCaps(screen, VERTRES);
    bitmap = CreateCompatibleBitmap(screen, w, h);
    const std::int32_t stride = pixel::dib_stride(w, 24);
    dib.assign(40 + static_cast<std::size_t>(stride) * h, 0);
    auto* header = reinterpret_cast<BITMAPINFOHEADER*>(dib.data());
    header->biSize = 40;
    header->biWidth = w;
    header->biHeight = h;
    header->biPlanes = 1;
    header->biBitCount = 24;
    header->biCompression = BI_RGB;
    header->biSizeImage = static_cast<DWORD>(stride * h);
  }
  ~Grabber() {
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
  }
  bool ok() const { return screen != nullptr && memory != nullptr && bitmap != nullptr; }

  // One frame, with the calls and in the order the grabber makes them.
  bool grab(bool with_cursor, bool convert) {
    SelectObject(memory, bitmap);
    CURSORINFO ci{};
    ci.cbSize = sizeof ci;
    ICONINFO ii{};
    const bool have_cursor = GetCursorInfo(&ci) && GetIconInfo(ci.hCursor, &ii);
    const BOOL blitted = BitBlt(memory, 0, 0, kWidth, kHeight, screen, 0, 0, SRCCOPY);
    if (have_cursor && with_cursor) {
      DrawIcon(memory, ci.ptScreenPos.x - static_cast<LONG>(ii.xHotspot),
               ci.ptScreenPos.y - static_cast<LONG>(ii.yHotspot), ci.hCursor);
    }
    if (!convert) return blitted != FALSE;
    BITMAP bm{};
    GetObjectA(bitmap, sizeof bm, &bm);
    return blitted && GetDIBits(memory, bitmap, 0, static_cast<UINT>(bm.bmHeight), dib.data() + 40,
                                reinterpret_cast<BITMAPINFO*>(dib.data()), DIB_RGB_COLORS) ==
                          bm.bmHeight;
  }
};

void report_cpu(benchmark::State& state, double server_before, double own_before) {
  const double frames = static_cast<double>(state.iterations());
  state.counters["server_cpu_ms"] = (server_cpu_ms() - server_before) / frames;
  state.counters["own_cpu_ms"] = (own_cpu_ms() - own_before) / frames;
}

// A whole grab: capture, cursor (range(0): drawn or not), conversion;
// range(1): the whole screen painted anew before each grab.
void BM_Grab(benchmark::State& state) {
  Grabber grabber;
  if (!grabber.ok() || !grabber.grab(true, true)) {
    state.SkipWithError("no screen");
    return;
  }
  const bool with_cursor = state.range(0) != 0;
  const bool changed = state.range(1) != 0;
  testsupport::X11Painter painter(g_server->display());
  const double server_before = server_cpu_ms();
  const double own_before = own_cpu_ms();
  std::uint32_t colour = 0x204060;
  for (auto _ : state) {
    if (changed) {
      state.PauseTiming();
      colour ^= 0x0f0f0f;
      painter.fill(0, 0, kWidth, kHeight, colour);
      painter.sync();
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(grabber.grab(with_cursor, true));
    benchmark::ClobberMemory();
  }
  report_cpu(state, server_before, own_before);
}
BENCHMARK(BM_Grab)
    ->ArgNames({"cursor", "changed"})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The capture alone (BitBlt and the cursor query), without the conversion.
void BM_Capture(benchmark::State& state) {
  Grabber grabber;
  if (!grabber.ok() || !grabber.grab(false, false)) {
    state.SkipWithError("no screen");
    return;
  }
  const double server_before = server_cpu_ms();
  const double own_before = own_cpu_ms();
  for (auto _ : state) {
    benchmark::DoNotOptimize(grabber.grab(false, false));
  }
  report_cpu(state, server_before, own_before);
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond)->UseRealTime();

// The conversion of one 1920 × 1080 frame into a bottom-up 24-bit DIB.
void BM_Convert(benchmark::State& state, pixel::Bgr24Impl impl) {
  if (!pixel::bgr24_impl_available(impl)) {
    state.SkipWithError("not on this processor");
    return;
  }
  std::vector<std::uint8_t> src(static_cast<std::size_t>(kWidth) * kHeight * 4);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7);
  const std::ptrdiff_t stride = pixel::dib_stride(kWidth, 24);
  std::vector<std::uint8_t> dst(static_cast<std::size_t>(stride) * kHeight);
  for (auto _ : state) {
    pixel::bgrx_to_bgr24(src.data(), kWidth * 4, dst.data() + (kHeight - 1) * stride, -stride,
                         kWidth, kHeight, impl);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(src.size()));
}
BENCHMARK_CAPTURE(BM_Convert, reference, pixel::Bgr24Impl::kReference)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convert, scalar, pixel::Bgr24Impl::kScalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convert, ssse3, pixel::Bgr24Impl::kSsse3)->Unit(benchmark::kMillisecond);

// The server's pixels of one 1920 × 1080 frame into BGRX: through a lookup
// (range(0) 1: 8-bit indexed, 2: 16-bit 565) or, for 565, the plain
// per-channel reference (range(1) 1).
void BM_Lookup(benchmark::State& state) {
  const int bytes = static_cast<int>(state.range(0));
  const bool reference = state.range(1) != 0;
  const pixel::PackedLayout layout =
      bytes == 1 ? pixel::PackedLayout{1, false, 0, 0, 0}
                 : pixel::PackedLayout{2, false, 0xf800, 0x07e0, 0x001f};
  pixel::PixelLookup lookup;
  if (!pixel::lookup_init(&lookup, layout, bytes == 1, 256) || (reference && bytes == 1)) {
    state.SkipWithError("no such conversion");
    return;
  }
  std::vector<std::uint8_t> src(static_cast<std::size_t>(kWidth) * kHeight * bytes);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> dst(static_cast<std::size_t>(kWidth) * kHeight * 4);
  for (auto _ : state) {
    if (reference) {
      pixel::packed_to_bgrx(src.data(), kWidth * bytes, layout, dst.data(), kWidth * 4, kWidth,
                            kHeight);
    } else {
      pixel::lookup_to_bgrx(lookup, src.data(), kWidth * bytes, dst.data(), kWidth * 4, kWidth,
                            kHeight);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(dst.size()));
}
BENCHMARK(BM_Lookup)->Args({1, 0})->Args({2, 0})->Args({2, 1})->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  testsupport::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--noshm") == 0) {
      options.shm = false;
    } else if (std::strncmp(argv[i], "--depth=", 8) == 0) {
      options.depth = std::atoi(argv[i] + 8);
    } else if (std::strncmp(argv[i], "--cc=", 5) == 0) {
      options.extra_args = {"-cc", argv[i] + 5};
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());

  g_server = std::make_unique<testsupport::XvfbServer>(options);
  if (!g_server->ok()) {
    std::fprintf(stderr, "grab_bench: %s\n", g_server->error().c_str());
    return 1;
  }
  setenv("DISPLAY", g_server->display().c_str(), 1);
  std::printf("Xvfb %s, %dx%dx%d%s%s, MIT-SHM %s\n", g_server->display().c_str(), kWidth,
              kHeight, options.depth, options.extra_args.empty() ? "" : " -cc ",
              options.extra_args.empty() ? "" : options.extra_args[1].c_str(),
              options.shm ? "on" : "off");
  {
    // Something other than one flat colour, and a cursor in the middle.
    testsupport::X11Painter painter(g_server->display());
    for (int band = 0; band < 16; ++band) {
      painter.fill(band * kWidth / 16, 0, kWidth / 16, kHeight,
                   static_cast<std::uint32_t>(band * 0x0f0b07));
    }
    painter.set_cursor({{"############", "#..........#", "#..........#", "############"},
                        6, 2, 0xffffff, 0x000000});
    painter.warp_pointer(kWidth / 2, kHeight / 2);
  }

  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_server.reset();
  return 0;
}
