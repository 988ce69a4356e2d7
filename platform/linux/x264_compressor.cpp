// The x264vfw compressor on Linux: libx264 through libavcodec, with the
// colour conversion of libswscale in front.
//
// It behaves as x264vfw does where the recorder can see it: the same codes
// and description, the same input formats, and the same settings key read
// when a stream starts. It always produces I420 H.264 without B-frames and
// without lookahead, and spreads each frame over the cores in slices rather
// than in frame threads, so every frame is in the file when its write returns.
#include <cstdio>
#include <cstring>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/linux/x264_compressor.h"
#include "platform/platform.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
#include <x264.h>
}

namespace {

constexpr DWORD kHandler = mmioFOURCC('x', '2', '6', '4');
constexpr DWORD kOutputFourcc = mmioFOURCC('H', '2', '6', '4');
constexpr DWORD kOutputFourccAlt = mmioFOURCC('X', '2', '6', '4');
constexpr char16_t kName[] = u"x264vfw";
constexpr char16_t kDescription[] = u"x264vfw - H.264/MPEG-4 AVC codec";
constexpr char16_t kDriver[] = u"libx264 (libavcodec)";
constexpr char kSettingsKey[] = "Software\\GNU\\x264";
// Larger frames than x264 and H.264 levels allow; also keeps every size
// computation far inside 32 bits.
constexpr LONG kMaxDimension = 16384;
// libswscale's converter for BGR24 gives each 2x2 block the average chroma
// of its pixels, except in the first and last chroma rows, which take one
// pixel's. SWS_ACCURATE_RND would average those two rows as well, through the
// general path, at three to four times the cost (about 5 ms more per 1080p
// frame); two edge rows of chroma are not worth that on every frame.
constexpr int kScaleFlags = SWS_BILINEAR;

// ---- logging ---------------------------------------------------------------

// libavcodec and libx264 log through av_log, which goes to stderr (slotrec's
// stdout is its byte-exact log). Messages of an encoder follow the log_level
// of the stream that owns it; all others (the muxer, libswscale) follow the
// stream started most recently. Written by begin, read by the log callback
// on any thread.
std::atomic<int> g_latest_threshold{AV_LOG_WARNING};

// The threshold of each of our encoders, by its codec context. The callback
// looks the context up here rather than trusting a context's fields, so a
// context that is not ours cannot mislead it. Written by begin and end,
// read by the log callback on any thread (libx264 logs from its own).
std::mutex g_encoders_mutex;
std::unordered_map<const void*, int> g_encoder_thresholds;  // under g_encoders_mutex

int av_threshold(DWORD log_level) {
  switch (log_level) {
    case 0: return AV_LOG_QUIET;
    case 1: return AV_LOG_ERROR;
    case 2: return AV_LOG_WARNING;
    case 3: return AV_LOG_INFO;
    default: return AV_LOG_DEBUG;
  }
}

}  // namespace

struct CompressorSession {
  X264Settings settings;
  int log_threshold = AV_LOG_WARNING;
  int width = 0;
  int height = 0;
  int stride = 0;                      // bytes per DIB row
  std::size_t frame_bytes = 0;
  AVCodecContext* encoder = nullptr;
  SwsContext* scaler = nullptr;
  AVFrame* picture = nullptr;
  AVPacket* packet = nullptr;
  // Pictures handed to the encoder: its own clock, which only moves on.
  // The caller's positions may repeat (a frame retried after it could not
  // be stored), and x264 warns about every time stamp that does not
  // increase; with force-cfr it times nothing by them.
  std::int64_t pictures = 0;

  ~CompressorSession() {
    if (encoder != nullptr) {
      std::lock_guard<std::mutex> lock(g_encoders_mutex);
      g_encoder_thresholds.erase(encoder);
    }
    avcodec_free_context(&encoder);
    sws_freeContext(scaler);
    av_frame_free(&picture);
    av_packet_free(&packet);
  }
};

namespace {

void log_callback(void* avcl, int level, const char* fmt, va_list args) {
  int threshold = g_latest_threshold.load(std::memory_order_relaxed);
  if (avcl != nullptr) {
    std::lock_guard<std::mutex> lock(g_encoders_mutex);
    auto it = g_encoder_thresholds.find(avcl);
    if (it != g_encoder_thresholds.end()) threshold = it->second;
  }
  if (level > threshold) return;
  char line[1024];
  thread_local int print_prefix = 1;
  av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &print_prefix);
  std::fputs(line, stderr);
}

void install_log_callback() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(log_callback); });
}

