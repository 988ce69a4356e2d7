#include "tools/common/avi_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "formats/avi_chunks.h"
#include "tools/common/file_io.h"

namespace runfiles {

namespace {

// The first H.264 NAL units of an Annex B packet, one call per unit:
// `visit(type, unit_with_start_code)`; stops when visit returns false.
template <typename Visit>
void ForEachNal(const AVPacket* packet, Visit visit) {
  const std::uint8_t* data = packet->data;
  const int size = packet->size;
  auto start_code_at = [&](int i) {
    return i + 3 <= size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1;
  };
  int i = 0;
  while (i < size && !start_code_at(i)) ++i;
  while (i < size) {
    int unit = i + 3;  // first byte after the start code
    int next = unit;
    while (next < size && !start_code_at(next)) ++next;
    // A four-byte start code belongs to the next unit.
    int end = next;
    if (next < size && end > unit && data[end - 1] == 0) --end;
    int from = i > 0 && data[i - 1] == 0 ? i - 1 : i;
    if (unit < size &&
        !visit(data[unit] & 0x1f, std::string(reinterpret_cast<const char*>(data + from),
                                              static_cast<std::size_t>(end - from))))
      return;
    i = next;
  }
}

}  // namespace

AviStructure InspectAviStructure(const std::string& path) {
  AviStructure result;
  Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.error = "not a regular file";
    return result;
  }
  const std::int64_t file_bytes = info.st_size;
  result.file_bytes = file_bytes;
  const RiffRead read = [&fd](std::int64_t offset, std::uint8_t* into, std::size_t size) {
    return ReadAt(fd.get(), offset, into, size);
  };
  std::uint8_t head[12];
  if (!read(0, head, sizeof head) || !IsFourcc(head, "RIFF") || !IsFourcc(head + 8, "AVI ")) {
    result.shape = AviShape::kNotAvi;
    return result;
  }
  // The first RIFF list holds the headers, the frames and (once the file
  // is complete) the index; files past 1 GiB go on in further AVIX lists.
  bool index_found = false;
  bool unfinished = false;
  std::int64_t beyond_end = 0;  // how far the furthest list or chunk reaches past the file
  RiffWalk lists(read, 0, file_bytes);
  RiffChunk riff;
  for (int count = 0; lists.Next(&riff); ++count) {
    if (!riff.Is("RIFF") || !riff.has_type) break;  // trailing bytes that are no list
    if (riff.SizeUnfilled()) unfinished = true;
    if (!unfinished && riff.end() > file_bytes) beyond_end = std::max(beyond_end, riff.end() - file_bytes);
    RiffWalk chunks(read, riff.data() + 4, unfinished ? file_bytes : std::min(riff.end(), file_bytes));
    for (RiffChunk chunk; chunks.Next(&chunk);) {
      if (chunk.Is("LIST") && chunk.SizeUnfilled()) {
        unfinished = true;
        break;  // a list never closed: the frames run to the end of the file
      }
      if (count == 0 && chunk.Is("idx1")) index_found = true;
      if (chunk.end() > file_bytes) {
        beyond_end = std::max(beyond_end, chunk.end() - file_bytes);
        break;
      }
    }
    if (unfinished) break;
  }
  if (unfinished) {
    result.shape = AviShape::kUnfinished;
  } else if (beyond_end > 0) {
    result.shape = AviShape::kCutShort;
    result.missing_bytes = beyond_end;
  } else if (!index_found) {
    result.shape = AviShape::kNoIndex;
  } else {
    result.shape = AviShape::kComplete;
  }
  return result;
}

AviInput::~AviInput() {
  if (format_ != nullptr) avformat_close_input(&format_);
}

bool AviInput::Open(const std::string& path, std::string* error) {
  const AVInputFormat* avi = av_find_input_format("avi");
  int r = avformat_open_input(&format_, path.c_str(), avi, nullptr);
  if (r < 0) {
    format_ = nullptr;  // freed by avformat_open_input
    *error = AvError(r);
    return false;
  }
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    AVStream* st = format_->streams[i];
    if (stream_ == nullptr && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream_ = st;
    } else {
      st->discard = AVDISCARD_ALL;
    }
  }
  if (stream_ == nullptr) {
    *error = "no video stream";
    return false;
  }
  return true;
}

int AviInput::Next(AVPacket* packet, std::string* error) {
  for (;;) {
    av_packet_unref(packet);
    int r = av_read_frame(format_, packet);
    if (r == AVERROR_EOF) return 0;
    if (r < 0) {
      *error = AvError(r);
      return -1;
    }
    if (packet->stream_index == stream_->index) return 1;
  }
}

AVRational AviInput::nominal_rate() const {
  if (stream_ == nullptr || stream_->time_base.num <= 0 || stream_->time_base.den <= 0)
    return AVRational{0, 1};
  return av_inv_q(stream_->time_base);
}

DecodeCount CountFrames(AviInput* input, bool decode) {
  DecodeCount count;
  AVCodecContext* decoder = nullptr;
  if (decode) {
    const AVCodec* codec = avcodec_find_decoder(input->stream()->codecpar->codec_id);
    decoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    int r = decoder == nullptr ? AVERROR_DECODER_NOT_FOUND
                               : avcodec_parameters_to_context(decoder, input->stream()->codecpar);
    if (r >= 0) {
      // Slice threads only for large pictures: they cost nothing in delay,
      // and a small picture decodes faster than threads start.
      const auto* par = input->stream()->codecpar;
      decoder->thread_type = FF_THREAD_SLICE;
      decoder->thread_count = static_cast<std::int64_t>(par->width) * par->height > 1000000 ? 0 : 1;
      r = avcodec_open2(decoder, codec, nullptr);
    }
    if (r < 0) {
      count.decoder_error = AvError(r);
      avcodec_free_context(&decoder);
    }
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    for (;;) {
      int r = avcodec_receive_frame(decoder, frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) {
        ++count.damaged;
        return;
      }
      ++count.frames;
      if ((frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame->decode_error_flags != 0)
        ++count.damaged;
      av_frame_unref(frame);
    }
  };
  for (;;) {
    int r = input->Next(packet, &count.read_error);
    if (r <= 0) break;
    if (packet->size == 0) continue;  // an empty chunk: a dropped frame
    ++count.packets;
    if (decoder == nullptr) continue;
    if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) ++count.damaged;
    int sent = avcodec_send_packet(decoder, packet);
    if (sent < 0 && sent != AVERROR(EAGAIN)) ++count.damaged;
    drain();
  }
  if (decoder != nullptr) {
    avcodec_send_packet(decoder, nullptr);
    drain();
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  return count;
}

bool IsH264KeyPacket(const AVPacket* packet) {
  bool key = false;
  ForEachNal(packet, [&](int type, const std::string&) {
    if (type == 5) key = true;
    // Past the first slice nothing more is learnt.
    return !(key || type == 1);
  });
  return key;
}

std::string H264ParameterSets(const AVPacket* packet) {
  std::string sets;
  ForEachNal(packet, [&](int type, const std::string& unit) {
    if (type == 7 || type == 8) sets += unit;
    return type != 1 && type != 5;
  });
  return sets;
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void QuietLibav() { av_log_set_level(AV_LOG_QUIET); }

}  // namespace runfiles
