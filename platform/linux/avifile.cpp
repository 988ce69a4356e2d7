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
// Handles are tokens (avifile_handles.h): a released handle is refused with
// AVIERR_BADHANDLE even when the caller still has a copy of it. Each file has
// one mutex, held for every operation on the file or its streams, so handles
// may be created, used and released on different threads.
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/avifile_handles.h"
#include "platform/linux/compressor_manager.h"
#include "platform/platform.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// OF_READWRITE of MinGW-w64's winbase.h; writing with it is writing too.
constexpr UINT kOfReadWrite = 0x2;
// A write may skip positions (the frames between are stored empty, as
// dropped frames); a jump larger than this is a caller's mistake, not a
// few failed frames.
constexpr LONG kMaxSkippedFrames = 1 << 16;

// The muxer and the file, shared by the file handle and its streams.
struct AviFile {
  std::mutex mutex;  // held for every operation on the file or its streams
  // Everything below is guarded by mutex.
  AVFormatContext* muxer = nullptr;  // null once the file is closed
  AVStream* stream = nullptr;        // the one video stream, once created
  bool header_written = false;
  bool header_failed = false;        // the muxer refused the header; no retry
  int references = 1;                // the caller's, plus one per live stream

  ~AviFile() {
    // The last release closes the file; this only keeps the muxer from
    // leaking should an object go some other way.
    if (muxer != nullptr) {
      avio_closep(&muxer->pb);
      avformat_free_context(muxer);
    }
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
  std::int64_t next_position = 0;
  std::int64_t bytes_written = 0;  // by the current write, for plBytesWritten

  AviObject(Kind k, std::shared_ptr<AviFile> f) : kind(k), file(std::move(f)) {}
  ~AviObject() {
    if (session != nullptr) driver->end(session);
  }
};

HandleTable<AviObject>& objects() { return process_handle_table<AviObject>(); }

// Calls of AVIFileInit not yet matched by AVIFileExit. Nothing depends on it:
// the library needs no set-up, and open handles stay usable after the last
// AVIFileExit, as on Windows.
std::atomic<int> g_library_users{0};

// Files whose last release could not complete them on disk.
std::atomic<DWORD> g_incomplete_files{0};

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

// ---- completing ------------------------------------------------------------
// These run with the file's mutex held.

void drop_file_reference(AviFile& file) {
  if (--file.references > 0 || file.muxer == nullptr) return;
  if (file.header_written) av_write_trailer(file.muxer);
  // A file whose format was never set stays as AVIFileOpenA left it: empty.
  avio_closep(&file.muxer->pb);
  avformat_free_context(file.muxer);
  file.muxer = nullptr;
  file.stream = nullptr;
}

void drop_stream_reference(AviObject& stream) {
  if (--stream.references > 0) return;
  stream.closed = true;
  drop_file_reference(*stream.file);
}

// Writes one packet of the compressor into the file.
int write_packet(void* context, AVPacket* packet) {
  auto* c = static_cast<AviObject*>(context);
  AviFile& file = *c->file;
  av_packet_rescale_ts(packet, c->config.time_base, file.stream->time_base);
  packet->stream_index = file.stream->index;
  c->bytes_written += packet->size;
  return av_write_frame(file.muxer, packet);
}

// Stores positions from .. to-1 as empty chunks: dropped frames, which
// players show as a repeat of the frame before. The muxer would fill such a
// gap itself, but not before the first frame.
int write_skipped(AviObject& c, std::int64_t from, std::int64_t to) {
  AVPacket* empty = av_packet_alloc();
  if (empty == nullptr) return AVERROR(ENOMEM);
  int r = 0;
  for (std::int64_t position = from; position < to && r >= 0; ++position) {
    empty->pts = empty->dts = position;
    empty->duration = 1;
    r = write_packet(&c, empty);
  }
  av_packet_free(&empty);
  return r;
}

void close_compressing(AviObject& c) {
  c.closed = true;
  if (c.session != nullptr) {
    c.driver->flush(c.session, write_packet, &c);
    c.driver->end(c.session);
    c.session = nullptr;
  }
  drop_stream_reference(*c.target);
}

}  // namespace

// ---- the library -------------------------------------------------------------

DWORD IncompleteAviFiles() { return g_incomplete_files.load(); }

void AVIFileInit() { g_library_users.fetch_add(1); }