void note(const CompressorSession& s, int level, const char* text, const std::string& value) {
  if (level <= s.log_threshold) std::fprintf(stderr, "x264vfw: %s \"%s\"\n", text, value.c_str());
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
std::string encoder_options(const X264Settings& s, int keyint) {
  std::string o = "bframes=0:rc-lookahead=0:sync-lookahead=0:mbtree=0:sliced-threads=1:force-cfr=1";
  char buf[64];
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

HRESULT begin(const CompressorConfig& config, CompressorSession** out) {
  *out = nullptr;
  const BITMAPINFOHEADER& format = config.format;
  if (!acceptable_input(format)) return AVIERR_BADFORMAT;
  install_log_callback();
  auto s = std::make_unique<CompressorSession>();
  s->settings = x264_read_settings();
  s->log_threshold = av_threshold(s->settings.log_level);
  g_latest_threshold.store(s->log_threshold, std::memory_order_relaxed);
  if (!is_preset(s->settings.preset)) {
    note(*s, AV_LOG_WARNING, "unknown preset, using ultrafast:", s->settings.preset);
    s->settings.preset = "ultrafast";
  }
  if (!is_tuning(s->settings.tuning)) {
    note(*s, AV_LOG_WARNING, "unknown tuning, using none:", s->settings.tuning);
    s->settings.tuning.clear();
  }
  s->width = format.biWidth;
  s->height = format.biHeight;
  s->stride = ((format.biWidth * format.biBitCount + 31) / 32) * 4;
  s->frame_bytes = static_cast<std::size_t>(s->stride) * static_cast<std::size_t>(s->height);

  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) return AVIERR_NOCOMPRESSOR;
  s->encoder = avcodec_alloc_context3(codec);
  s->picture = av_frame_alloc();
  s->packet = av_packet_alloc();
  if (s->encoder == nullptr || s->picture == nullptr || s->packet == nullptr) return AVIERR_MEMORY;
  AVCodecContext* enc = s->encoder;
  {
    std::lock_guard<std::mutex> lock(g_encoders_mutex);
    g_encoder_thresholds[enc] = s->log_threshold;
  }
  enc->width = s->width;
  enc->height = s->height;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = config.time_base;
  enc->framerate = av_inv_q(config.time_base);
  enc->max_b_frames = 0;
  enc->color_range = AVCOL_RANGE_MPEG;
  enc->colorspace = AVCOL_SPC_SMPTE170M;  // libswscale's default matrix, BT.601
  av_opt_set(enc->priv_data, "preset", s->settings.preset.c_str(), 0);
  if (!s->settings.tuning.empty()) av_opt_set(enc->priv_data, "tune", s->settings.tuning.c_str(), 0);
  av_opt_set(enc->priv_data, "x264-params", encoder_options(s->settings, config.keyint).c_str(), 0);
  // A key frame asked for is an IDR frame: nothing after it refers to a
  // frame before it, so a frame the file could not take is never needed.
  av_opt_set_int(enc->priv_data, "forced-idr", 1, 0);
  if (avcodec_open2(enc, codec, nullptr) < 0) return AVIERR_COMPRESSOR;

  AVPixelFormat in_format = format.biBitCount == 24 ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_BGR0;
  s->scaler = sws_getContext(s->width, s->height, in_format, s->width, s->height, AV_PIX_FMT_YUV420P,
                             kScaleFlags, nullptr, nullptr, nullptr);
  if (s->scaler == nullptr) return AVIERR_MEMORY;
  s->picture->format = AV_PIX_FMT_YUV420P;
  s->picture->width = s->width;
  s->picture->height = s->height;
  s->picture->color_range = AVCOL_RANGE_MPEG;
  s->picture->colorspace = AVCOL_SPC_SMPTE170M;
  if (av_frame_get_buffer(s->picture, 0) < 0) return AVIERR_MEMORY;
  *out = s.release();
  return AVIERR_OK;
}

void stream_parameters(const CompressorSession* s, AVCodecParameters* par) {
  avcodec_parameters_from_context(par, s->encoder);
  par->codec_tag = kOutputFourcc;
}

std::size_t frame_bytes(const CompressorSession* s) { return s->frame_bytes; }

HRESULT convert(CompressorSession* s, const BYTE* pixels) {
  // The encoder may still hold the picture of the previous frame.
  if (av_frame_make_writable(s->picture) < 0) return AVIERR_MEMORY;
  // DIB rows run bottom-up: start at the last row and step backwards, so the
  // conversion reads the caller's buffer in place.
  const uint8_t* src[4] = {pixels + static_cast<std::size_t>(s->stride) * static_cast<std::size_t>(s->height - 1),
                           nullptr, nullptr, nullptr};
  const int src_stride[4] = {-s->stride, 0, 0, 0};
  int rows = sws_scale(s->scaler, src, src_stride, 0, s->height, s->picture->data, s->picture->linesize);
  return rows == s->height ? AVIERR_OK : AVIERR_INTERNAL;
}

// Hands every packet the encoder has ready to sink, stamped pts. After the
// sink refused one, the rest are taken from the encoder and dropped, so none
// is left to come out with a later frame.
HRESULT drain(CompressorSession* s, std::int64_t pts, CompressorPacketSink sink, void* context) {
  HRESULT result = AVIERR_OK;
  while (true) {
    int r = avcodec_receive_packet(s->encoder, s->packet);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) return AVIERR_COMPRESSOR;
    s->packet->pts = s->packet->dts = pts;
    s->packet->duration = 1;
    if (result == AVIERR_OK && sink(context, s->packet) < 0) result = AVIERR_FILEWRITE;
    av_packet_unref(s->packet);
  }
  return result;
}

HRESULT compress(CompressorSession* s, std::int64_t pts, bool key, CompressorPacketSink sink, void* context) {
  s->picture->pts = s->pictures++;
  s->picture->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (avcodec_send_frame(s->encoder, s->picture) < 0) return AVIERR_COMPRESSOR;
  return drain(s, pts, sink, context);
}

HRESULT flush(CompressorSession* s, CompressorPacketSink sink, void* context) {
  int r = avcodec_send_frame(s->encoder, nullptr);
  if (r < 0 && r != AVERROR_EOF) return AVIERR_COMPRESSOR;
  return drain(s, AV_NOPTS_VALUE, sink, context);
}

void end(CompressorSession* s) { delete s; }

}  // namespace

const AVFrame* x264_session_picture(const CompressorSession* session) { return session->picture; }

extern const CompressorDriver kX264Driver = {
    kHandler, get_info, compress_query, begin, stream_parameters, frame_bytes, convert, compress, flush, end,
};
