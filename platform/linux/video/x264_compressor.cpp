// The x264vfw compressor on Linux: libx264, driven directly, with our own
// colour conversion in front (yuv_convert.h).
//
// It behaves as x264vfw does where the recorder can see it: the same codes
// and description, the same input formats, and the same settings key read
// when a stream starts. It always produces I420 H.264 without B-frames and
// without lookahead, so every frame is in the file when its write returns.
//
// A screen mostly stands still. The conversion compares each macroblock it
// writes with the one the encoder was given before, and libx264 is told
// which macroblocks are unchanged (X264_MBINFO_CONSTANT): it codes them as
// skips without analysing them, and since it only does so when the
// reference is at least as good as the frame being coded, nothing is lost
// in any mode. An idle desktop costs a fraction of a full frame, and every
// frame is still a whole picture of its own in the stream. When GetDIBits
// has noted which rows of the DIB changed since the frame converted last
// (frame_changes.h), only the macroblock rows that hold them are converted.
//
// A session can rest (the AVIFile layer rests a stream that another has
// taken over from): its encoder and picture are freed, and a frame that
// comes after all starts a new encoder with a key frame.
#include <time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/common/frame_changes.h"
#include "platform/linux/video/registry_api.h"
#include "platform/linux/video/vfw_api.h"
#include "platform/linux/video/x264_compressor.h"
#include "platform/linux/video/yuv_convert.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <x264.h>
}

namespace {

constexpr DWORD kHandler = mmioFOURCC('x', '2', '6', '4');
constexpr DWORD kOutputFourcc = mmioFOURCC('H', '2', '6', '4');
constexpr DWORD kOutputFourccAlt = mmioFOURCC('X', '2', '6', '4');
constexpr char16_t kName[] = u"x264vfw";
constexpr char16_t kDescription[] = u"x264vfw - H.264/MPEG-4 AVC codec";
constexpr char16_t kDriver[] = u"libx264";
constexpr char kSettingsKey[] = "Software\\GNU\\x264";
// Larger frames than x264 and H.264 levels allow; also keeps every size
// computation far inside 32 bits.
constexpr LONG kMaxDimension = 16384;
constexpr int kMacroblock = 16;
// Rows of the picture's planes start on this boundary (libx264's own
// pictures use 64 for AVX-512 copies).
constexpr int kPlaneAlign = 64;
// How many threads an encoder codes each frame on. One costs the least:
// slices over both processors of a 2-core machine cost about 1.2 ms more
// CPU per 1920 x 1080 frame in motion and make its lossless frames half as
// large again, since no motion vector or prediction crosses a slice edge.
// Slices are worth it only to keep the rate: once the encoders have needed
// more than kSlicesAbove of the frame interval on one thread, the next one
// spreads each frame over every processor, and a later one goes back to one
// thread when kOneThreadBelow of the interval would do.
constexpr int kSlicesAbovePermille = 500;
constexpr int kOneThreadBelowPermille = 350;

// ---- logging ---------------------------------------------------------------

// The share of the frame interval, in thousandths, that the last encoder
// to finish took on average to code a frame, counted as if on one thread.
// Written when a session rests or ends, read when one begins; any thread.
std::atomic<int> g_encoder_load_permille{0};

// The muxer logs through av_log, which goes to stderr (slotrec's stdout is
// its byte-exact log); it follows the log_level of the stream started most
// recently. Written by begin, read by the log callback on any thread.
std::atomic<int> g_latest_threshold{AV_LOG_WARNING};

int av_threshold(DWORD log_level) {
  switch (log_level) {
    case 0: return AV_LOG_QUIET;
    case 1: return AV_LOG_ERROR;
    case 2: return AV_LOG_WARNING;
    case 3: return AV_LOG_INFO;
    default: return AV_LOG_DEBUG;
  }
}

// libx264's own levels for a log_level: none, error, warning, info, debug.
int x264_threshold(DWORD log_level) {
  switch (log_level) {
    case 0: return X264_LOG_NONE;
    case 1: return X264_LOG_ERROR;
    case 2: return X264_LOG_WARNING;
    case 3: return X264_LOG_INFO;
    default: return X264_LOG_DEBUG;
  }
}

void av_log_line(void* avcl, int level, const char* fmt, va_list args) {
  if (level > g_latest_threshold.load(std::memory_order_relaxed)) return;
  char line[1024];
  thread_local int print_prefix = 1;
  av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &print_prefix);
  std::fputs(line, stderr);
}

