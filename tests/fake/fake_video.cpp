// The fake's Video for Windows: the compressor manager with a scripted list
// of compressors, and an AVIFile library in memory whose calls fail when
// told to.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tests/fake/fake_internal.h"

using namespace fake_internal;

namespace {

struct StreamHandle {
  fake::FakeAviFileInfo* file;
  bool compressed;
};

struct FileHandle {
  fake::FakeAviFileInfo* file;
};

struct CompressorHandle {
  size_t index;
};

// Pops a scripted failure for `op` when its turn has come. g_mutex held.
HRESULT ScriptedResultLocked(fake::AviOp op) {
  auto& queue = g_state.failures[op];
  if (queue.empty()) return 0;
  if (queue.front().skip > 0) {
    --queue.front().skip;
    return 0;
  }
  HRESULT code = queue.front().code;
  queue.pop_front();
  return code;
}

void ReleaseFileRefLocked(fake::FakeAviFileInfo* file) {
  if (--file->refs == 0) file->complete = true;
}

void FillDescription(ICINFO* info, const fake::FakeCompressor& c) {
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof *info;
  info->fccType = c.fcc_type;
  info->fccHandler = c.fcc_handler;
  size_t n = std::min<size_t>(c.description.size(), 127);
  for (size_t i = 0; i < n; ++i) info->szDescription[i] = c.description[i];
}

}  // namespace

namespace fake {

void FailAvi(AviOp op, HRESULT code, int skip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.failures[op].push_back({skip, code});
}

void FileOpenGivesNoFile() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.open_gives_no_file = true;
}

void ThrowOnWrite(int skip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.write_throws.push_back(skip);
}

void SetCompressors(std::vector<FakeCompressor> compressors) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.compressors = std::move(compressors);
}

}  // namespace fake

// ---- compressor manager ---------------------------------------------------------

BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.compressor_calls.info;
  size_t found = 0;
  for (const auto& c : g_state.compressors) {
    if (c.fcc_type != fccType) continue;
    if (found++ == fccHandler) {
      // ICInfo fills only the codes, as the compressor manager does.
      lpicinfo->dwSize = sizeof *lpicinfo;
      lpicinfo->fccType = c.fcc_type;
      lpicinfo->fccHandler = c.fcc_handler;
      return TRUE;
    }
  }
  return FALSE;
}

// The program only ever asks compressors questions: a compressor opened in
// any other mode than for queries is refused.
HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.counted.compressor_calls.opened.push_back(fccHandler);
  if (wMode != ICMODE_QUERY) {
    RefuseLocked("ICOpen: mode " + std::to_string(wMode));
    return nullptr;
  }
  for (size_t i = 0; i < g_state.compressors.size(); ++i) {
    auto& c = g_state.compressors[i];
    if (c.fcc_type == fccType && c.fcc_handler == fccHandler) {
      if (c.opens_allowed == 0) return nullptr;
      if (c.opens_allowed > 0) --c.opens_allowed;
      ++g_state.counted.open_compressor_handles;
      return reinterpret_cast<HIC>(new CompressorHandle{i});
    }
  }
  return nullptr;
}

LRESULT ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hic == nullptr || cb < sizeof(ICINFO)) return 0;
  const auto& c = g_state.compressors[reinterpret_cast<CompressorHandle*>(hic)->index];
  g_state.counted.compressor_calls.described.push_back(c.fcc_handler);
  FillDescription(picinfo, c);
  return sizeof(ICINFO);
}

// ICM_COMPRESS_QUERY asks whether the input format (dw1) can be compressed;
// the program leaves the output format (dw2) to the compressor, so a query
// without an input format or with an output format is refused.
LRESULT ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2) {
  std::function<LRESULT(const BITMAPINFOHEADER&)> query;
  BITMAPINFOHEADER format{};
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (msg != ICM_COMPRESS_QUERY) return ICERR_UNSUPPORTED;
    if (dw1 == 0 || dw2 != 0) {
      RefuseLocked(std::string("ICM_COMPRESS_QUERY: ") + (dw1 == 0 ? "no input format" : "") +
                   (dw1 == 0 && dw2 != 0 ? ", " : "") + (dw2 != 0 ? "an output format" : ""));
      return ICERR_BADPARAM;
    }
    format = *reinterpret_cast<const BITMAPINFOHEADER*>(dw1);
    g_state.counted.compressor_calls.queries.emplace_back(format.biWidth, format.biHeight);
    if (hic == nullptr) return ICERR_BADHANDLE;
    query = g_state.compressors[reinterpret_cast<CompressorHandle*>(hic)->index].query;
  }
  return query ? query(format) : ICERR_OK;
}

