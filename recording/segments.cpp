#include "recording/segments.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "recording/diagnostic_log.h"
#include "recording/log_texts.h"

namespace {

constexpr std::size_t kNameCapacity = 32;
constexpr DWORD kKeyFrameEvery = 100;

AVISTREAMINFOA StreamDescription(const Recorder* r) {
  AVISTREAMINFOA info;
  std::memset(&info, 0, sizeof info);
  info.fccType = streamtypeVIDEO;
  info.fccHandler = 0;
  info.dwScale = 1;
  info.dwRate = static_cast<DWORD>(r->fps);
  info.dwSuggestedBufferSize = r->frame_format.biSizeImage;
  info.rcFrame.left = 0;
  info.rcFrame.top = 0;
  info.rcFrame.right = r->frame_format.biWidth;
  info.rcFrame.bottom = r->frame_format.biHeight;
  return info;
}

AVICOMPRESSOPTIONS CompressionOptions(const Recorder* r) {
  AVICOMPRESSOPTIONS options;
  std::memset(&options, 0, sizeof options);
  options.fccType = streamtypeVIDEO;
  options.fccHandler = r->codec_info->fccHandler;
  options.dwKeyFrameEvery = kKeyFrameEvery;
  options.dwQuality = 0;
  options.dwBytesPerSecond = 0;
  options.dwFlags = AVICOMPRESSF_KEYFRAMES;
  return options;
}

// Opens the files and streams of a segment into `slot`, logging the step
// that fails. Returns true when everything is open; `result` is what
// PrepareAVI returns either way.
bool OpenSegment(Recorder* r, SegmentSlot* slot, HRESULT* result) {
  char avi_name[kNameCapacity];
  FormatSegmentName(avi_name, sizeof avi_name, slot->start_ms, log_text::kAviNameFormat);
  LogLine(log_text::kTryingPrepare, avi_name);

  *result = AVIFileOpenA(&slot->avi_file, avi_name, OF_CREATE | OF_WRITE, nullptr);
  if (*result != 0 || slot->avi_file == nullptr) {
    LogLine(log_text::kFileOpenFailed, *result);
    return false;
  }

  char meta_name[kNameCapacity];
  FormatSegmentName(meta_name, sizeof meta_name, slot->start_ms, log_text::kMetaNameFormat);
  slot->meta_file = std::fopen(meta_name, "wb");
  if (slot->meta_file == nullptr) {
    *result = AVIERR_FILEOPEN;
    LogLine(log_text::kMetaOpenFailed, *result);
    return false;
  }
  std::fputs(log_text::kMetaHeader, slot->meta_file);
  std::fflush(slot->meta_file);

  AVISTREAMINFOA description = StreamDescription(r);
  *result = AVIFileCreateStreamA(slot->avi_file, &slot->raw_stream, &description);
  if (*result != 0) {
    LogLine(log_text::kCreateStreamFailed, *result);
    return false;
  }

  AVICOMPRESSOPTIONS options = CompressionOptions(r);
  *result = AVIMakeCompressedStream(&slot->compressed_stream, slot->raw_stream, &options, nullptr);
  if (*result != 0) {
    LogLine(log_text::kMakeCompressedFailed, *result);
    return false;
  }

  BITMAPINFOHEADER format = r->frame_format;
  LONG format_bytes = static_cast<LONG>(format.biSize + format.biClrUsed * 4);
  *result = AVIStreamSetFormat(slot->compressed_stream, 0, &format, format_bytes);
  if (*result != 0) {
    LogLine(log_text::kSetFormatFailed, *result);
    return false;
  }
  return true;
}

// Takes every retired segment out of the shared slots, oldest first.
std::vector<SegmentSlot> TakeRetired(Recorder* r) {
  std::vector<SegmentSlot> retired;
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  retired.assign(r->retired_backlog.begin(), r->retired_backlog.end());
  r->retired_backlog.clear();
  retired.push_back(r->retiring);
  EmptySlot(&r->retiring);
  return retired;
}

}  // namespace

void FormatSegmentName(char* out, std::size_t capacity, uint32_t start_ms,
                       const char* name_format) {
  std::snprintf(out, capacity, name_format, static_cast<int>(start_ms / 60000u),
                static_cast<int>((start_ms / 1000u) % 60u));
}

