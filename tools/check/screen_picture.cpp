#include "tools/check/screen_picture.h"

#include <memory>

#include "tools/common/avi_reader.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace check {

namespace {

// Owners of the library objects of one picture.
struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScaleFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// How many of a segment's frames to try before giving up on a picture: a
// damaged start should not cost the decoding of a whole segment.
constexpr int kPacketsToTry = 40;
constexpr int kJpegQuality = 4;  // mjpeg's qscale: 2 best, 31 worst

// The decoded `frame` scaled to `width` x `height` and coded as JPEG.
bool EncodeJpeg(const AVFrame* frame, int width, int height, std::string* jpeg, std::string* error) {
  std::unique_ptr<SwsContext, ScaleFree> scale(
      sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), width, height,
                     AV_PIX_FMT_YUVJ420P, SWS_AREA, nullptr, nullptr, nullptr));
  Frame small(av_frame_alloc());
  if (!scale || !small) {
    *error = "the picture cannot be scaled";
    return false;
  }
  small->format = AV_PIX_FMT_YUVJ420P;
  small->width = width;
  small->height = height;
  if (int r = av_frame_get_buffer(small.get(), 0); r < 0) {
    *error = runfiles::AvError(r);
    return false;
  }
  sws_scale(scale.get(), frame->data, frame->linesize, 0, frame->height, small->data, small->linesize);

  const AVCodec* mjpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  Codec encoder(mjpeg != nullptr ? avcodec_alloc_context3(mjpeg) : nullptr);
  if (!encoder) {
    *error = "no JPEG encoder in this FFmpeg";
    return false;
  }
  encoder->width = width;
  encoder->height = height;
  encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
  encoder->color_range = AVCOL_RANGE_JPEG;
  encoder->time_base = AVRational{1, 25};
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = FF_QP2LAMBDA * kJpegQuality;
  if (int r = avcodec_open2(encoder.get(), mjpeg, nullptr); r < 0) {
    *error = runfiles::AvError(r);
    return false;
  }
  small->quality = encoder->global_quality;
  small->pict_type = AV_PICTURE_TYPE_I;
  Packet packet(av_packet_alloc());
  int r = avcodec_send_frame(encoder.get(), small.get());
  if (r >= 0) r = avcodec_send_frame(encoder.get(), nullptr);
  if (r >= 0 && packet) r = avcodec_receive_packet(encoder.get(), packet.get());
  if (r < 0 || !packet) {
    *error = runfiles::AvError(r);
    return false;
  }
  jpeg->assign(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size));
  return true;
}

}  // namespace

ScreenPicture PictureOfSegment(const std::string& avi_path, int max_width) {
  ScreenPicture picture;
  runfiles::AviInput input;
  if (!input.Open(avi_path, &picture.error)) return picture;
  const AVCodecParameters* par = input.stream()->codecpar;
  picture.frame_width = par->width;
  picture.frame_height = par->height;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  Codec decoder(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
  if (!decoder || avcodec_parameters_to_context(decoder.get(), par) < 0) {
    picture.error = "its video cannot be decoded";
    return picture;
  }
  decoder->thread_count = 1;
  if (int r = avcodec_open2(decoder.get(), codec, nullptr); r < 0) {
    picture.error = runfiles::AvError(r);
    return picture;
  }
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  Frame fallback;  // the first picture, though damaged
  std::int64_t fallback_index = 0;
  if (!packet || !frame) {
    picture.error = runfiles::AvError(AVERROR(ENOMEM));
    return picture;
  }
  bool got = false;
  std::int64_t decoded = 0;
  std::string read_error;
  int sent = 0;
  bool ended = false;  // no more packets go in: the decoder is drained
  while (!got) {
    if (!ended) {
      int n = sent < kPacketsToTry ? input.Next(packet.get(), &read_error) : 0;
      if (n != 1) {
        ended = true;
        avcodec_send_packet(decoder.get(), nullptr);
      } else if (packet->size == 0) {
        continue;  // a dropped frame
      } else {
        ++sent;
        if (avcodec_send_packet(decoder.get(), packet.get()) < 0) continue;
      }
    }
    int r = 0;
    while (!got && (r = avcodec_receive_frame(decoder.get(), frame.get())) >= 0) {
      const bool clean = (frame->flags & AV_FRAME_FLAG_CORRUPT) == 0 && frame->decode_error_flags == 0;
      if (clean) {
        picture.frame_index = decoded;
        got = true;
      } else {
        if (!fallback) {
          fallback.reset(av_frame_clone(frame.get()));
          fallback_index = decoded;
        }
        av_frame_unref(frame.get());
      }
      ++decoded;
    }
    if (ended && !got) break;
  }
  if (!got && fallback) {
    frame = std::move(fallback);
    picture.frame_index = fallback_index;
    got = true;
  }
  if (!got) {
    picture.error = !read_error.empty() ? read_error : "no frame of it decodes";
    return picture;
  }
  int width = frame->width < max_width ? frame->width : max_width;
  width &= ~1;
  int height = static_cast<int>(static_cast<long long>(frame->height) * width / (frame->width > 0 ? frame->width : 1));
  height &= ~1;
  if (width < 2 || height < 2) {
    picture.error = "its frames are too small for a picture";
    return picture;
  }
  if (!EncodeJpeg(frame.get(), width, height, &picture.jpeg, &picture.error)) return picture;
  picture.width = width;
  picture.height = height;
  return picture;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace check
