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
  for (RiffChunk chunk; walk.Next(&chunk);) {
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
      if (read(chunk.data(), type, sizeof type) && IsFourcc(type, "vids")) headers->strh = chunk.data();
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