void AVIFileExit() {
  int users = g_library_users.load();
  while (users > 0 && !g_library_users.compare_exchange_weak(users, users - 1)) {
  }
}

// Creates (or empties) the file at once, so that it is on disk even when a
// later step fails. Only writing is supported.
HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID /*lpHandler*/) {
  if (ppfile == nullptr) return AVIERR_BADPARAM;
  *ppfile = nullptr;
  if (szFile == nullptr || szFile[0] == '\0') return AVIERR_BADPARAM;
  if ((uMode & OF_CREATE) == 0 || (uMode & (OF_WRITE | kOfReadWrite)) == 0) return AVIERR_UNSUPPORTED;

  auto file = std::make_shared<AviFile>();
  const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
  if (avi == nullptr) return AVIERR_INTERNAL;
  if (avformat_alloc_output_context2(&file->muxer, avi, nullptr, szFile) < 0 || file->muxer == nullptr)
    return AVIERR_MEMORY;
  // "file:" keeps names with a colon from being taken for another protocol.
  std::string url = std::string("file:") + szFile;
  if (avio_open2(&file->muxer->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) {
    avformat_free_context(file->muxer);
    file->muxer = nullptr;
    return AVIERR_FILEOPEN;
  }
  // Each frame goes to the file as it is written, not when a buffer fills.
  file->muxer->flush_packets = 1;
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
  st->time_base = AVRational{static_cast<int>(info.dwScale), static_cast<int>(info.dwRate)};
  st->avg_frame_rate = av_inv_q(st->time_base);
  st->r_frame_rate = st->avg_frame_rate;
  info.szName[sizeof info.szName - 1] = '\0';
  if (info.szName[0] != '\0') av_dict_set(&st->metadata, "title", info.szName, 0);
  file.stream = st;
  ++file.references;

  auto stream = std::make_shared<AviObject>(Kind::Stream, f->file);
  stream->config.time_base = st->time_base;
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
  if (avformat_write_header(file.muxer, nullptr) < 0) {
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
// frames after it), an earlier one cannot be rewritten.
HRESULT AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                       DWORD dwFlags, LONG* plSampWritten, LONG* plBytesWritten) {
  if (plSampWritten != nullptr) *plSampWritten = 0;
  if (plBytesWritten != nullptr) *plBytesWritten = 0;
  std::shared_ptr<AviObject> c = find_stream(pavi);
  if (c == nullptr) return AVIERR_BADHANDLE;
  if (c->kind != Kind::Compressing) return AVIERR_UNSUPPORTED;

  std::lock_guard<std::mutex> lock(c->file->mutex);
  if (c->closed) return AVIERR_BADHANDLE;
  if (c->session == nullptr) return AVIERR_BADFORMAT;
  if (lpBuffer == nullptr || lSamples < 1) return AVIERR_BADPARAM;
  if (lStart < c->next_position || lStart - c->next_position > kMaxSkippedFrames) return AVIERR_BADPARAM;
  std::size_t frame = c->driver->frame_bytes(c->session);
  if (cbBuffer < 0 || static_cast<std::size_t>(cbBuffer) / frame < static_cast<std::size_t>(lSamples))
    return AVIERR_BUFFERTOOSMALL;

  const BYTE* pixels = static_cast<const BYTE*>(lpBuffer);
  c->bytes_written = 0;
  HRESULT r = AVIERR_OK;
  LONG done = 0;
  if (lStart > c->next_position) {
    if (write_skipped(*c, c->next_position, lStart) < 0) return AVIERR_FILEWRITE;
    c->next_position = lStart;
  }
  for (; done < lSamples; ++done) {
    std::int64_t position = std::int64_t{lStart} + done;
    r = c->driver->convert(c->session, pixels + frame * static_cast<std::size_t>(done));
    if (r != AVIERR_OK) break;
    r = c->driver->compress(c->session, position, (dwFlags & AVIIF_KEYFRAME) != 0, write_packet, c.get());
    // A frame the encoder took has its position, even if the file refused it.
    if (r == AVIERR_OK || r == AVIERR_FILEWRITE) c->next_position = position + 1;
    if (r != AVIERR_OK) break;
  }
  if (plSampWritten != nullptr) *plSampWritten = done;
  if (plBytesWritten != nullptr)
    *plBytesWritten = c->bytes_written > INT32_MAX ? INT32_MAX : static_cast<LONG>(c->bytes_written);
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
