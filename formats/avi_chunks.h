// The RIFF structure of an AVI file: chunks of a four-character code, a
// little-endian 32-bit size and the data (padded to an even length), lists
// of chunks ("RIFF" and "LIST", whose data opens with a type), and the AVI
// header fields that the recorder corrects after the muxer and that the
// readers check. Reading walks chunks within bounds the caller gives and
// never trusts a size; writing gives the fields to patch, by file offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// Little-endian 32-bit fields.
std::uint32_t ReadLe32(const std::uint8_t* bytes);
void PutLe32(std::uint8_t* bytes, std::uint32_t value);

// Whether the four bytes are `code` ("RIFF", "movi", …).
bool IsFourcc(const std::uint8_t* bytes, const char* code);

// Reads exactly `size` bytes at `offset` of the file into `into`; false
// when they are not all there (the end of the file, a read error).
using RiffRead = std::function<bool(std::int64_t offset, std::uint8_t* into, std::size_t size)>;

// A reader over bytes in memory, which must outlive it.
RiffRead RiffMemory(const std::uint8_t* bytes, std::size_t size);

// One chunk's header, as the file has it.
struct RiffChunk {
  std::int64_t at = 0;        // file offset of the header
  std::uint8_t id[4] = {};
  std::uint32_t size = 0;     // of the data, as the header says (never trusted)
  // RIFF and LIST: the list's type ("AVI ", "hdrl", "movi"), when its four
  // bytes lie within the walk's bounds.
  bool has_type = false;
  std::uint8_t type[4] = {};

  bool Is(const char* code) const { return IsFourcc(id, code); }
  bool IsList() const { return Is("LIST") || Is("RIFF"); }
  bool IsListOf(const char* list_type) const { return IsList() && has_type && IsFourcc(type, list_type); }
  std::int64_t data() const { return at + 8; }
  std::int64_t data_end() const { return data() + size; }
  // Where the next chunk starts: after the data and its pad byte.
  std::int64_t end() const { return data_end() + (size & 1); }
  // A size the writer never filled in: libavformat leaves the size of a list
  // it has opened at -1 until it closes the list, and a writer that reserves
  // the field with zeros leaves 0.
  bool SizeUnfilled() const { return size == 0xffffffffu || size == 0; }
};

// The chunks of [from, to), one after the other: each whose eight-byte
// header lies within it and can be read. The walk ends at `to`, at a header
// that cannot be read, and after a chunk that reaches past `to` (returned,
// for the caller to judge; no chunk after it is).
class RiffWalk {
 public:
  RiffWalk(RiffRead read, std::int64_t from, std::int64_t to)
      : read_(std::move(read)), at_(from), to_(to) {}
  bool Next(RiffChunk* chunk);

 private:
  RiffRead read_;
  std::int64_t at_;
  std::int64_t to_;
};

// Fields of the AVI headers, as offsets in the data of the main header
// ("avih") and of a stream header ("strh"), and the main header's flags.
namespace avi_field {
inline constexpr std::uint32_t kMainHeaderBytes = 56;
inline constexpr std::int64_t kMicroSecPerFrame = 0;
inline constexpr std::int64_t kFlags = 12;
inline constexpr std::int64_t kTotalFrames = 16;
inline constexpr std::uint32_t kStreamHeaderBytes = 36;  // as far as kLength reaches
inline constexpr std::int64_t kScale = 20;
inline constexpr std::int64_t kRate = 24;
inline constexpr std::int64_t kLength = 32;
inline constexpr std::int64_t kSuggestedBufferSize = 36;  // strh: the largest chunk
inline constexpr std::uint32_t kStreamHeaderBufferBytes = 40;  // as far as it reaches
inline constexpr std::int64_t kCompression = 16;  // in the stream format ("strf", a BITMAPINFOHEADER)
inline constexpr std::uint32_t kStreamFormatBytes = 40;
inline constexpr std::uint32_t kHasIndex = 0x10;
inline constexpr std::uint32_t kIsInterleaved = 0x100;
inline constexpr std::uint32_t kTrustChunkType = 0x800;
}  // namespace avi_field

