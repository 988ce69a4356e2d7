#include "tools/check/repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "formats/avi_chunks.h"
#include "formats/meta_text.h"
#include "tools/check/repair_texts.h"
#include "tools/common/avi_reader.h"
#include "tools/common/file_io.h"
#include "tools/common/meta_reader.h"
#include "tools/common/run_listing.h"
#include "tools/common/text_format.h"

namespace check {

namespace {

using runfiles::Descriptor;
using runfiles::Format;
using runfiles::ReadAt;

// The first RIFF list of a file the muxer writes ends before 1 GiB, where it
// goes on in an AVIX list; an unfinished file past that is not rebuilt.
constexpr std::int64_t kFirstRiffBytes = INT64_C(1) << 30;
// How much of an H.264 frame is read to find its first slice: the
// parameter sets and x264's SEI come before it.
constexpr std::size_t kSliceSearchBytes = 64 * 1024;
constexpr std::size_t kCopyBlock = 1 << 20;
constexpr const char* kTemporarySuffix = ".repairing";

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : repair_text::kJoin) + part;
  return text;
}

// Puts a new file in place of `path`: writes it beside it under a
// temporary name with `fill`, flushes it to the disk, renames it over the
// original and flushes the directory. The original is untouched until the
// rename, which replaces it whole. False with `error` set when the copy
// could not be made or put in place (the temporary file is removed then);
// `warning` is set when only the directory's flush failed.
bool ReplaceFile(const std::string& path, mode_t mode, const std::function<bool(int fd)>& fill,
                 std::string* error, std::string* warning) {
  const std::string temporary = path + kTemporarySuffix;
  const std::string temporary_name = BaseName(temporary);
  unlink(temporary.c_str());  // left by a repair that was itself ended
  Descriptor out(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    *error = Format(repair_text::kCannotWrite, temporary_name.c_str(), std::strerror(errno));
    return false;
  }
  bool written = fill(out.get()) && fchmod(out.get(), mode & 07777) == 0 && fsync(out.get()) == 0;
  int write_errno = errno;
  if (!out.Close() && written) {
    written = false;
    write_errno = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    *error = Format(repair_text::kCannotWrite, temporary_name.c_str(), std::strerror(write_errno));
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int rename_errno = errno;
    unlink(temporary.c_str());
    *error = Format(repair_text::kCannotReplace, temporary_name.c_str(), std::strerror(rename_errno));
    return false;
  }
  Descriptor directory(open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0 || fsync(directory.get()) != 0)
    *warning = Format(repair_text::kDirectoryNotFlushed, std::strerror(errno));
  return true;
}

// ---- AVI ------------------------------------------------------------------------

// The headers of a completed AVI of the run, lent to a file whose own were
// never written (Windows' AVIFile writes them only when it closes the file,
// into the space it keeps free before the first chunk).
struct Lender {
  std::string name;                // "000-02.avi"
  std::vector<std::uint8_t> head;  // everything before the first chunk of its frame list
  AviHeaders headers;
};

// One chunk of the frame list that stays.
struct KeptChunk {
  std::int64_t at = 0;
  std::uint8_t id[4] = {};
  std::uint32_t size = 0;
  bool data = false;  // a stream's data, so indexed (JUNK and index pieces are not)
  bool key = false;
  std::int64_t data_at() const { return at + 8; }
};

enum class AviVerdict { kFine, kRepair, kLeave, kFailed };

struct AviPlan {
  AviVerdict verdict = AviVerdict::kFine;
  std::string why;  // kLeave, kFailed
  std::vector<std::uint8_t> head;
  AviHeaders headers;  // offsets into head (and the new file)
  std::string lender;  // the AVI whose headers head is
  std::vector<KeptChunk> chunks;
  std::int64_t chunks_end = 0;   // where the kept chunks end
  std::int64_t cut_bytes = 0;    // after the last whole chunk
  bool partial_chunk = false;    // those bytes begin with a chunk cut short
  std::int64_t frames = 0;       // chunks holding a frame, after the match with the .meta
  std::int64_t frames_dropped = 0;
};