void install_log_callback() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(av_log_line); });
}

}  // namespace

struct CompressorSession {
  X264Settings settings;
  int log_threshold = X264_LOG_WARNING;  // libx264's level; read by its log callback
  int width = 0;
  int height = 0;
  int bytes_per_pixel = 3;
  int stride = 0;                      // bytes per DIB row
  std::size_t frame_bytes = 0;
  int mb_width = 0;
  int mb_height = 0;
  x264_param_t param{};
  std::int64_t bit_rate = 0;           // for the file's header: bits per second, 0 unless ABR
  x264_t* encoder = nullptr;           // null while resting
  int threads = 1;                     // what the encoder codes each frame on
  double interval_ns = 0;              // one frame's share of time at the stream's rate
  double coding_ns = 0;                // time spent in the encoder, this encoder so far
  int coded = 0;                       // frames coded by this encoder

  // The picture handed to the encoder, made at the first convert: three
  // planes in one block. `converted` once it holds a frame.
  std::uint8_t* block = nullptr;
  std::uint8_t* plane[3] = {};
  int plane_stride[3] = {};
  bool converted = false;
  std::uint64_t seen_write = 0;        // the DIB write (frame_changes.h) converted last
  std::vector<std::uint8_t> dib_rows;  // rows of the DIB changed since, in memory order
  // Per macroblock: 1 where the picture differs from the one the encoder
  // was last given (or no encoder has seen it).
  std::vector<std::uint8_t> changed;
  std::vector<std::uint8_t> mb_info;   // what the encoder is told, per frame

  AVPacket* packet = nullptr;          // wraps the encoder's output for the sink
  // Pictures handed to the encoder: its own clock, which only moves on.
  // The caller's positions may repeat (a frame retried after it could not
  // be stored), and x264 warns about every time stamp that does not
  // increase; with a constant frame rate it times nothing by them.
  std::int64_t pictures = 0;

  ~CompressorSession() {
    if (encoder != nullptr) x264_encoder_close(encoder);
    av_free(block);
    av_packet_free(&packet);
  }
};

namespace {

void x264_log_line(void* context, int level, const char* fmt, va_list args) {
  const auto* s = static_cast<const CompressorSession*>(context);
  if (s != nullptr && level > s->log_threshold) return;
  static const char* const kLevels[] = {"error", "warning", "info", "debug"};
  char line[1024];
  std::vsnprintf(line, sizeof line, fmt, args);
  std::fprintf(stderr, "x264 [%s]: %s", level >= 0 && level <= 3 ? kLevels[level] : "unknown", line);
}

void note(const CompressorSession& s, const char* text, const std::string& value) {
  if (X264_LOG_WARNING <= s.log_threshold) std::fprintf(stderr, "x264vfw: %s \"%s\"\n", text, value.c_str());
}

// ---- settings --------------------------------------------------------------

bool query_dword(HKEY key, const char* name, DWORD& out) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    return false;
  out = value;
  return true;
}

bool query_text(HKEY key, const char* name, std::string& out) {
  DWORD type = 0;
  char buf[256];
  DWORD size = sizeof buf;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS ||
      type != REG_SZ || size == 0)
    return false;
  out.assign(buf, size - 1);
  return true;
}

bool is_preset(std::string_view name) {
  for (const char* const* p = x264_preset_names; *p != nullptr; ++p)
    if (name == *p) return true;
  return false;
}

// A tuning is one of x264's psychovisual tunings, optionally combined with
// "fastdecode" and "zerolatency" ("film,fastdecode"); "" is none.
bool is_tuning(std::string_view tuning) {
  int psy = 0;
  while (!tuning.empty()) {
    std::size_t end = tuning.find_first_of(",./-+");
    std::string_view part = tuning.substr(0, end);
    bool known = false;
    for (const char* const* t = x264_tune_names; *t != nullptr; ++t)
      if (part == *t) known = true;
    if (!known) return false;
    if (part != "fastdecode" && part != "zerolatency") ++psy;
    if (end == std::string_view::npos) break;
    tuning.remove_prefix(end + 1);
    if (tuning.empty()) return false;
  }
  return psy <= 1;
}

}  // namespace