LRESULT ICClose(HIC hic) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.compressor_calls.closed;
  if (hic == nullptr) return ICERR_BADHANDLE;
  --g_state.counted.open_compressor_handles;
  delete reinterpret_cast<CompressorHandle*>(hic);
  return ICERR_OK;
}

// ---- AVIFile ------------------------------------------------------------------------

DWORD IncompleteAviFiles() { return 0; }

void AVIFileInit() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.avi_inits;
}

void AVIFileExit() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.avi_exits;
}

HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID) {
  PayCost(fake::Cost::FileOpen);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = ScriptedResultLocked(fake::AviOp::FileOpen)) return code;
  if (g_state.open_gives_no_file) {
    g_state.open_gives_no_file = false;
    return 0;
  }
  if (uMode != (OF_CREATE | OF_WRITE)) {
    RefuseLocked("AVIFileOpenA: mode " + std::to_string(uMode));
    return AVIERR_BADFLAGS;
  }
  auto file = std::make_unique<fake::FakeAviFileInfo>();
  file->name = szFile;
  file->refs = 1;
  *ppfile = reinterpret_cast<PAVIFILE>(new FileHandle{file.get()});
  g_state.files.push_back(std::move(file));
  ++g_state.counted.open_avi_handles;
  return 0;
}

HRESULT AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi, AVISTREAMINFOA* psi) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = ScriptedResultLocked(fake::AviOp::CreateStream)) return code;
  auto* handle = reinterpret_cast<FileHandle*>(pfile);
  handle->file->stream.info = *psi;
  handle->file->has_raw = true;
  ++handle->file->refs;
  *ppavi = reinterpret_cast<PAVISTREAM>(new StreamHandle{handle->file, false});
  ++g_state.counted.open_avi_handles;
  return 0;
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* ppsCompressed, PAVISTREAM ppsSource,
                                AVICOMPRESSOPTIONS* lpOptions, CLSID*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = ScriptedResultLocked(fake::AviOp::MakeCompressed)) return code;
  auto* source = reinterpret_cast<StreamHandle*>(ppsSource);
  source->file->stream.options = *lpOptions;
  source->file->has_compressed = true;
  ++source->file->refs;
  *ppsCompressed = reinterpret_cast<PAVISTREAM>(new StreamHandle{source->file, true});
  ++g_state.counted.open_avi_handles;
  return 0;
}

HRESULT AVIStreamSetFormat(PAVISTREAM pavi, LONG, LPVOID lpFormat, LONG cbFormat) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = ScriptedResultLocked(fake::AviOp::SetFormat)) return code;
  auto* stream = reinterpret_cast<StreamHandle*>(pavi);
  if (cbFormat < static_cast<LONG>(sizeof(BITMAPINFOHEADER))) return AVIERR_BADSIZE;
  std::memcpy(&stream->file->stream.format, lpFormat, sizeof(BITMAPINFOHEADER));
  stream->file->stream.format_set = true;
  return 0;
}

HRESULT AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG, LPVOID, LONG cbBuffer, DWORD, LONG*,
                       LONG*) {
  PayCost(fake::Cost::StreamWrite);
  std::unique_lock<std::mutex> lock(g_mutex);
  if (!g_state.write_throws.empty()) {
    if (g_state.write_throws.front() == 0) {
      g_state.write_throws.pop_front();
      lock.unlock();
      throw std::runtime_error("compressor fault");
    }
    --g_state.write_throws.front();
  }
  if (HRESULT code = ScriptedResultLocked(fake::AviOp::Write)) return code;
  auto* stream = reinterpret_cast<StreamHandle*>(pavi);
  if (!stream->file->stream.format_set) return AVIERR_BADFORMAT;
  stream->file->stream.positions.push_back(lStart);
  stream->file->stream.lengths.push_back(cbBuffer);
  return 0;
}

ULONG AVIStreamRelease(PAVISTREAM pavi) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* stream = reinterpret_cast<StreamHandle*>(pavi);
  --g_state.counted.open_avi_handles;
  ReleaseFileRefLocked(stream->file);
  delete stream;
  return 0;
}

ULONG AVIFileRelease(PAVIFILE pfile) {
  PayCost(fake::Cost::FileRelease);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* handle = reinterpret_cast<FileHandle*>(pfile);
  --g_state.counted.open_avi_handles;
  ReleaseFileRefLocked(handle->file);
  delete handle;
  return 0;
}
