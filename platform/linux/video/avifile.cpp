// The Video for Windows AVIFile library on Linux, over libavformat's AVI
// muxer: files with one video stream, fed by a compressing stream that turns
// uncompressed DIB frames into the installed compressor's packets.
//
// Handles are reference-counted as on Windows. The caller holds one reference
// to each handle it was given; a stream holds its file, and a compressing
// stream holds the stream it feeds. Releasing the compressing stream flushes
// its compressor; when the file's last reference goes, the muxer writes the
// index and the final header and the file is closed. So releasing in any
// order completes the file exactly once, when nothing refers to it any more.
//
// Handles are tokens (common/handle_table.h): a released handle is refused
// with AVIERR_BADHANDLE even when the caller still has a copy of it. Each
// file has one mutex, held for every operation on the file or its streams,
// so handles may be created, used and released on different threads.
//
// Writes and faults. An AVI stream is one chunk per frame position, so what
// the file says is decided by the sequence of chunks, and that sequence is
// ours: the muxer is handed one packet per chunk and never fills a gap
// itself. AVIStreamWrite returns 0 only for a frame whose chunk is whole in
// the file. A frame that fails leaves the stream's position where it was and
// nothing of itself in the file's index, and the frame after it is coded as
// a key frame, so the file never refers to a picture it does not hold. The
// file is written through a descriptor of our own: when its output fails
// (a full disk, a file-size limit, an I/O error) the file is cut back to its
// last whole chunk, every later write is refused with AVIERR_FILEWRITE, and
// its release says on standard error that the file could not be completed.
//
// Memory. An encoder for a large screen holds tens of megabytes, and a
// recorder that rotates segments has up to three compressing streams at
// once: the one it writes, the next one prepared, and the last one waiting
// to be finalised. When a compressing stream takes its first frame, the
// stream that took frames before it has most likely seen its last: its
// compressor rests (frees its encoder and picture) at once instead of when
// the stream is released. Should a frame come to it after all, a new
// encoder codes it as a key frame.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "formats/avi_chunks.h"
#include "platform/linux/common/handle_table.h"
#include "platform/linux/video/compressor_manager.h"
#include "platform/linux/video/vfw_api.h"
#include "platform/platform.h"  // IncompleteAviFiles

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

namespace {

// OF_READWRITE of MinGW-w64's winbase.h; writing with it is writing too.
constexpr UINT kOfReadWrite = 0x2;
// A write may skip positions (the frames between are stored empty, as
// dropped frames); a jump larger than this is a caller's mistake, not a
// few failed frames.
constexpr LONG kMaxSkippedFrames = 1 << 16;
// The buffer between the muxer and the descriptor. Every packet is flushed
// when it is written, so this only batches the header and the index.
constexpr int kIoBufferBytes = 64 * 1024;
// Where libavformat's AVI muxer closes the first RIFF list of a file and
// opens the next: at the first chunk after 1 GiB.
constexpr std::int64_t kFirstRiffBytes = std::int64_t{1} << 30;
// Time stamps handed to the muxer: one tick per packet, counted from here.
// In an AVI file a stamp is nothing but the chunk's place in the stream:
// libavformat uses it only to refuse one that does not increase, and the
// AVI muxer to insert empty chunks when it runs ahead of the chunks written
// (and, above 1000 frames per second, in a time base of its own choosing).
// Stamps far below zero never run ahead, so every chunk is one we write;
// and since a refused packet still uses up its tick, the retry of a refused
// frame has a later stamp and is taken.
constexpr std::int64_t kMuxerTimeOrigin = -(std::int64_t{1} << 62);

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using IoBytes = const std::uint8_t*;
#else
using IoBytes = std::uint8_t*;
#endif

// The muxer and the file, shared by the file handle and its streams.
struct AviFile {
  std::mutex mutex;  // held for every operation on the file or its streams
  // Everything below is guarded by mutex; the I/O callbacks run inside
  // muxer calls, so under it too.
  std::string name;                  // as the caller named it, for messages
  int fd = -1;                       // -1 once closed
  AVIOContext* io = nullptr;         // over fd
  AVFormatContext* muxer = nullptr;  // null once the file is closed
  AVStream* stream = nullptr;        // the one video stream, once created
  DWORD scale = 1;                   // seconds per frame: scale / rate, reduced
  DWORD rate = 1;
  AviHeaders layout;                 // where the muxer's header put the fields we correct
  bool header_written = false;
  bool header_failed = false;        // the muxer refused the header; no retry
  int references = 1;                // the caller's, plus one per live stream

