// Reading a segment's AVI file: its RIFF structure (is it complete, with
// its index, and as long as its header says?), and its video packets and
// frames through libavformat and libavcodec. libavformat reads a file
// without an index by scanning its chunks, so the frames of a file the
// recorder could not complete are read too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace runfiles {

enum class AviShape {
  kComplete,     // RIFF lists whole, the index written
  kNoIndex,      // sizes agree with the file but there is no index: the
                 // recorder cut the file back after its output failed
  kUnfinished,   // the lists' sizes were never filled in: the writer ended
                 // before completing the file
  kCutShort,     // the file ends before its lists do: a copy or write cut short
  kNotAvi,       // no RIFF AVI header
  kUnreadable,   // the file cannot be read at all
};

struct AviStructure {
  AviShape shape = AviShape::kUnreadable;
  std::int64_t file_bytes = 0;
  std::int64_t missing_bytes = 0;  // kCutShort: how much the lists say is missing
  std::string error;               // kUnreadable: why
};

// Walks the top-level RIFF lists of the file (a few small reads; the frames
// themselves are not read).
AviStructure InspectAviStructure(const std::string& path);

// The video stream of an AVI file, packet by packet.
class AviInput {
 public:
  AviInput() = default;
  ~AviInput();
  AviInput(const AviInput&) = delete;
  AviInput& operator=(const AviInput&) = delete;

  // Opens the file as AVI (never guessed as anything else) and finds its
  // video stream. False with `error` set when it cannot.
  bool Open(const std::string& path, std::string* error);

  // The next packet of the video stream into `packet` (unreferenced
  // first): 1, 0 at the end of the file, -1 on a read error (`error` set).
  int Next(AVPacket* packet, std::string* error);

  const AVStream* stream() const { return stream_; }
  // The nominal rate: frames per second the stream header declares.
  AVRational nominal_rate() const;

 private:
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
};

struct DecodeCount {
  std::int64_t packets = 0;  // chunks holding data (empty chunks are dropped frames)
  std::int64_t frames = 0;   // pictures the decoder gave
  std::int64_t damaged = 0;  // packets or pictures the decoder found broken
  std::string read_error;    // the file could not be read to its end
  std::string decoder_error; // no decoder could be opened for the stream
};

// Decodes every packet of `input` from where it stands and counts the
// pictures; with `decode` false only counts the packets.
DecodeCount CountFrames(AviInput* input, bool decode);

// True when an H.264 packet (Annex B byte stream, as the compressor writes
// into AVI) holds an IDR picture: a stream copy may start there.
bool IsH264KeyPacket(const AVPacket* packet);

// The sequence and picture parameter sets of an H.264 packet, with their
// start codes, for a container that wants them in its header; empty when
// the packet has none.
std::string H264ParameterSets(const AVPacket* packet);

// av_strerror as a string.
std::string AvError(int code);

// Quietens libav*'s own logging: the tools say in their own words what is
// wrong with a file.
void QuietLibav();

}  // namespace runfiles