// Where an AVI file's headers are; -1 for what it does not have.
struct AviHeaders {
  std::int64_t hdrl = -1;  // the header list
  std::int64_t avih = -1;  // the data of the main header
  std::int64_t strh = -1;  // the data of the first video stream header
  std::uint32_t strh_bytes = 0;  // its size
  std::int64_t strf = -1;  // the data of that stream's format, when whole
  std::int64_t movi = -1;  // the frame list (its size field at movi + 4)
  std::uint32_t movi_size = 0;  // as its header says
};

// Finds the headers of a RIFF "AVI " file within its first `to` bytes: walks
// the first RIFF list and every list in it up to the frame list, taking an
// avih and the first video strh only when whole within their list.
// Nothing is found in a file that is no RIFF "AVI ".
AviHeaders FindAviHeaders(const RiffRead& read, std::int64_t to);

// One little-endian 32-bit field of a file to write.
struct AviPatch {
  std::int64_t at;
  std::uint32_t value;
};

// The fields that give the video stream its rate, `rate / scale` frames per
// second: the main header's microseconds per frame, the stream header's
// scale and rate. `headers` must have avih and strh.
std::array<AviPatch, 3> AviRatePatches(const AviHeaders& headers, std::uint32_t scale,
                                       std::uint32_t rate);

// For a file cut back to `file_end` bytes, just after the last whole chunk
// of its frame list, with `chunks` chunks in that list and no index: the
// sizes of the RIFF list and the frame list, the main header's flags (no
// index, so readers take the chunks as they are) and the frame counts of
// both headers. `headers` must have avih, strh and movi.
std::array<AviPatch, 5> AviCutBackPatches(const AviHeaders& headers, std::int64_t file_end,
                                          std::uint32_t chunks);

// The index ("idx1") that ends the first RIFF list: one entry per chunk of
// the frame list, in file order, each giving the chunk's id, whether it is a
// key frame, its offset counted from the frame list's type field ("movi")
// and its size.
namespace avi_index {
inline constexpr std::uint32_t kEntryBytes = 16;
inline constexpr std::uint32_t kKeyFrame = 0x10;  // AVIIF_KEYFRAME
}  // namespace avi_index

struct AviIndexEntry {
  std::uint8_t id[4] = {};
  std::uint32_t flags = 0;
  std::uint32_t offset = 0;  // of the chunk's header, from the frame list's type field
  std::uint32_t size = 0;
};

// Writes `entry` as the 16 bytes of the index at `into`.
void PutAviIndexEntry(std::uint8_t* into, const AviIndexEntry& entry);
// Reads the 16 bytes of an index entry.
AviIndexEntry ReadAviIndexEntry(const std::uint8_t* bytes);
// The offset an entry gives for the chunk whose header is at `chunk_at` of
// a file whose frame list starts at `movi`.
std::uint32_t AviIndexOffset(std::int64_t movi, std::int64_t chunk_at);

// Whether a chunk of the frame list holds a stream's data: two digits (the
// stream) and "dc" (compressed video), "db" (uncompressed video), "wb"
// (audio) or "pc" (a palette change).
bool IsStreamDataChunk(const std::uint8_t* id);
// A frame of uncompressed video: every one is a key frame.
bool IsUncompressedVideoChunk(const std::uint8_t* id);

// The fields to fill in for a first RIFF list completed with its index:
// the frame list ends (and the index begins) at `movi_end`, the file ends
// after the index at `file_end`; the frame list holds `chunks` chunks (a
// frame each, dropped frames as empty chunks), the largest `largest_chunk`
// bytes. `flags` are the main header's flags as they stand; the index is
// added to them. Gives the sizes of the RIFF list and the frame list, the
// main header's flags and frame count, the stream header's length and (when
// its header reaches that far and a chunk holds data) its suggested buffer
// size. `headers` must have avih, strh and movi.
std::vector<AviPatch> AviCompletionPatches(const AviHeaders& headers, std::int64_t movi_end,
                                           std::int64_t file_end, std::uint32_t chunks,
                                           std::uint32_t flags, std::uint32_t largest_chunk);

// The H.264 compressions a stream format names (biCompression).
bool IsH264Compression(std::uint32_t fourcc);
// Whether an H.264 frame in the Annex B byte stream (NAL units after start
// codes, as x264 writes into AVI) is an IDR picture: its first slice is a
// NAL unit of type 5.
bool H264FrameIsIdr(const std::uint8_t* data, std::size_t size);
