#include "formats/avi_chunks.h"

#include <cstring>

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool IsFourcc(const std::uint8_t* bytes, const char* code) { return std::memcmp(bytes, code, 4) == 0; }

RiffRead RiffMemory(const std::uint8_t* bytes, std::size_t size) {
  return [bytes, size](std::int64_t offset, std::uint8_t* into, std::size_t count) {
    if (offset < 0 || static_cast<std::uint64_t>(offset) > size || count > size - static_cast<std::size_t>(offset))
      return false;
    std::memcpy(into, bytes + offset, count);
    return true;
  };
}

bool RiffWalk::Next(RiffChunk* chunk) {
  if (at_ + 8 > to_) return false;
  std::uint8_t header[8];
  if (!read_(at_, header, sizeof header)) {
    at_ = to_;
    return false;
  }
  *chunk = RiffChunk{};
  chunk->at = at_;
  std::memcpy(chunk->id, header, 4);
  chunk->size = ReadLe32(header + 4);
  if (chunk->IsList() && at_ + 12 <= to_) chunk->has_type = read_(at_ + 8, chunk->type, 4);
  // A chunk that reaches past the end is the last one.
  at_ = chunk->end() > to_ ? to_ : chunk->end();
  return true;
}

namespace {

// The chunks of one list level; a chunk that is not whole within it ends
// the level. Returns false once the frame list is found: nothing after it
// is a header.
bool FindIn(const RiffRead& read, std::int64_t from, std::int64_t to, AviHeaders* headers) {
  RiffWalk walk(read, from, to);
  bool strh_here = false;  // the video stream's header was this level's last chunk
  for (RiffChunk chunk; walk.Next(&chunk);) {
    if (!chunk.Is("strf")) strh_here = strh_here && chunk.Is("strh");
    if (chunk.Is("LIST")) {
      if (!chunk.has_type) return true;
      if (chunk.IsListOf("movi")) {
        headers->movi = chunk.at;
        headers->movi_size = chunk.size;
        return false;
      }
      if (chunk.size < 4 || chunk.data_end() > to) return true;
      if (chunk.IsListOf("hdrl") && headers->hdrl < 0) headers->hdrl = chunk.at;
      if (!FindIn(read, chunk.data() + 4, chunk.data_end(), headers)) return false;
      continue;
    }
    if (chunk.data_end() > to) return true;
    if (chunk.Is("avih") && chunk.size >= avi_field::kMainHeaderBytes && headers->avih < 0) {
      headers->avih = chunk.data();
    } else if (chunk.Is("strh") && chunk.size >= avi_field::kStreamHeaderBytes && headers->strh < 0) {
      std::uint8_t type[4];
      if (read(chunk.data(), type, sizeof type) && IsFourcc(type, "vids")) {
        headers->strh = chunk.data();
        headers->strh_bytes = chunk.size;
        strh_here = true;
      }
    } else if (chunk.Is("strf") && strh_here && chunk.size >= avi_field::kStreamFormatBytes) {
      // The format that follows the video stream's header in its list.
      headers->strf = chunk.data();
      strh_here = false;
    }
  }
  return true;
}

}  // namespace

AviHeaders FindAviHeaders(const RiffRead& read, std::int64_t to) {
  AviHeaders headers;
  std::uint8_t head[12];
  if (to < 12 || !read(0, head, sizeof head) || !IsFourcc(head, "RIFF") || !IsFourcc(head + 8, "AVI "))
    return headers;
  FindIn(read, 12, to, &headers);
  return headers;
}

std::array<AviPatch, 3> AviRatePatches(const AviHeaders& headers, std::uint32_t scale,
                                       std::uint32_t rate) {
  auto usec_per_frame = static_cast<std::uint32_t>(INT64_C(1000000) * scale / rate);
  return {{{headers.avih + avi_field::kMicroSecPerFrame, usec_per_frame},
           {headers.strh + avi_field::kScale, scale},
           {headers.strh + avi_field::kRate, rate}}};
}

std::array<AviPatch, 5> AviCutBackPatches(const AviHeaders& headers, std::int64_t file_end,
                                          std::uint32_t chunks) {
  constexpr std::uint32_t kFlags =
      (avi_field::kTrustChunkType | avi_field::kIsInterleaved) & ~avi_field::kHasIndex;
  return {{{4, static_cast<std::uint32_t>(file_end - 8)},
           {headers.movi + 4, static_cast<std::uint32_t>(file_end - headers.movi - 8)},
           {headers.avih + avi_field::kFlags, kFlags},
           {headers.avih + avi_field::kTotalFrames, chunks},
           {headers.strh + avi_field::kLength, chunks}}};
}

void PutAviIndexEntry(std::uint8_t* into, const AviIndexEntry& entry) {
  std::memcpy(into, entry.id, 4);
  PutLe32(into + 4, entry.flags);
  PutLe32(into + 8, entry.offset);
  PutLe32(into + 12, entry.size);
}

AviIndexEntry ReadAviIndexEntry(const std::uint8_t* bytes) {
  AviIndexEntry entry;
  std::memcpy(entry.id, bytes, 4);
  entry.flags = ReadLe32(bytes + 4);
  entry.offset = ReadLe32(bytes + 8);
  entry.size = ReadLe32(bytes + 12);
  return entry;
}

std::uint32_t AviIndexOffset(std::int64_t movi, std::int64_t chunk_at) {
  return static_cast<std::uint32_t>(chunk_at - (movi + 8));
}

bool IsStreamDataChunk(const std::uint8_t* id) {
  auto digit = [](std::uint8_t c) { return c >= '0' && c <= '9'; };
  if (!digit(id[0]) || !digit(id[1])) return false;
  return std::memcmp(id + 2, "dc", 2) == 0 || std::memcmp(id + 2, "db", 2) == 0 ||
         std::memcmp(id + 2, "wb", 2) == 0 || std::memcmp(id + 2, "pc", 2) == 0;
}

bool IsUncompressedVideoChunk(const std::uint8_t* id) {
  return IsStreamDataChunk(id) && std::memcmp(id + 2, "db", 2) == 0;
}

std::vector<AviPatch> AviCompletionPatches(const AviHeaders& headers, std::int64_t movi_end,
                                           std::int64_t file_end, std::uint32_t chunks,
                                           std::uint32_t flags, std::uint32_t largest_chunk) {
  std::vector<AviPatch> patches = {
      {4, static_cast<std::uint32_t>(file_end - 8)},
      {headers.movi + 4, static_cast<std::uint32_t>(movi_end - headers.movi - 8)},
      {headers.avih + avi_field::kFlags, flags | avi_field::kHasIndex},
      {headers.avih + avi_field::kTotalFrames, chunks},
      {headers.strh + avi_field::kLength, chunks}};
  if (headers.strh_bytes >= avi_field::kStreamHeaderBufferBytes && largest_chunk > 0)
    patches.push_back({headers.strh + avi_field::kSuggestedBufferSize, largest_chunk});
  return patches;
}

bool IsH264Compression(std::uint32_t fourcc) {
  for (const char* name : {"H264", "h264", "X264", "x264", "avc1", "AVC1"})
    if (fourcc == ReadLe32(reinterpret_cast<const std::uint8_t*>(name))) return true;
  return false;
}

bool H264FrameIsIdr(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const int type = data[i + 3] & 0x1f;
    if (type == 5) return true;
    if (type >= 1 && type <= 4) return false;  // the first slice is no IDR slice
    i += 2;
  }
  return false;
}
