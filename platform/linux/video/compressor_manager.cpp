// The Video for Windows compressor manager on Linux: enumerates the installed
// video compressors (here the x264 one), opens them for queries and answers
// ICGetInfo and ICM_COMPRESS_QUERY. Handles are tokens
// (common/handle_table.h), so a null, closed or invented HIC is refused
// instead of followed.
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/common/handle_table.h"
#include "platform/linux/video/compressor_manager.h"
#include "platform/linux/video/vfw_api.h"
#include "platform/linux/video/x264_compressor.h"

namespace {

const CompressorDriver* const kInstalled[] = {&kX264Driver};
constexpr DWORD kInstalledCount = sizeof kInstalled / sizeof kInstalled[0];

// Compressors installed at run time, searched after the built-in ones.
std::mutex g_added_mutex;
std::vector<const CompressorDriver*> g_added;  // under g_added_mutex; only grows

struct OpenCompressor {
  const CompressorDriver* driver;
  UINT mode;
};

HandleTable<OpenCompressor>& instances() { return process_handle_table<OpenCompressor>(); }

// Type 0 stands for any type, as on Windows.
bool video_type(DWORD fcc_type) { return fcc_type == 0 || fourcc_equal(fcc_type, ICTYPE_VIDEO); }

std::shared_ptr<OpenCompressor> find_instance(HIC hic) {
  if (hic == nullptr) return nullptr;
  return instances().find(handle_token(hic));
}

}  // namespace

bool fourcc_equal(DWORD a, DWORD b) {
  for (int shift = 0; shift < 32; shift += 8) {
    auto ca = static_cast<unsigned char>(a >> shift);
    auto cb = static_cast<unsigned char>(b >> shift);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return false;
  }
  return true;
}

const CompressorDriver* compressor_find(DWORD fcc_handler) {
  for (const CompressorDriver* d : kInstalled)
    if (fourcc_equal(d->fcc_handler, fcc_handler)) return d;
  std::lock_guard<std::mutex> lock(g_added_mutex);
  for (const CompressorDriver* d : g_added)
    if (fourcc_equal(d->fcc_handler, fcc_handler)) return d;
  return nullptr;
}

bool compressor_install(const CompressorDriver* driver) {
  if (driver == nullptr || compressor_find(driver->fcc_handler) != nullptr) return false;
  std::lock_guard<std::mutex> lock(g_added_mutex);
  for (const CompressorDriver* d : g_added)
    if (fourcc_equal(d->fcc_handler, driver->fcc_handler)) return false;
  g_added.push_back(driver);
  return true;
}

// fccHandler is an index (0, 1, ...) or a handler code. Fills the codes and
// the driver name, as Windows does; the name and description come from
// ICGetInfo.
BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo) {
  if (lpicinfo == nullptr || !video_type(fccType)) return FALSE;
  const CompressorDriver* driver =
      fccHandler < kInstalledCount ? kInstalled[fccHandler] : compressor_find(fccHandler);
  if (driver == nullptr) return FALSE;
  ICINFO full;
  driver->get_info(&full);
  lpicinfo->dwSize = sizeof(ICINFO);
  lpicinfo->fccType = full.fccType;
  lpicinfo->fccHandler = full.fccHandler;
  lpicinfo->dwFlags = full.dwFlags;
  lpicinfo->dwVersion = full.dwVersion;
  lpicinfo->dwVersionICM = full.dwVersionICM;
  std::memcpy(lpicinfo->szDriver, full.szDriver, sizeof full.szDriver);
  return TRUE;
}

HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode) {
  if (!video_type(fccType)) return nullptr;
  if (wMode != ICMODE_QUERY && wMode != ICMODE_COMPRESS && wMode != kIcModeFastCompress) return nullptr;
  const CompressorDriver* driver = compressor_find(fccHandler);
  if (driver == nullptr) return nullptr;
  auto instance = std::make_shared<OpenCompressor>(OpenCompressor{driver, wMode});
  return handle_from_token<HIC>(instances().add(std::move(instance)));
}

// Copies up to cb bytes of the record; returns the number copied, 0 for a
// handle that is not open.
LRESULT ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb) {
  std::shared_ptr<OpenCompressor> instance = find_instance(hic);
  if (instance == nullptr || picinfo == nullptr) return 0;
  ICINFO full;
  instance->driver->get_info(&full);
  std::size_t n = cb < sizeof full ? cb : sizeof full;
  std::memcpy(picinfo, &full, n);
  return static_cast<LRESULT>(n);
}

LRESULT ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2) {
  std::shared_ptr<OpenCompressor> instance = find_instance(hic);
  if (instance == nullptr) return ICERR_BADHANDLE;
  switch (msg) {
    case ICM_COMPRESS_QUERY:
      return instance->driver->compress_query(reinterpret_cast<const BITMAPINFOHEADER*>(dw1),
                                              reinterpret_cast<const BITMAPINFOHEADER*>(dw2));
    default:
      return ICERR_UNSUPPORTED;
  }
}

LRESULT ICClose(HIC hic) {
  if (hic == nullptr) return ICERR_BADHANDLE;
  return instances().take(handle_token(hic)) ? ICERR_OK : ICERR_BADHANDLE;
}