bool AllZero(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::optional<Lender> FindLender(const std::vector<runfiles::SegmentFiles>& segments, std::size_t near) {
  // The nearest completed segment before this one, else after it.
  std::vector<std::size_t> order;
  for (std::size_t i = near; i-- > 0;) order.push_back(i);
  for (std::size_t i = near + 1; i < segments.size(); ++i) order.push_back(i);
  for (std::size_t i : order) {
    const runfiles::SegmentFiles& files = segments[i];
    if (!files.has_avi || !files.avi_regular) continue;
    if (runfiles::InspectAviStructure(files.avi_path).shape != runfiles::AviShape::kComplete) continue;
    Descriptor fd(open(files.avi_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) continue;
    RiffRead read = [&fd](std::int64_t offset, std::uint8_t* into, std::size_t size) {
      return ReadAt(fd.get(), offset, into, size);
    };
    Lender lender;
    lender.name = BaseName(files.avi_path);
    lender.headers = FindAviHeaders(read, files.avi_bytes);
    const AviHeaders& h = lender.headers;
    if (h.avih < 0 || h.strh < 0 || h.strf < 0 || h.movi < 0 || h.movi + 12 > files.avi_bytes ||
        h.movi + 12 > (1 << 24))
      continue;
    lender.head.resize(static_cast<std::size_t>(h.movi + 12));
    if (!read(0, lender.head.data(), lender.head.size())) continue;
    return lender;
  }
  return std::nullopt;
}

// Walks the chunks of the frame list from `from` to the end of the file,
// up to the last whole one; JUNK and pieces of an OpenDML index ("ix00")
// stay but are not indexed.
void WalkChunks(int fd, std::int64_t from, std::int64_t file_bytes, AviPlan* plan) {
  std::int64_t at = from;
  plan->partial_chunk = false;
  while (at + 8 <= file_bytes) {
    std::uint8_t header[8];
    if (!ReadAt(fd, at, header, sizeof header)) break;
    KeptChunk chunk;
    chunk.at = at;
    std::memcpy(chunk.id, header, 4);
    chunk.size = ReadLe32(header + 4);
    chunk.data = IsStreamDataChunk(chunk.id);
    bool filler = IsFourcc(chunk.id, "JUNK") || (chunk.id[0] == 'i' && chunk.id[1] == 'x');
    if (!chunk.data && !filler) break;
    std::int64_t end = at + 8 + chunk.size + (chunk.size & 1);
    if (end > file_bytes) {
      plan->partial_chunk = true;
      break;
    }
    plan->chunks.push_back(chunk);
    at = end;
  }
  plan->chunks_end = plan->chunks.empty() ? from : at;
  plan->cut_bytes = file_bytes - plan->chunks_end;
  if (plan->cut_bytes > 0 && !plan->partial_chunk && plan->cut_bytes < 8) plan->partial_chunk = true;
}

// Which chunks are key frames: every one of uncompressed video, the IDR
// pictures of H.264. False when the video is neither.
bool MarkKeyFrames(int fd, AviPlan* plan) {
  const std::uint32_t compression = ReadLe32(plan->head.data() + plan->headers.strf + avi_field::kCompression);
  const bool h264 = IsH264Compression(compression);
  const bool uncompressed = compression == 0;  // BI_RGB
  for (KeptChunk& chunk : plan->chunks) {
    if (!chunk.data || chunk.size == 0) continue;
    if (uncompressed || IsUncompressedVideoChunk(chunk.id)) {
      chunk.key = true;
    } else if (h264) {
      std::vector<std::uint8_t> start(std::min<std::size_t>(chunk.size, kSliceSearchBytes));
      if (!ReadAt(fd, chunk.data_at(), start.data(), start.size())) return false;
      chunk.key = H264FrameIsIdr(start.data(), start.size());
    } else {
      return false;
    }
  }
  return true;
}

// Decides what to do with an AVI file: nothing (it is not one the recorder
// left unfinished), rebuild it, or leave it as it is. `meta_lines` is the
// number of frame lines of its .meta when they can be trusted one to one
// with its frames, or -1.
AviPlan PlanAvi(const runfiles::SegmentFiles& files, const std::vector<runfiles::SegmentFiles>& segments,
                std::size_t index, std::int64_t meta_lines) {
  AviPlan plan;
  Descriptor fd(open(files.avi_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    plan.verdict = AviVerdict::kLeave;
    plan.why = Format(repair_text::kUnreadable, std::strerror(errno));
    return plan;
  }
  const std::int64_t file_bytes = files.avi_bytes;
  RiffRead read = [&fd](std::int64_t offset, std::uint8_t* into, std::size_t size) {
    return ReadAt(fd.get(), offset, into, size);
  };
  std::uint8_t head[12] = {};
  const bool riff_avi = file_bytes >= 12 && read(0, head, sizeof head) && IsFourcc(head, "RIFF") &&
                        IsFourcc(head + 8, "AVI ");
  std::int64_t chunks_from = 0;
  if (riff_avi) {
    plan.headers = FindAviHeaders(read, file_bytes);
    const AviHeaders& h = plan.headers;
    if (h.avih < 0 || h.strh < 0 || h.strf < 0 || h.movi < 0 || h.movi + 12 > file_bytes ||
        h.movi + 12 > (1 << 24)) {
      plan.verdict = AviVerdict::kLeave;
      plan.why = repair_text::kHeadersCut;
      return plan;
    }
    const bool riff_unfilled = ReadLe32(head + 4) == 0xffffffffu || ReadLe32(head + 4) == 0;
    const bool movi_unfilled = h.movi_size == 0xffffffffu || h.movi_size == 0;
    if (!riff_unfilled && !movi_unfilled) {
      // Complete, cut short or closed early without an index: the check
      // says which. A first list that is whole while the file goes on is an
      // OpenDML file whose later part was never completed.
      if (runfiles::InspectAviStructure(files.avi_path).shape == runfiles::AviShape::kUnfinished) {
        plan.verdict = AviVerdict::kLeave;
        plan.why = repair_text::kBeyondFirstList;
      }
      return plan;
    }
    plan.head.resize(static_cast<std::size_t>(h.movi + 12));
    if (!read(0, plan.head.data(), plan.head.size())) {
      plan.verdict = AviVerdict::kFailed;
      plan.why = Format(repair_text::kCannotRead, std::strerror(errno));
      return plan;
    }
    chunks_from = h.movi + 12;
  } else {
    // Headers never written: the space kept for them is still zeros (or
    // the file is still empty).
    std::vector<std::uint8_t> start(static_cast<std::size_t>(std::min<std::int64_t>(file_bytes, 12)));
    if (!start.empty() && !read(0, start.data(), start.size())) {
      plan.verdict = AviVerdict::kFailed;
      plan.why = Format(repair_text::kCannotRead, std::strerror(errno));
      return plan;
    }
    if (!AllZero(start)) {
      plan.verdict = AviVerdict::kLeave;
      plan.why = repair_text::kNotAvi;
      return plan;
    }
    std::optional<Lender> lender = FindLender(segments, index);
    if (!lender) {
      plan.verdict = AviVerdict::kLeave;
      plan.why = repair_text::kNoLender;
      return plan;
    }
    chunks_from = static_cast<std::int64_t>(lender->head.size());
    std::vector<std::uint8_t> reserved(static_cast<std::size_t>(std::min(file_bytes, chunks_from)));
    if (!reserved.empty() && !read(0, reserved.data(), reserved.size())) {
      plan.verdict = AviVerdict::kFailed;
      plan.why = Format(repair_text::kCannotRead, std::strerror(errno));
      return plan;
    }
    if (!AllZero(reserved)) {
      plan.verdict = AviVerdict::kLeave;
      plan.why = repair_text::kNotAvi;
      return plan;
    }
    plan.head = std::move(lender->head);
    plan.headers = lender->headers;
    plan.lender = lender->name;
  }

  WalkChunks(fd.get(), chunks_from, file_bytes, &plan);
  if (!plan.lender.empty() && plan.chunks.empty() && plan.cut_bytes > 0) {
    // Bytes after the empty headers that hold no chunk: not a file the
    // recorder wrote.
    std::vector<std::uint8_t> rest(static_cast<std::size_t>(std::min<std::int64_t>(plan.cut_bytes, 1 << 20)));
    if (!read(chunks_from, rest.data(), rest.size()) || !AllZero(rest)) {
      plan.verdict = AviVerdict::kLeave;
      plan.why = repair_text::kNotChunks;
      return plan;
    }
  }
  // Frames beyond the .meta's lines have no capture time: the file ends
  // after the frame of its last line.
  std::int64_t frames = 0;
  for (std::size_t i = 0; i < plan.chunks.size(); ++i) {
    const KeptChunk& chunk = plan.chunks[i];
    if (!chunk.data || chunk.size == 0) continue;
    if (meta_lines >= 0 && frames == meta_lines) {
      std::int64_t all = frames;
      for (std::size_t j = i; j < plan.chunks.size(); ++j)
        if (plan.chunks[j].data && plan.chunks[j].size > 0) ++all;
      plan.frames_dropped = all - frames;
      plan.chunks.resize(i);
      plan.chunks_end = chunk.at;
      break;
    }
    ++frames;
  }
  plan.frames = frames;
  if (plan.chunks_end + 8 + static_cast<std::int64_t>(plan.chunks.size()) * avi_index::kEntryBytes >
      INT64_C(0xffffffff)) {
    plan.verdict = AviVerdict::kLeave;
    plan.why = repair_text::kTooLarge;
    return plan;
  }
  if (plan.chunks_end > kFirstRiffBytes) {
    plan.verdict = AviVerdict::kLeave;
    plan.why = repair_text::kBeyondFirstList;
    return plan;
  }
  if (!MarkKeyFrames(fd.get(), &plan)) {
    plan.verdict = AviVerdict::kLeave;
    plan.why = repair_text::kUnknownVideo;
    return plan;
  }
  plan.verdict = AviVerdict::kRepair;
  return plan;
}

// Writes the rebuilt file: its headers, the chunks that stay, the index.
bool WriteAvi(int source, const AviPlan& plan, int out) {
  std::vector<std::uint8_t> head = plan.head;
  std::vector<std::uint8_t> index(8 + plan.chunks.size() * avi_index::kEntryBytes);
  std::memcpy(index.data(), "idx1", 4);
  std::size_t entries = 0;
  std::uint32_t largest = 0;
  for (const KeptChunk& chunk : plan.chunks) {
    if (!chunk.data) continue;
    AviIndexEntry entry;
    std::memcpy(entry.id, chunk.id, 4);
    entry.flags = chunk.key ? avi_index::kKeyFrame : 0;
    entry.offset = AviIndexOffset(plan.headers.movi, chunk.at);
    entry.size = chunk.size;
    PutAviIndexEntry(index.data() + 8 + entries * avi_index::kEntryBytes, entry);
    largest = std::max(largest, chunk.size);
    ++entries;
  }
  index.resize(8 + entries * avi_index::kEntryBytes);
  PutLe32(index.data() + 4, static_cast<std::uint32_t>(entries * avi_index::kEntryBytes));
  const std::int64_t file_end = plan.chunks_end + static_cast<std::int64_t>(index.size());
  const std::uint32_t flags = ReadLe32(head.data() + plan.headers.avih + avi_field::kFlags);
  for (const AviPatch& patch : AviCompletionPatches(plan.headers, plan.chunks_end, file_end,
                                                    static_cast<std::uint32_t>(entries), flags, largest))
    PutLe32(head.data() + patch.at, patch.value);
  if (!WriteAll(out, head.data(), head.size())) return false;
  std::vector<std::uint8_t> block(kCopyBlock);
  for (std::int64_t at = static_cast<std::int64_t>(head.size()); at < plan.chunks_end;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(plan.chunks_end - at, kCopyBlock));
    if (!ReadAt(source, at, block.data(), n) || !WriteAll(out, block.data(), n)) return false;
    at += static_cast<std::int64_t>(n);
  }
  return WriteAll(out, index.data(), index.size());
}

std::string DescribeAvi(const AviPlan& plan) {
  std::vector<std::string> parts;
  if (!plan.lender.empty()) parts.push_back(Format(repair_text::kHeadersLent, plan.lender.c_str()));
  const std::int64_t cut = plan.cut_bytes;
  if (cut > 0)
    parts.push_back(Format(plan.partial_chunk ? repair_text::kCutPartial : repair_text::kCutNoChunk,
                           static_cast<long long>(cut)));
  if (plan.frames_dropped > 0)
    parts.push_back(Format(repair_text::kFramesDropped, static_cast<long long>(plan.frames_dropped),
                           repair_text::Plural(plan.frames_dropped)));
  long long keys = 0;
  for (const KeptChunk& chunk : plan.chunks) keys += chunk.key ? 1 : 0;
  parts.push_back(Format(repair_text::kIndexWritten, static_cast<long long>(plan.frames),
                         repair_text::Plural(plan.frames), keys, repair_text::Plural(keys)));
  parts.push_back(repair_text::kSizesFilled);
  return Joined(parts);
}

// ---- .meta ----------------------------------------------------------------------

// A .meta's frame lines, when they can be matched one to one with the AVI's
// frames: the header is there and every line is a frame line ending in
// CR LF in time order (a line cut off at the end and a missing footer are
// what a kill leaves, and are repaired). `why` says otherwise.
struct MetaState {
  bool present = false;
  std::string bytes;
  runfiles::MetaContents contents;
  bool trusted = false;
  std::string why;
};

MetaState ReadMeta(const runfiles::SegmentFiles& files) {
  MetaState meta;
  if (!files.has_meta || !files.meta_regular) return meta;
  meta.present = true;
  Descriptor fd(open(files.meta_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    meta.why = Format(repair_text::kUnreadable, std::strerror(errno));
    return meta;
  }
  meta.bytes.resize(static_cast<std::size_t>(files.meta_bytes));
  if (!meta.bytes.empty() &&
      !ReadAt(fd.get(), 0, reinterpret_cast<std::uint8_t*>(meta.bytes.data()), meta.bytes.size())) {
    meta.why = Format(repair_text::kUnreadable, std::strerror(errno));
    return meta;
  }
  if (meta.bytes.empty()) {
    meta.trusted = true;  // no lines
    return meta;
  }
  meta.contents = runfiles::ParseMeta(meta.bytes);
  const runfiles::MetaContents& c = meta.contents;
  if (!c.has_header) {
    meta.why = repair_text::kMetaNoHeader;
  } else if (c.bad_lines > 0) {
    meta.why = Format(repair_text::kMetaBadLines, static_cast<long long>(c.bad_lines));
  } else if (c.lf_lines > 0) {
    meta.why = Format(repair_text::kMetaLfLines, static_cast<long long>(c.lf_lines));
  } else if (c.time_back_line > 0) {
    meta.why = Format(repair_text::kMetaTimeBack, static_cast<long long>(c.time_back_line));
  } else {
    meta.trusted = true;
  }
  return meta;
}

std::int64_t MetaLines(const MetaState& meta) {
  return meta.bytes.empty() ? 0 : static_cast<std::int64_t>(meta.contents.frames.size());
}

// The .meta closed after its first `keep` frame lines; what was done in
// `parts`. Empty parts: nothing to do.
std::string RepairedMeta(const MetaState& meta, std::int64_t keep, std::vector<std::string>* parts) {
  const std::string_view header = meta_text::kHeader;
  const std::string_view line_end = meta_text::kLineEnd;
  if (meta.bytes.empty()) {
    parts->push_back(repair_text::kHeaderAndFooterWritten);
    return std::string(header) + meta_text::kFooter;
  }
  const std::int64_t lines = MetaLines(meta);
  if (meta.contents.has_footer && lines == keep && !meta.contents.cut_mid_line) return {};
  std::size_t end = header.size();
  for (std::int64_t i = 0; i < keep; ++i) end = meta.bytes.find(line_end, end) + line_end.size();
  if (meta.contents.cut_mid_line) parts->push_back(repair_text::kCutLineDropped);
  if (lines > keep)
    parts->push_back(Format(repair_text::kLinesDropped, static_cast<long long>(lines - keep),
                            repair_text::Plural(lines - keep)));
  if (!meta.contents.has_footer) parts->push_back(repair_text::kFooterWritten);
  return meta.bytes.substr(0, end) + meta_text::kFooter;
}

// The frames of an AVI that needs no repair, as the check counts them
// without decoding; -1 when it cannot be read.
std::int64_t CompleteAviFrames(const std::string& path) {
  runfiles::AviInput input;
  std::string error;
  if (!input.Open(path, &error)) return -1;
  runfiles::DecodeCount count = runfiles::CountFrames(&input, false);
  return count.read_error.empty() ? count.packets : -1;
}

// ---- the run --------------------------------------------------------------------

class RunRepairer {
 public:
  RunRepairer(std::FILE* out, RepairSummary* summary) : out_(out), summary_(*summary) {}

  void Segment(const std::vector<runfiles::SegmentFiles>& segments, std::size_t index) {
    const runfiles::SegmentFiles& files = segments[index];
    const std::string avi_name = files.stem + ".avi";
    const std::string meta_name = files.stem + ".meta";
    MetaState meta = ReadMeta(files);
    const std::int64_t meta_lines = meta.trusted ? MetaLines(meta) : -1;

    std::int64_t avi_frames = -1;  // the AVI's frames once it is repaired; -1: unknown
    bool avi_rebuilt = false;
    if (files.has_avi && files.avi_regular) {
      AviPlan plan = PlanAvi(files, segments, index, meta_lines);
      switch (plan.verdict) {
        case AviVerdict::kFine:
          if (runfiles::InspectAviStructure(files.avi_path).shape == runfiles::AviShape::kComplete)
            avi_frames = CompleteAviFrames(files.avi_path);
          break;
        case AviVerdict::kLeave:
          Line(repair_text::kLeft, avi_name, plan.why);
          ++summary_.left;
          return;  // its .meta cannot be matched to frames it does not know
        case AviVerdict::kFailed:
          Failed(avi_name, plan.why);
          return;
        case AviVerdict::kRepair: {
          Descriptor source(open(files.avi_path.c_str(), O_RDONLY | O_CLOEXEC));
          struct stat info {};
          std::string error, warning;
          if (source.get() < 0 || fstat(source.get(), &info) != 0) {
            Failed(avi_name, Format(repair_text::kCannotRead, std::strerror(errno)));
            return;
          }
          if (!ReplaceFile(files.avi_path, info.st_mode,
                           [&](int fd) { return WriteAvi(source.get(), plan, fd); }, &error, &warning)) {
            Failed(avi_name, error);
            return;  // the pair stays as it was
          }
          Done(avi_name, DescribeAvi(plan), warning);
          avi_frames = plan.frames;
          avi_rebuilt = true;
          break;
        }
      }
    }

    if (!files.has_meta && avi_frames == 0) {
      // Killed between making the AVI and its .meta: a pair without frames,
      // whose .meta is its header and footer.
      WriteMeta(meta_name, files.avi_path, files.meta_path,
                std::string(meta_text::kHeader) + meta_text::kFooter, repair_text::kMetaMade);
      return;
    }
    if (!meta.present || !files.has_avi) return;
    if (!meta.trusted) {
      if (avi_rebuilt || !meta.contents.has_footer) {
        Line(repair_text::kLeft, meta_name, meta.why);
        ++summary_.left;
      }
      return;
    }
    if (avi_frames < 0) {
      if (!meta.bytes.empty() && meta.contents.has_footer) return;
      Line(repair_text::kLeft, meta_name, repair_text::kMetaNoAvi);
      ++summary_.left;
      return;
    }
    const std::int64_t lines = MetaLines(meta);
    if (meta.bytes.empty() && avi_frames > 0) {
      Line(repair_text::kLeft, meta_name, repair_text::kMetaEmpty);
      ++summary_.left;
      return;
    }
    if (lines < avi_frames) {
      // Only a complete AVI has more frames than lines here: a rebuilt one
      // was cut to the lines. Its frames are not cut away.
      if (meta.contents.has_footer) return;  // the check names the mismatch
      Line(repair_text::kLeft, meta_name,
           Format(repair_text::kMetaFewer, static_cast<long long>(lines), static_cast<long long>(avi_frames)));
      ++summary_.left;
      return;
    }
    std::vector<std::string> parts;
    std::string repaired = RepairedMeta(meta, avi_frames, &parts);
    if (parts.empty()) return;
    WriteMeta(meta_name, files.meta_path, files.meta_path, repaired, Joined(parts));
  }

  bool said_anything() const { return said_; }

 private:
  // Puts `bytes` in place of the .meta at `path`, with the permissions of
  // the file at `like`.
  void WriteMeta(const std::string& name, const std::string& like, const std::string& path,
                 const std::string& bytes, const std::string& done) {
    struct stat info {};
    if (stat(like.c_str(), &info) != 0) {
      Failed(name, Format(repair_text::kCannotRead, std::strerror(errno)));
      return;
    }
    std::string error, warning;
    if (!ReplaceFile(path, info.st_mode,
                     [&](int fd) {
                       return WriteAll(fd, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
                     },
                     &error, &warning)) {
      Failed(name, error);
      return;
    }
    Done(name, done, warning);
  }

  void Line(const char* format, const std::string& name, const std::string& text) {
    std::fprintf(out_, format, name.c_str(), text.c_str());
    said_ = true;
  }
  void Done(const std::string& name, const std::string& text, const std::string& warning) {
    Line(repair_text::kDone, name, warning.empty() ? text : text + repair_text::kJoin + warning);
    ++summary_.repaired;
  }
  void Failed(const std::string& name, const std::string& why) {
    Line(repair_text::kFailed, name, why);
    ++summary_.failed;
  }

  std::FILE* out_;
  RepairSummary& summary_;
  bool said_ = false;
};

}  // namespace

RepairSummary RepairRun(const std::string& directory, std::FILE* out) {
  RepairSummary summary;
  runfiles::RunListing listing = runfiles::ListRun(directory);
  if (!listing.not_run.empty()) return summary;
  RunRepairer repairer(out, &summary);
  for (std::size_t i = 0; i < listing.segments.size(); ++i) repairer.Segment(listing.segments, i);
  if (!repairer.said_anything()) std::fprintf(out, repair_text::kNothing, directory.c_str());
  std::fflush(out);
  return summary;
}

}  // namespace check