void WriteFrameLine(std::FILE* meta_file, uint32_t time, int32_t x, int32_t y) {
  std::fprintf(meta_file, log_text::kMetaFrameLine, static_cast<int32_t>(time), x, y);
  // Each line reaches the file system at once, so a recorder that is killed
  // leaves whole lines behind.
  std::fflush(meta_file);
}

uint32_t CookSleepMs(int32_t slot_ms) {
  return static_cast<uint32_t>(static_cast<int64_t>(slot_ms * 0.8));
}

HRESULT PrepareAVI(Recorder* r, bool first_slot) {
  SegmentSlot leftover;
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    if (r->pending.slot_index >= 0) return 0;
    leftover = r->pending;
    EmptySlot(&r->pending);
  }
  // What a failed attempt opened is finalised before trying again; its
  // files' names may then be used again.
  bool may_reuse_last = leftover.avi_file != nullptr;
  FinaliseSegment(&leftover);

  uint32_t now = timeGetTime();
  r->last_tick = now;
  uint32_t slot_ms = static_cast<uint32_t>(r->slot_ms);
  uint32_t index = first_slot ? 0u : (now - r->start_tick) / slot_ms + 1u;
  // A segment shifted in early (while the current slot was empty) may still
  // be receiving frames in its timeslot's predecessor; preparing that
  // timeslot again would truncate its files. Never reopen a timeslot whose
  // files are still in use.
  int64_t lowest = may_reuse_last ? r->last_opened_slot : r->last_opened_slot + 1;
  if (static_cast<int64_t>(index) < lowest) index = static_cast<uint32_t>(lowest);

  // Prepared outside the lock, in a record of the cook thread's own, and
  // installed complete (or as far as it got) afterwards.
  SegmentSlot prepared;
  EmptySlot(&prepared);
  prepared.end_tick = slot_ms * (index + 1u) + r->start_tick;
  prepared.start_ms = index * slot_ms;
  HRESULT result = 0;
  if (OpenSegment(r, &prepared, &result)) prepared.slot_index = static_cast<int32_t>(index);
  if (prepared.avi_file != nullptr) r->last_opened_slot = index;

  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  r->pending = prepared;
  return result;
}

void ShiftAVI(Recorder* r) {
  uint32_t now = timeGetTime();
  r->last_tick = now;
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    // A retired segment that the cook thread has not reached yet is kept,
    // never overwritten.
    if (SlotHoldsSegment(r->retiring)) r->retired_backlog.push_back(r->retiring);
    r->retiring = r->current;
    r->current = r->pending;
    EmptySlot(&r->pending);
  }
  r->current.start_ms = now - r->start_tick;
  LogLine(log_text::kShiftAvi, r->current.start_ms);
}

void FinaliseSegment(SegmentSlot* slot) {
  if (slot->compressed_stream != nullptr) AVIStreamRelease(slot->compressed_stream);
  if (slot->raw_stream != nullptr) AVIStreamRelease(slot->raw_stream);
  if (slot->avi_file != nullptr) AVIFileRelease(slot->avi_file);
  if (slot->meta_file != nullptr) {
    std::fputs(log_text::kMetaFooter, slot->meta_file);
    std::fclose(slot->meta_file);
  }
  EmptySlot(slot);
}

void CookCycle(Recorder* r) {
  HRESULT result = PrepareAVI(r, false);
  for (SegmentSlot& retired : TakeRetired(r)) FinaliseSegment(&retired);
  LogLine(log_text::kCookStreams, result, " ", r->last_tick.load());
  bool no_file;
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    no_file = r->pending.avi_file == nullptr;
  }
  if (no_file) LogLine(log_text::kKernelPanic);
}

void CookStreams(Recorder* r) {
  CoInitialize(nullptr);
  AVIFileInit();
  const auto pause = std::chrono::milliseconds(CookSleepMs(r->slot_ms));
  std::unique_lock<std::mutex> lock(r->hand_over_lock);
  while (!r->cook_stop) {
    lock.unlock();
    CookCycle(r);
    lock.lock();
    r->cook_wake.wait_for(lock, pause, [r] { return r->cook_stop; });
  }
  lock.unlock();
  AVIFileExit();
  CoUninitialize();
}

void CookThreadProc(Recorder* r) {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
  CookStreams(r);
}