  int io_errno = 0;                  // the first failure of the descriptor; sticky
  bool output_failed = false;        // no more chunks, no index: cut at whole_end
  bool index_written = false;        // the muxer completed the file
  int failure_errno = 0;             // why the output failed, for the message
  std::int64_t whole_end = 0;        // end of the last whole chunk (or the header)
  std::int64_t muxer_ticks = 0;      // packets handed to the muxer so far
  std::int64_t chunks = 0;           // chunks in the file: frames and empty ones
  std::int64_t frames = 0;           // chunks that hold a frame

  ~AviFile() {
    // The last release closes the file; this only keeps the muxer from
    // leaking should an object go some other way.
    if (muxer != nullptr) avformat_free_context(muxer);
    if (io != nullptr) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    if (fd >= 0) close(fd);
  }
};

enum class Kind { File, Stream, Compressing };

// What a token stands for. All fields after kind and file are guarded by
// file->mutex.
struct AviObject {
  Kind kind;
  std::shared_ptr<AviFile> file;

  int references = 1;  // streams: the caller's, plus one from a compressing stream
  bool closed = false;

  // Stream: whether a compressing stream feeds it.
  bool fed = false;

  // Compressing stream.
  std::shared_ptr<AviObject> target;  // the stream it feeds
  const CompressorDriver* driver = nullptr;
  CompressorSession* session = nullptr;  // from the format on, until release
  CompressorConfig config;
  std::int64_t next_position = 0;  // the position the next chunk stands for
  bool key_next = false;           // the last frame failed: code the next one as a key frame
  // Whether a write has come to this compressing stream yet. Written and
  // read by AVIStreamWrite (on whichever thread writes).
  std::atomic<bool> written{false};