X264Settings x264_read_settings() {
  X264Settings s;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
  DWORD v = 0;
  if (query_dword(key, "encoding_type", v) && v <= 4) s.encoding_type = v;
  if (query_dword(key, "quantizer", v) && v <= 51) s.quantizer = v;
  if (query_dword(key, "ratefactor", v) && v <= 510) s.ratefactor = v;
  if (query_dword(key, "passbitrate", v) && v >= 1 && v <= 1000000) s.passbitrate = v;
  if (query_dword(key, "log_level", v)) s.log_level = v > 4 ? 4 : v;
  std::string text;
  if (query_text(key, "preset", text)) s.preset = text;
  if (query_text(key, "tuning", text)) s.tuning = text;
  RegCloseKey(key);
  return s;
}

namespace {

// One thread, unless the encoders before have needed slices to keep up.
int threads_for_new_encoder() {
  static std::atomic<bool> slices{false};
  const int load = g_encoder_load_permille.load(std::memory_order_relaxed);
  if (load > kSlicesAbovePermille) slices = true;
  if (load < kOneThreadBelowPermille) slices = false;
  return slices ? 0 : 1;  // 0: one per processor
}

// Opens the session's encoder from its parameters; closes it, noting how
// long it took per frame for the next encoder's choice of threads.
bool open_encoder(CompressorSession* s);
void close_encoder(CompressorSession* s);
void note_encoder_load(CompressorSession* s);

std::int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// ---- the driver ------------------------------------------------------------

template <std::size_t N>
void copy_wide(WCHAR (&dst)[N], const char16_t* src) {
  std::size_t i = 0;
  for (; i + 1 < N && src[i] != 0; ++i) dst[i] = src[i];
  for (; i < N; ++i) dst[i] = 0;
}

void get_info(ICINFO* info) {
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof(ICINFO);
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = kHandler;
  info->dwFlags = kVidcfCompressFrames | kVidcfFastTemporalC;
  info->dwVersion = X264_BUILD;
  info->dwVersionICM = kIcVersion;
  copy_wide(info->szName, kName);
  copy_wide(info->szDescription, kDescription);
  copy_wide(info->szDriver, kDriver);
}

bool acceptable_input(const BITMAPINFOHEADER& in) {
  return in.biSize >= sizeof(BITMAPINFOHEADER) && in.biCompression == BI_RGB &&
         (in.biBitCount == 24 || in.biBitCount == 32) && in.biWidth > 0 && in.biHeight > 0 &&
         in.biWidth % 2 == 0 && in.biHeight % 2 == 0 && in.biWidth <= kMaxDimension &&
         in.biHeight <= kMaxDimension;
}

LRESULT compress_query(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
  if (in == nullptr) return ICERR_BADPARAM;
  BITMAPINFOHEADER input;
  std::memcpy(&input, in, sizeof input);  // the caller's record need not be aligned
  if (!acceptable_input(input)) return ICERR_BADFORMAT;
  if (out != nullptr) {
    BITMAPINFOHEADER output;
    std::memcpy(&output, out, sizeof output);
    if ((!fourcc_equal(output.biCompression, kOutputFourcc) &&
         !fourcc_equal(output.biCompression, kOutputFourccAlt)) ||
        output.biWidth != input.biWidth || output.biHeight != input.biHeight)
      return ICERR_BADFORMAT;
  }
  return ICERR_OK;
}

// The x264 options that get every frame's packet out at once and set the
// rate control from the settings. They are applied after the preset and
// tuning, so neither can bring back B-frames or lookahead. With a variable
// frame rate x264 holds each frame back until the next one shows its
// duration; our positions are a constant rate (force-cfr), so it need not.
std::string encoder_options(const X264Settings& s, int keyint, int threads) {
  std::string o = "bframes=0:rc-lookahead=0:sync-lookahead=0:mbtree=0:sliced-threads=1:force-cfr=1";
  char buf[64];
  std::snprintf(buf, sizeof buf, ":threads=%d", threads);
  o += threads > 0 ? buf : ":threads=auto";
  if (keyint > 0) {
    std::snprintf(buf, sizeof buf, ":keyint=%d", keyint);
    o += buf;
  }
  switch (s.encoding_type) {
    case 0:
    case 2:  // a first pass would write statistics nobody reads; run single-pass
      std::snprintf(buf, sizeof buf, ":bitrate=%u", static_cast<unsigned>(s.passbitrate));
      break;
    case 1:
      std::snprintf(buf, sizeof buf, ":qp=%u", static_cast<unsigned>(s.quantizer));
      break;
    case 3:
      std::snprintf(buf, sizeof buf, ":qp=0");
      break;
    default:
      std::snprintf(buf, sizeof buf, ":crf=%u.%u", static_cast<unsigned>(s.ratefactor / 10),
                    static_cast<unsigned>(s.ratefactor % 10));
      break;
  }
  return o + buf;
}

// Applies "name=value:name=value" to the parameters. False at the first
// one libx264 does not take.
bool parse_options(x264_param_t* p, const std::string& options) {
  std::size_t at = 0;
  while (at < options.size()) {
    std::size_t end = options.find(':', at);
    if (end == std::string::npos) end = options.size();
    std::string item = options.substr(at, end - at);
    std::size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "1" : item.substr(eq + 1);
    if (x264_param_parse(p, name.c_str(), value.c_str()) != 0) return false;
    at = end + 1;
  }
  return true;
}

// Makes the planes of the picture: rows padded to kPlaneAlign bytes.
bool make_picture(CompressorSession* s) {
  const int luma_stride = (s->width + kPlaneAlign - 1) / kPlaneAlign * kPlaneAlign;
  const int chroma_stride = (s->width / 2 + kPlaneAlign - 1) / kPlaneAlign * kPlaneAlign;
  const std::size_t luma_bytes = static_cast<std::size_t>(luma_stride) * s->height;
  const std::size_t chroma_bytes = static_cast<std::size_t>(chroma_stride) * (s->height / 2);
  s->block = static_cast<std::uint8_t*>(av_malloc(luma_bytes + 2 * chroma_bytes));
  if (s->block == nullptr) return false;
  s->plane[0] = s->block;
  s->plane[1] = s->block + luma_bytes;
  s->plane[2] = s->block + luma_bytes + chroma_bytes;
  s->plane_stride[0] = luma_stride;
  s->plane_stride[1] = s->plane_stride[2] = chroma_stride;
  s->converted = false;
  return true;
}

void forget_picture(CompressorSession* s) {
  av_freep(&s->block);
  for (auto& p : s->plane) p = nullptr;
  s->converted = false;
}

HRESULT begin(const CompressorConfig& config, CompressorSession** out) {
  *out = nullptr;
  const BITMAPINFOHEADER& format = config.format;
  if (!acceptable_input(format)) return AVIERR_BADFORMAT;
  install_log_callback();
  auto s = std::make_unique<CompressorSession>();
  s->settings = x264_read_settings();
  s->log_threshold = x264_threshold(s->settings.log_level);
  g_latest_threshold.store(av_threshold(s->settings.log_level), std::memory_order_relaxed);
  if (!is_preset(s->settings.preset)) {
    note(*s, "unknown preset, using ultrafast:", s->settings.preset);
    s->settings.preset = "ultrafast";
  }
  if (!is_tuning(s->settings.tuning)) {
    note(*s, "unknown tuning, using none:", s->settings.tuning);
    s->settings.tuning.clear();
  }
  s->width = format.biWidth;
  s->height = format.biHeight;
  s->bytes_per_pixel = format.biBitCount / 8;
  s->stride = ((format.biWidth * format.biBitCount + 31) / 32) * 4;
  s->frame_bytes = static_cast<std::size_t>(s->stride) * static_cast<std::size_t>(s->height);
  s->mb_width = (s->width + kMacroblock - 1) / kMacroblock;
  s->mb_height = (s->height + kMacroblock - 1) / kMacroblock;
  s->changed.assign(static_cast<std::size_t>(s->mb_width) * s->mb_height, 1);
  s->mb_info.assign(s->changed.size(), 0);
  s->packet = av_packet_alloc();
  if (s->packet == nullptr) return AVIERR_MEMORY;

  x264_param_t& p = s->param;
  if (x264_param_default_preset(&p, s->settings.preset.c_str(),
                                s->settings.tuning.empty() ? nullptr : s->settings.tuning.c_str()) < 0)
    return AVIERR_COMPRESSOR;
  p.pf_log = x264_log_line;
  p.p_log_private = s.get();
  p.i_log_level = s->log_threshold;
  p.i_csp = X264_CSP_I420;
  p.i_width = s->width;
  p.i_height = s->height;
  p.i_timebase_num = config.time_base.num;
  p.i_timebase_den = config.time_base.den;
  p.i_fps_num = config.time_base.den;
  p.i_fps_den = config.time_base.num;
  p.b_open_gop = 0;
  p.vui.b_fullrange = 0;
  p.vui.i_colmatrix = 6;  // SMPTE 170M (BT.601), the conversion's matrix
  p.analyse.b_mb_info = 1;
  if (!parse_options(&p, encoder_options(s->settings, config.keyint, threads_for_new_encoder())))
    return AVIERR_COMPRESSOR;
  s->bit_rate = p.rc.i_rc_method == X264_RC_ABR ? std::int64_t{p.rc.i_bitrate} * 1000 : 0;
  s->interval_ns = 1e9 * config.time_base.num / config.time_base.den;
  if (!open_encoder(s.get())) return AVIERR_COMPRESSOR;
  *out = s.release();
  return AVIERR_OK;
}

void stream_parameters(const CompressorSession* s, AVCodecParameters* par) {
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_H264;
  par->codec_tag = kOutputFourcc;
  par->format = AV_PIX_FMT_YUV420P;
  par->width = s->width;
  par->height = s->height;
  par->bit_rate = s->bit_rate;
  par->sample_aspect_ratio = AVRational{0, 1};
  par->color_range = AVCOL_RANGE_MPEG;
  par->color_space = AVCOL_SPC_SMPTE170M;
  par->field_order = AV_FIELD_UNKNOWN;
  par->video_delay = 0;
}

std::size_t frame_bytes(const CompressorSession* s) { return s->frame_bytes; }

bool open_encoder(CompressorSession* s) {
  s->encoder = x264_encoder_open(&s->param);
  if (s->encoder == nullptr) return false;
  x264_param_t opened;
  x264_encoder_parameters(s->encoder, &opened);
  s->threads = opened.i_threads > 0 ? opened.i_threads : 1;
  s->coding_ns = 0;
  s->coded = 0;
  return true;
}

void close_encoder(CompressorSession* s) {
  if (s->encoder == nullptr) return;
  note_encoder_load(s);
  x264_encoder_close(s->encoder);
  s->encoder = nullptr;
}

void note_encoder_load(CompressorSession* s) {
  if (s->coded == 0 || s->interval_ns <= 0) return;
  const double per_frame = s->coding_ns * s->threads / s->coded;
  g_encoder_load_permille.store(static_cast<int>(std::min(1e6, 1000 * per_frame / s->interval_ns)),
                                std::memory_order_relaxed);
}

// Whether rows row .. row+rows-1 of the frame (counted from the top) hold
// a changed row of the DIB (bottom-up, so frame row r is DIB row height-1-r).
bool rows_changed(const CompressorSession* s, int row, int rows) {
  for (int r = row; r < row + rows; ++r)
    if (s->dib_rows[static_cast<std::size_t>(s->height - 1 - r)] != 0) return true;
  return false;
}

HRESULT convert(CompressorSession* s, const BYTE* pixels) {
  if (s->block == nullptr && !make_picture(s)) return AVIERR_MEMORY;
  s->dib_rows.assign(static_cast<std::size_t>(s->height), 0);
  const frames::LastWrite write =
      frames::last_write(pixels, s->frame_bytes, s->height, s->converted ? s->seen_write : 0, s->dib_rows.data());
  const bool only_changed = s->converted && write.changes_known;
  s->seen_write = write.serial;
  // DIB rows run bottom-up: start at the frame's top row, the last in
  // memory, and step backwards, one macroblock row at a time.
  const BYTE* top = pixels + static_cast<std::size_t>(s->stride) * static_cast<std::size_t>(s->height - 1);
  for (int mb_row = 0; mb_row < s->mb_height; ++mb_row) {
    const int row = mb_row * kMacroblock;
    const int rows = s->height - row < kMacroblock ? s->height - row : kMacroblock;
    if (only_changed && !rows_changed(s, row, rows)) continue;
    yuv::Target target{s->plane[0] + static_cast<std::ptrdiff_t>(row) * s->plane_stride[0],
                       s->plane[1] + static_cast<std::ptrdiff_t>(row / 2) * s->plane_stride[1],
                       s->plane[2] + static_cast<std::ptrdiff_t>(row / 2) * s->plane_stride[2],
                       s->plane_stride[0], s->plane_stride[1]};
    yuv::bgr_to_i420(top - static_cast<std::ptrdiff_t>(row) * s->stride, -static_cast<std::ptrdiff_t>(s->stride),
                     s->bytes_per_pixel, s->width, rows, target,
                     s->changed.data() + static_cast<std::size_t>(mb_row) * s->mb_width);
  }
  // A fresh picture held nothing to compare with.
  if (!s->converted) std::fill(s->changed.begin(), s->changed.end(), 1);
  s->converted = true;
  return AVIERR_OK;
}

// Hands the frame the encoder gave out (size bytes of NAL units, one after
// another) to sink, stamped pts.
HRESULT deliver(CompressorSession* s, x264_nal_t* nals, int size, const x264_picture_t& out, std::int64_t pts,
                CompressorPacketSink sink, void* context) {
  if (size <= 0) return AVIERR_OK;
  AVPacket* packet = s->packet;
  packet->data = nals[0].p_payload;
  packet->size = size;
  packet->flags = out.b_keyframe ? AV_PKT_FLAG_KEY : 0;
  packet->pts = packet->dts = pts;
  packet->duration = 1;
  int r = sink(context, packet);
  av_packet_unref(packet);
  return r < 0 ? AVIERR_FILEWRITE : AVIERR_OK;
}

HRESULT compress(CompressorSession* s, std::int64_t pts, bool key, CompressorPacketSink sink, void* context) {
  if (!s->converted) return AVIERR_INTERNAL;
  if (s->encoder == nullptr) {
    // Woken from rest: a new encoder, whose first frame is a key frame.
    if (!open_encoder(s)) return AVIERR_COMPRESSOR;
    std::fill(s->changed.begin(), s->changed.end(), 1);
  }
  x264_picture_t picture;
  x264_picture_init(&picture);
  picture.img.i_csp = X264_CSP_I420;
  picture.img.i_plane = 3;
  for (int i = 0; i < 3; ++i) {
    picture.img.plane[i] = s->plane[i];
    picture.img.i_stride[i] = s->plane_stride[i];
  }
  picture.i_pts = s->pictures++;
  picture.i_type = key ? X264_TYPE_IDR : X264_TYPE_AUTO;
  for (std::size_t i = 0; i < s->changed.size(); ++i) s->mb_info[i] = s->changed[i] ? 0 : X264_MBINFO_CONSTANT;
  picture.prop.mb_info = s->mb_info.data();

  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t coded;
  const std::int64_t started = now_ns();
  int size = x264_encoder_encode(s->encoder, &nals, &count, &picture, &coded);
  s->coding_ns += static_cast<double>(now_ns() - started);
  ++s->coded;
  if (size < 0) {
    std::fill(s->changed.begin(), s->changed.end(), 1);
    return AVIERR_COMPRESSOR;
  }
  // The encoder now refers to this picture; the next frame is compared
  // with it.
  std::fill(s->changed.begin(), s->changed.end(), 0);
  return deliver(s, nals, size, coded, pts, sink, context);
}

HRESULT flush(CompressorSession* s, CompressorPacketSink sink, void* context) {
  HRESULT result = AVIERR_OK;
  while (s->encoder != nullptr && x264_encoder_delayed_frames(s->encoder) > 0) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t coded;
    int size = x264_encoder_encode(s->encoder, &nals, &count, nullptr, &coded);
    if (size < 0) return AVIERR_COMPRESSOR;
    if (result == AVIERR_OK) result = deliver(s, nals, size, coded, AV_NOPTS_VALUE, sink, context);
  }
  return result;
}

void rest(CompressorSession* s) {
  close_encoder(s);
  forget_picture(s);
  std::fill(s->changed.begin(), s->changed.end(), 1);
}

void end(CompressorSession* s) {
  close_encoder(s);
  delete s;
}

}  // namespace

X264Picture x264_session_picture(const CompressorSession* session) {
  X264Picture picture{};
  for (int i = 0; i < 3; ++i) {
    picture.plane[i] = session->plane[i];
    picture.stride[i] = session->plane_stride[i];
  }
  return picture;
}

extern const CompressorDriver kX264Driver = {
    kHandler, get_info, compress_query, begin, stream_parameters, frame_bytes, convert, compress, flush, end, rest,
};