  AviObject(Kind k, std::shared_ptr<AviFile> f) : kind(k), file(std::move(f)) {}
  ~AviObject() {
    if (session != nullptr) driver->end(session);
  }
};

HandleTable<AviObject>& objects() { return process_handle_table<AviObject>(); }

// Files whose last release could not complete them on disk.
std::atomic<DWORD> g_incomplete_files{0};

// The compressing stream that most recently took its first frame. Guarded
// by g_writer_mutex, which is never held together with a file's mutex.
std::mutex g_writer_mutex;
std::weak_ptr<AviObject> g_latest_writer;

std::shared_ptr<AviObject> find_file(PAVIFILE handle) {
  std::shared_ptr<AviObject> obj = objects().find(handle_token(handle));
  if (obj == nullptr || obj->kind != Kind::File) return nullptr;
  return obj;
}

// The stream handles: a stream or a compressing stream.
std::shared_ptr<AviObject> find_stream(PAVISTREAM handle) {
  std::shared_ptr<AviObject> obj = objects().find(handle_token(handle));
  if (obj == nullptr || obj->kind == Kind::File) return nullptr;
  return obj;
}

// ---- the descriptor -----------------------------------------------------------
// The muxer's output. A failure is remembered and every later call fails
// with it, so nothing lands after a hole.

int io_write(void* opaque, IoBytes bytes, int size) {
  auto* file = static_cast<AviFile*>(opaque);
  if (file->io_errno != 0) return AVERROR(file->io_errno);
  const std::uint8_t* p = bytes;
  std::size_t left = size > 0 ? static_cast<std::size_t>(size) : 0;
  while (left > 0) {
    ssize_t n = write(file->fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A short write is followed by one that says why (EFBIG at the
      // file-size limit, ENOSPC on a full disk); a write of 0 bytes is none.
      file->io_errno = n < 0 ? errno : EIO;
      return AVERROR(file->io_errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return size;
}

std::int64_t io_seek(void* opaque, std::int64_t offset, int whence) {
  auto* file = static_cast<AviFile*>(opaque);
  if (file->io_errno != 0) return AVERROR(file->io_errno);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return AVERROR(errno);
    return st.st_size;
  }
  off_t at = lseek(file->fd, static_cast<off_t>(offset), whence);
  if (at < 0) {
    file->io_errno = errno;
    return AVERROR(file->io_errno);
  }
  return at;
}

// Writes every one of the fields into the file; false when one of them
// could not be written.
template <std::size_t N>
bool put_fields(int fd, const std::array<AviPatch, N>& patches) {
  bool all = true;
  for (const AviPatch& patch : patches) {
    std::uint8_t b[4];
    PutLe32(b, patch.value);
    all = pwrite(fd, b, sizeof b, static_cast<off_t>(patch.at)) == static_cast<ssize_t>(sizeof b) && all;
  }
  return all;
}

// Reads the header back and puts the stream's true rate into it. libavformat
// writes a video rate above 1000 frames per second as 600 (the granularity
// of its own time stamps); our chunks are one per frame at the caller's
// rate, so the header says that rate, as Video for Windows would.
bool fix_header(AviFile& file) {
  if (file.whole_end < 12 || file.whole_end > (1 << 24)) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.whole_end));
  if (pread(file.fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return false;
  file.layout = FindAviHeaders(RiffMemory(bytes.data(), bytes.size()), file.whole_end);
  if (file.layout.avih < 0 || file.layout.strh < 0 || file.layout.movi < 0) return false;
  return put_fields(file.fd, AviRatePatches(file.layout, file.scale, file.rate));
}

// ---- writing chunks ------------------------------------------------------------
// These run with the file's mutex held.

// The output has failed for good: nothing more goes in, the index cannot be
// written, and the file is cut back to its last whole chunk. The sizes and
// counts of the header are set for what stays, and the header no longer
// claims an index, so readers take the chunks as they are.
void fail_output(AviFile& file, int error) {
  if (file.output_failed) return;
  file.output_failed = true;
  file.failure_errno = file.io_errno != 0 ? file.io_errno : AVUNERROR(error);
  if (file.failure_errno <= 0) file.failure_errno = EIO;
  if (ftruncate(file.fd, static_cast<off_t>(file.whole_end)) != 0) return;
  const AviHeaders& l = file.layout;
  if (l.avih < 0 || l.strh < 0 || l.movi < 0) return;
  // Past its first GiB the muxer has closed the first RIFF list with its
  // index and gone on in another (OpenDML); the fields below describe the
  // first one only, and are right as the muxer left them.
  if (file.whole_end > kFirstRiffBytes) return;
  put_fields(file.fd, AviCutBackPatches(l, file.whole_end, static_cast<std::uint32_t>(file.chunks)));
}

// Stores packet as the file's next chunk (an empty packet makes an empty
// chunk: a dropped frame). Returns AVIERR_OK when the chunk is whole in the
// file, AVIERR_FILEWRITE when the output has failed (now or before),
// AVIERR_INTERNAL when the muxer refused the packet and the file is as it was.
HRESULT store_chunk(AviFile& file, AVPacket* packet) {
  if (file.output_failed) return AVIERR_FILEWRITE;
  packet->stream_index = file.stream->index;
  packet->pts = packet->dts = kMuxerTimeOrigin + file.muxer_ticks++;
  packet->duration = 1;
  int r = av_write_frame(file.muxer, packet);
  if (r >= 0) avio_flush(file.io);
  std::int64_t end = avio_tell(file.io);
  if (file.io_errno != 0 || file.io->error < 0 || r == AVERROR(ENOMEM) || (r < 0 && end != file.whole_end)) {
    // Out of memory the muxer may have counted the packet without storing
    // it; it could no longer complete the file truthfully either.
    fail_output(file, file.io->error < 0 ? file.io->error : r);
    return AVIERR_FILEWRITE;
  }
  if (r < 0) return AVIERR_INTERNAL;
  file.whole_end = end;
  ++file.chunks;
  if (packet->size > 0) ++file.frames;
  return AVIERR_OK;
}

// Stores empty chunks until the stream reaches position: dropped frames,
// which players show as a repeat of the frame before.
HRESULT store_skipped(AviObject& c, std::int64_t position) {
  AVPacket* empty = av_packet_alloc();
  if (empty == nullptr) return AVIERR_MEMORY;
  HRESULT r = AVIERR_OK;
  while (c.next_position < position && r == AVIERR_OK) {
    r = store_chunk(*c.file, empty);
    if (r == AVIERR_OK) ++c.next_position;
    av_packet_unref(empty);
  }
  av_packet_free(&empty);
  return r;
}

// Receives the packets of one compressed frame. The compressor codes each
// frame into one packet at once; should it give more, the first is the
// frame and the rest are dropped, with a key frame next to recover.
struct FrameSink {
  AviObject* stream;
  bool stored = false;
  bool extra = false;
  HRESULT result = AVIERR_OK;
  std::int64_t bytes = 0;
};

int store_frame_packet(void* context, AVPacket* packet) {
  auto* sink = static_cast<FrameSink*>(context);
  if (sink->stored || sink->result != AVIERR_OK) {
    sink->extra = true;
    return AVERROR(EINVAL);
  }
  sink->result = store_chunk(*sink->stream->file, packet);
  if (sink->result != AVIERR_OK) return AVERROR(EIO);
  sink->stored = true;
  sink->bytes = packet->size;
  return 0;
}

// Packets the compressor still holds when the stream closes; each one is
// stored at the next position.
int store_flushed_packet(void* context, AVPacket* packet) {
  auto* c = static_cast<AviObject*>(context);
  if (store_chunk(*c->file, packet) != AVIERR_OK) return AVERROR(EIO);
  ++c->next_position;
  return 0;
}

// Compresses and stores the frame at pixels as position. Returns AVIERR_OK
// with the frame's chunk in the file and the position moved on, or the
// failure with the position where it was.
HRESULT write_one_frame(AviObject& c, std::int64_t position, const BYTE* pixels, bool key, std::int64_t& bytes) {
  HRESULT r = c.driver->convert(c.session, pixels);
  if (r != AVIERR_OK) return r;
  FrameSink sink{&c};
  r = c.driver->compress(c.session, position, key || c.key_next, store_frame_packet, &sink);
  if (!sink.stored) {
    // The compressor may have coded the frame; the next one must not
    // refer to it.
    c.key_next = true;
    if (sink.result != AVIERR_OK) return sink.result;
    return r != AVIERR_OK ? r : AVIERR_COMPRESSOR;
  }
  c.key_next = sink.extra || r != AVIERR_OK;
  ++c.next_position;
  bytes += sink.bytes;
  return AVIERR_OK;
}

// A compressing stream takes its first frame: the one that took its first
// frame before it rests (see Memory at the top). Called without any file's
// mutex held.
void take_over_from_latest_writer(const std::shared_ptr<AviObject>& c) {
  std::shared_ptr<AviObject> previous;
  {
    std::lock_guard<std::mutex> lock(g_writer_mutex);
    previous = g_latest_writer.lock();
    g_latest_writer = c;
  }
  if (previous == nullptr || previous == c) return;
  std::lock_guard<std::mutex> lock(previous->file->mutex);
  if (!previous->closed && previous->session != nullptr && previous->driver->rest != nullptr)
    previous->driver->rest(previous->session);
}

// ---- completing ------------------------------------------------------------

void close_descriptor(AviFile& file) {
  if (file.muxer != nullptr) avformat_free_context(file.muxer);
  file.muxer = nullptr;
  file.stream = nullptr;
  if (file.io != nullptr) {
    av_freep(&file.io->buffer);
    avio_context_free(&file.io);
  }
  int fd = file.fd;
  file.fd = -1;
  if (fd >= 0 && close(fd) != 0 && errno != EINTR && !file.output_failed) {
    // Whatever the kernel still held for the file may not have reached it.
    file.output_failed = true;
    file.failure_errno = errno;
  }
}

void report_incomplete(const AviFile& file) {
  g_incomplete_files.fetch_add(1);
  std::string kept = file.frames == 0   ? std::string("no frames")
                     : file.frames == 1 ? std::string("its first frame")
                                        : "its first " + std::to_string(file.frames) + " frames";
  if (file.index_written)
    std::fprintf(stderr, "slotrec: %s may not be complete on disk (%s)\n", file.name.c_str(),
                 std::strerror(file.failure_errno));
  else
    std::fprintf(stderr, "slotrec: %s could not be completed (%s); it keeps %s, without an index\n",
                 file.name.c_str(), std::strerror(file.failure_errno), kept.c_str());
}

void drop_file_reference(AviFile& file) {
  if (--file.references > 0 || file.muxer == nullptr) return;
  // A file whose format was never set stays as AVIFileOpenA left it: empty.
  // One whose header failed was reported by AVIStreamSetFormat.
  bool counts = file.header_written;
  if (file.header_written && !file.output_failed) {
    int r = av_write_trailer(file.muxer);
    if (r < 0 || file.io_errno != 0 || file.io->error < 0)
      fail_output(file, r < 0 ? r : file.io->error);
    else
      file.index_written = true;
  }
  close_descriptor(file);
  if (counts && file.output_failed) report_incomplete(file);
}

void drop_stream_reference(AviObject& stream) {
  if (--stream.references > 0) return;
  stream.closed = true;
  drop_file_reference(*stream.file);
}

void close_compressing(AviObject& c) {
  c.closed = true;
  if (c.session != nullptr) {
    c.driver->flush(c.session, store_flushed_packet, &c);
    c.driver->end(c.session);
    c.session = nullptr;
  }
  drop_stream_reference(*c.target);
}

}  // namespace

// ---- the library -------------------------------------------------------------

DWORD IncompleteAviFiles() { return g_incomplete_files.load(); }

// The library needs no set-up, and open handles stay usable after the last
// AVIFileExit, as on Windows: both are kept for the callers written to
// Windows' rules, and do nothing.
void AVIFileInit() {}

void AVIFileExit() {}

// Creates (or empties) the file at once, so that it is on disk even when a
// later step fails. Only writing is supported.
HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID /*lpHandler*/) {
  if (ppfile == nullptr) return AVIERR_BADPARAM;
  *ppfile = nullptr;
  if (szFile == nullptr || szFile[0] == '\0') return AVIERR_BADPARAM;
  if ((uMode & OF_CREATE) == 0 || (uMode & (OF_WRITE | kOfReadWrite)) == 0) return AVIERR_UNSUPPORTED;

  auto file = std::make_shared<AviFile>();
  file->name = szFile;
  const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
  if (avi == nullptr) return AVIERR_INTERNAL;
  if (avformat_alloc_output_context2(&file->muxer, avi, nullptr, nullptr) < 0 || file->muxer == nullptr)
    return AVIERR_MEMORY;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (buffer == nullptr) return AVIERR_MEMORY;
  file->io = avio_alloc_context(buffer, kIoBufferBytes, 1, file.get(), nullptr, io_write, io_seek);
  if (file->io == nullptr) {
    av_free(buffer);
    return AVIERR_MEMORY;
  }
  file->fd = open(szFile, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file->fd < 0) return AVIERR_FILEOPEN;
  file->muxer->pb = file->io;
  file->muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Each frame goes to the file as it is written, not when a buffer fills.
  file->muxer->flush_packets = 1;
  // Our time stamps lie below zero (kMuxerTimeOrigin); they are to be kept.
  file->muxer->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  auto obj = std::make_shared<AviObject>(Kind::File, std::move(file));
  *ppfile = handle_from_token<PAVIFILE>(objects().add(std::move(obj)));
  return AVIERR_OK;
}

// One video stream per file, timed by dwScale / dwRate seconds per frame.
HRESULT AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi, AVISTREAMINFOA* psi) {
  if (ppavi == nullptr) return AVIERR_BADPARAM;
  *ppavi = nullptr;
  std::shared_ptr<AviObject> f = find_file(pfile);
  if (f == nullptr) return AVIERR_BADHANDLE;
  if (psi == nullptr) return AVIERR_BADPARAM;
  AVISTREAMINFOA info;
  std::memcpy(&info, psi, sizeof info);
  if (info.fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  if (info.dwScale == 0 || info.dwRate == 0 || info.dwScale > INT_MAX || info.dwRate > INT_MAX)
    return AVIERR_BADPARAM;

  std::lock_guard<std::mutex> lock(f->file->mutex);
  AviFile& file = *f->file;
  if (file.muxer == nullptr) return AVIERR_BADHANDLE;
  if (file.stream != nullptr) return AVIERR_UNSUPPORTED;
  AVStream* st = avformat_new_stream(file.muxer, nullptr);
  if (st == nullptr) return AVIERR_MEMORY;
  AVRational per_frame{static_cast<int>(info.dwScale), static_cast<int>(info.dwRate)};
  av_reduce(&per_frame.num, &per_frame.den, per_frame.num, per_frame.den, INT_MAX);
  st->time_base = per_frame;
  st->avg_frame_rate = av_inv_q(st->time_base);
  st->r_frame_rate = st->avg_frame_rate;
  info.szName[sizeof info.szName - 1] = '\0';
  if (info.szName[0] != '\0') av_dict_set(&st->metadata, "title", info.szName, 0);
  file.stream = st;
  file.scale = static_cast<DWORD>(per_frame.num);
  file.rate = static_cast<DWORD>(per_frame.den);
  ++file.references;

  auto stream = std::make_shared<AviObject>(Kind::Stream, f->file);
  stream->config.time_base = per_frame;
  *ppavi = handle_from_token<PAVISTREAM>(objects().add(std::move(stream)));
  return AVIERR_OK;
}

// A compressing stream that feeds ppsSource with the compressor named by
// lpOptions->fccHandler; dwKeyFrameEvery (with AVICOMPRESSF_KEYFRAMES) is
// the longest distance between key frames.
HRESULT AVIMakeCompressedStream(PAVISTREAM* ppsCompressed, PAVISTREAM ppsSource,
                                AVICOMPRESSOPTIONS* lpOptions, CLSID* /*pclsidHandler*/) {
  if (ppsCompressed == nullptr) return AVIERR_BADPARAM;
  *ppsCompressed = nullptr;
  std::shared_ptr<AviObject> target = find_stream(ppsSource);
  if (target == nullptr) return AVIERR_BADHANDLE;
  if (target->kind != Kind::Stream) return AVIERR_UNSUPPORTED;
  if (lpOptions == nullptr) return AVIERR_BADPARAM;
  AVICOMPRESSOPTIONS options;
  std::memcpy(&options, lpOptions, sizeof options);
  if (options.fccType != 0 && options.fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  const CompressorDriver* driver = compressor_find(options.fccHandler);
  if (driver == nullptr) return AVIERR_NOCOMPRESSOR;

  std::lock_guard<std::mutex> lock(target->file->mutex);
  if (target->closed) return AVIERR_BADHANDLE;
  if (target->fed) return AVIERR_UNSUPPORTED;  // one compressing stream per stream
  auto c = std::make_shared<AviObject>(Kind::Compressing, target->file);
  c->target = target;
  c->driver = driver;
  c->config.time_base = target->config.time_base;
  if ((options.dwFlags & AVICOMPRESSF_KEYFRAMES) != 0 && options.dwKeyFrameEvery > 0)
    c->config.keyint = options.dwKeyFrameEvery > INT_MAX ? INT_MAX : static_cast<int>(options.dwKeyFrameEvery);
  target->fed = true;
  ++target->references;
  *ppsCompressed = handle_from_token<PAVISTREAM>(objects().add(std::move(c)));
  return AVIERR_OK;
}

// The input format of a compressing stream, at position 0 and once: starts
// the compressor (which reads its settings now) and writes the file header.
// A header that cannot be written (a full disk) gives AVIERR_FILEWRITE.
HRESULT AVIStreamSetFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat, LONG cbFormat) {
  std::shared_ptr<AviObject> c = find_stream(pavi);
  if (c == nullptr) return AVIERR_BADHANDLE;
  if (c->kind != Kind::Compressing) return AVIERR_UNSUPPORTED;
  if (lpFormat == nullptr) return AVIERR_BADPARAM;
  if (cbFormat < static_cast<LONG>(sizeof(BITMAPINFOHEADER))) return AVIERR_BADSIZE;
  BITMAPINFOHEADER format;
  std::memcpy(&format, lpFormat, sizeof format);
  if (format.biSize < sizeof(BITMAPINFOHEADER) || format.biSize > static_cast<DWORD>(cbFormat))
    return AVIERR_BADFORMAT;

  std::lock_guard<std::mutex> lock(c->file->mutex);
  if (c->closed) return AVIERR_BADHANDLE;
  if (c->session != nullptr) {
    // The same format again changes nothing; another one cannot follow
    // frames already compressed.
    return lPos == 0 && std::memcmp(&format, &c->config.format, sizeof format) == 0 ? AVIERR_OK
                                                                                    : AVIERR_UNSUPPORTED;
  }
  if (lPos != 0) return AVIERR_UNSUPPORTED;
  if (c->driver->compress_query(&format, nullptr) != ICERR_OK) return AVIERR_BADFORMAT;
  AviFile& file = *c->file;
  if (file.muxer == nullptr || file.header_written) return AVIERR_UNSUPPORTED;
  if (file.header_failed) return AVIERR_FILEWRITE;

  c->config.format = format;
  CompressorSession* session = nullptr;
  HRESULT r = c->driver->begin(c->config, &session);
  if (r != AVIERR_OK) return r;
  c->driver->stream_parameters(session, file.stream->codecpar);
  int written = avformat_write_header(file.muxer, nullptr);
  if (written >= 0) avio_flush(file.io);
  file.whole_end = avio_tell(file.io);
  if (written < 0 || file.io_errno != 0 || file.io->error < 0 || !fix_header(file)) {
    c->driver->end(session);
    file.header_failed = true;
    return AVIERR_FILEWRITE;
  }
  file.header_written = true;
  c->session = session;
  return AVIERR_OK;
}

// Compresses lSamples frames from lpBuffer into the file, at position lStart
// onwards. lStart is normally the next position; a later one leaves the
// positions between as dropped frames (so a failed write does not shift the
// frames after it), an earlier one cannot be rewritten. Returns AVIERR_OK
// when every frame is in the file; on a failure *plSampWritten says how many
// are, and the next write may start at the first that is not.
HRESULT AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                       DWORD dwFlags, LONG* plSampWritten, LONG* plBytesWritten) {
  if (plSampWritten != nullptr) *plSampWritten = 0;
  if (plBytesWritten != nullptr) *plBytesWritten = 0;
  std::shared_ptr<AviObject> c = find_stream(pavi);
  if (c == nullptr) return AVIERR_BADHANDLE;
  if (c->kind != Kind::Compressing) return AVIERR_UNSUPPORTED;
  if (!c->written.exchange(true)) take_over_from_latest_writer(c);

  std::lock_guard<std::mutex> lock(c->file->mutex);
  if (c->closed) return AVIERR_BADHANDLE;
  if (c->session == nullptr) return AVIERR_BADFORMAT;
  if (lpBuffer == nullptr || lSamples < 1) return AVIERR_BADPARAM;
  if (lStart < c->next_position || lStart - c->next_position > kMaxSkippedFrames) return AVIERR_BADPARAM;
  std::size_t frame = c->driver->frame_bytes(c->session);
  if (cbBuffer < 0 || static_cast<std::size_t>(cbBuffer) / frame < static_cast<std::size_t>(lSamples))
    return AVIERR_BUFFERTOOSMALL;
  // A file whose output failed takes nothing more, and costs no encoding.
  if (c->file->output_failed) return AVIERR_FILEWRITE;

  const BYTE* pixels = static_cast<const BYTE*>(lpBuffer);
  std::int64_t bytes = 0;
  HRESULT r = store_skipped(*c, lStart);
  LONG done = 0;
  for (; r == AVIERR_OK && done < lSamples; ++done) {
    r = write_one_frame(*c, std::int64_t{lStart} + done, pixels + frame * static_cast<std::size_t>(done),
                        (dwFlags & AVIIF_KEYFRAME) != 0, bytes);
    if (r != AVIERR_OK) break;
  }
  if (plSampWritten != nullptr) *plSampWritten = done;
  if (plBytesWritten != nullptr) *plBytesWritten = bytes > INT32_MAX ? INT32_MAX : static_cast<LONG>(bytes);
  return r;
}

ULONG AVIStreamRelease(PAVISTREAM pavi) {
  std::shared_ptr<AviObject> s =
      objects().take_if(handle_token(pavi), [](const AviObject& o) { return o.kind != Kind::File; });
  if (s == nullptr) return 0;
  std::lock_guard<std::mutex> lock(s->file->mutex);
  if (s->kind == Kind::Compressing) {
    close_compressing(*s);
    return 0;
  }
  drop_stream_reference(*s);
  return static_cast<ULONG>(s->references);
}

ULONG AVIFileRelease(PAVIFILE pfile) {
  std::shared_ptr<AviObject> f =
      objects().take_if(handle_token(pfile), [](const AviObject& o) { return o.kind == Kind::File; });
  if (f == nullptr) return 0;
  std::lock_guard<std::mutex> lock(f->file->mutex);
  drop_file_reference(*f->file);
  return static_cast<ULONG>(f->file->references);
}
