#include "recording/segments.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "formats/meta_text.h"
#include "formats/run_names.h"
#include "recording/diagnostic_log.h"
#include "recording/log_texts.h"

namespace {

constexpr std::size_t kNameCapacity = 32;
constexpr DWORD kKeyFrameEvery = 100;

// Free space kept on the run's file system: what two segments of the run
// have needed so far, and never less than this.
constexpr uint64_t kMinimumFreeBytes = uint64_t{16} << 20;
constexpr uint64_t kMebibyte = uint64_t{1} << 20;
// What PrepareAVI gives when it leaves a segment unopened for lack of space:
// Windows' "disk full" as a result code (HRESULT_FROM_WIN32(ERROR_DISK_FULL)).
constexpr HRESULT kPrepareDiskFull = static_cast<HRESULT>(0x80070070u);

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

// The names of a segment's two files, from the planned start of its
// timeslot.
struct SegmentNames {
  char avi[kNameCapacity];
  char meta[kNameCapacity];
};

SegmentNames NamesForStart(uint32_t start_ms) {
  SegmentNames names;
  FormatSegmentName(names.avi, sizeof names.avi, start_ms, run_name::kAviFormat);
  FormatSegmentName(names.meta, sizeof names.meta, start_ms, run_name::kMetaFormat);
  return names;
}

SegmentNames NamesForSlot(const Recorder* r, int32_t slot_index) {
  return NamesForStart(static_cast<uint32_t>(slot_index) * static_cast<uint32_t>(r->slot_ms));
}

// Opens the files and streams of a segment into `slot`, logging the step
// that fails. Returns how far it got; `result` is what PrepareAVI returns
// either way. A .meta file counts as made only once its header is on disk.
Preparation OpenSegment(Recorder* r, SegmentSlot* slot, const SegmentNames& names,
                        HRESULT* result) {
  LogLine(log_text::kTryingPrepare, names.avi);

  *result = AVIFileOpenA(&slot->avi_file, names.avi, OF_CREATE | OF_WRITE, nullptr);
  if (*result != 0 || slot->avi_file == nullptr) {
    LogLine(log_text::kFileOpenFailed, *result);
    return Preparation::kNoFile;
  }

  slot->meta_file = std::fopen(names.meta, "wb");
  // Unbuffered: every line reaches the file system as it is written, so a
  // recorder that is killed leaves whole lines behind, and a line the file
  // system refuses never lingers in a buffer to be written later.
  if (slot->meta_file != nullptr) std::setvbuf(slot->meta_file, nullptr, _IONBF, 0);
  if (slot->meta_file == nullptr || std::fputs(meta_text::kHeader, slot->meta_file) == EOF ||
      std::fflush(slot->meta_file) != 0) {
    *result = slot->meta_file == nullptr ? AVIERR_FILEOPEN : AVIERR_FILEWRITE;
    LogLine(log_text::kMetaOpenFailed, *result);
    return Preparation::kFailed;
  }

  AVISTREAMINFOA description = StreamDescription(r);
  *result = AVIFileCreateStreamA(slot->avi_file, &slot->raw_stream, &description);
  if (*result != 0) {
    LogLine(log_text::kCreateStreamFailed, *result);
    return Preparation::kFailed;
  }

  AVICOMPRESSOPTIONS options = CompressionOptions(r);
  *result = AVIMakeCompressedStream(&slot->compressed_stream, slot->raw_stream, &options, nullptr);
  if (*result != 0) {
    LogLine(log_text::kMakeCompressedFailed, *result);
    return Preparation::kFailed;
  }

  BITMAPINFOHEADER format = r->frame_format;
  LONG format_bytes = static_cast<LONG>(format.biSize + format.biClrUsed * 4);
  *result = AVIStreamSetFormat(slot->compressed_stream, 0, &format, format_bytes);
  if (*result != 0) {
    LogLine(log_text::kSetFormatFailed, *result);
    return Preparation::kFailed;
  }
  // The two new names are in the directory for good, whatever happens to
  // the power before the segment is done.
  FlushToDisk(".");
  return Preparation::kDone;
}

// Undoes a preparation that failed part-way: releases what it opened, closes
// the .meta file without a footer, and removes both files, so that a failed
// attempt leaves nothing behind and its names are free for the retry.
void DiscardSegment(SegmentSlot* slot, const SegmentNames& names) {
  if (slot->compressed_stream != nullptr) AVIStreamRelease(slot->compressed_stream);
  if (slot->raw_stream != nullptr) AVIStreamRelease(slot->raw_stream);
  if (slot->avi_file != nullptr) {
    AVIFileRelease(slot->avi_file);
    std::remove(names.avi);
  }
  if (slot->meta_file != nullptr) {
    std::fclose(slot->meta_file);
    std::remove(names.meta);
  }
  EmptySlot(slot);
}

// Whether the run's file system has room for another segment. Says so on
// standard error when that changes. Cook thread (main thread at start).
bool RoomForSegment(Recorder* r) {
  std::error_code error;
  std::filesystem::space_info space = std::filesystem::space(".", error);
  if (error) return true;  // cannot tell: let the files say
  uint64_t floor = std::max(kMinimumFreeBytes, 2 * r->largest_segment_bytes);
  bool low = space.available < floor;
  if (low && !r->space_low) {
    ReportProblem(report_text::kSpaceLow, static_cast<unsigned long>(space.available / kMebibyte),
                  static_cast<unsigned long>(floor / kMebibyte));
  } else if (!low && r->space_low) {
    ReportProblem(report_text::kSpaceBack, static_cast<unsigned long>(space.available / kMebibyte));
  }
  r->space_low = low;
  return !low;
}

// Keeps the account of preparations: a timeslot left without a segment is
// one lost segment however often it was tried; a run of failures is said on
// standard error when it begins and when it ends. Either thread (the one
// that prepares).
void NotePreparation(Recorder* r, uint32_t index, Preparation outcome, HRESULT result,
                     const SegmentNames& names) {
  if (outcome == Preparation::kDone) {
    if (r->preparing_fails) ReportProblem(report_text::kPreparedAgain, names.avi);
    r->preparing_fails = false;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    if (r->last_failed_slot != static_cast<int64_t>(index)) ++r->losses.unprepared_segments;
  }
  r->last_failed_slot = index;
  // Lack of space has its own lines.
  if (!r->preparing_fails && result != kPrepareDiskFull) {
    ReportProblem(report_text::kCannotPrepare, names.avi, static_cast<long>(result),
                  static_cast<unsigned long>(CookSleepMs(r->slot_ms)));
    r->preparing_fails = true;
  }
}

// How much a finalised segment took on disk, for the free-space floor.
void NoteSegmentSize(Recorder* r, int32_t slot_index) {
  SegmentNames names = NamesForSlot(r, slot_index);
  std::error_code error;
  uint64_t bytes = std::filesystem::file_size(names.avi, error);
  if (error) return;
  uint64_t meta_bytes = std::filesystem::file_size(names.meta, error);
  if (!error) bytes += meta_bytes;
  r->largest_segment_bytes = std::max(r->largest_segment_bytes, bytes);
}

bool CookStopAsked(Recorder* r) {
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  return r->cook_stop;
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

bool WriteFrameLine(std::FILE* meta_file, uint32_t time, int32_t x, int32_t y) {
  return WriteMetaFrameLine(meta_file, MetaFrameLine{time, x, y}) > 0 && std::fflush(meta_file) == 0;
}

void UnwriteFrameLine(const Recorder* r, std::FILE* meta_file, int32_t slot_index, long length) {
  std::error_code ignored;
  std::filesystem::resize_file(NamesForSlot(r, slot_index).meta, static_cast<std::uintmax_t>(length),
                               ignored);
  std::clearerr(meta_file);
  std::fseek(meta_file, length, SEEK_SET);
}

uint32_t CookSleepMs(int32_t slot_ms) {
  return static_cast<uint32_t>(static_cast<int64_t>(slot_ms * 0.8));
}

Preparation PrepareSegment(Recorder* r, bool first_slot, HRESULT* result) {
  *result = 0;
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    if (r->pending.slot_index >= 0) return Preparation::kAlready;
  }
  uint32_t now = timeGetTime();
  r->last_tick = now;
  uint32_t slot_ms = static_cast<uint32_t>(r->slot_ms);
  uint32_t index = first_slot ? 0u : (now - r->start_tick) / slot_ms + 1u;
  // A segment shifted in early (while the current slot was empty) may still
  // be receiving frames in its timeslot's predecessor; preparing that
  // timeslot again would truncate its files. Never reopen a timeslot whose
  // files are in use.
  if (static_cast<int64_t>(index) <= r->last_opened_slot)
    index = static_cast<uint32_t>(r->last_opened_slot + 1);

  // Prepared outside the lock, in a record of the preparing thread's own,
  // and installed complete (or empty) afterwards.
  SegmentSlot prepared;
  EmptySlot(&prepared);
  prepared.end_tick = slot_ms * (index + 1u) + r->start_tick;
  prepared.start_ms = index * slot_ms;
  SegmentNames names = NamesForStart(prepared.start_ms);
  Preparation outcome = Preparation::kNoFile;
  if (RoomForSegment(r)) {
    outcome = OpenSegment(r, &prepared, names, result);
  } else {
    *result = kPrepareDiskFull;
  }
  if (outcome == Preparation::kDone) {
    prepared.slot_index = static_cast<int32_t>(index);
    r->last_opened_slot = index;
  } else {
    DiscardSegment(&prepared, names);
  }
  NotePreparation(r, index, outcome, *result, names);

  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  r->pending = prepared;
  if (outcome == Preparation::kDone) SetEvent(r->segment_ready);
  return outcome;
}

HRESULT PrepareAVI(Recorder* r, bool first_slot) {
  HRESULT result = 0;
  PrepareSegment(r, first_slot, &result);
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
    // A tick without a segment waits for the next one to be installed.
    ResetEvent(r->segment_ready);
  }
  r->current.start_ms = now - r->start_tick;
  LogLine(log_text::kShiftAvi, r->current.start_ms);
}

void FinaliseSegment(const Recorder* r, SegmentSlot* slot) {
  const bool avi = slot->avi_file != nullptr;
  const bool meta = slot->meta_file != nullptr;
  if (slot->compressed_stream != nullptr) AVIStreamRelease(slot->compressed_stream);
  if (slot->raw_stream != nullptr) AVIStreamRelease(slot->raw_stream);
  if (avi) AVIFileRelease(slot->avi_file);
  if (meta) {
    std::fputs(meta_text::kFooter, slot->meta_file);
    std::fclose(slot->meta_file);
  }
  // A finished pair is on the disk before the next is begun: a power cut
  // then takes at most the open segments, which a repair can mend.
  if (slot->slot_index >= 0) {
    const SegmentNames names = NamesForSlot(r, slot->slot_index);
    if (avi) FlushToDisk(names.avi);
    if (meta) FlushToDisk(names.meta);
  }
  EmptySlot(slot);
}

void CookCycle(Recorder* r) {
  HRESULT result = 0;
  Preparation prepared = PrepareSegment(r, false, &result);
  for (SegmentSlot& retired : TakeRetired(r)) {
    int32_t slot_index = retired.slot_index;
    bool held_files = retired.avi_file != nullptr;
    FinaliseSegment(r, &retired);
    if (held_files && slot_index >= 0) NoteSegmentSize(r, slot_index);
  }
  LogLine(log_text::kCookStreams, result, " ", r->last_tick.load());
  // Judged by this cycle's own preparation: a segment the main thread has
  // taken out of pending meanwhile is no failure.
  if (prepared == Preparation::kNoFile) LogLine(log_text::kKernelPanic);
}

void CookStreams(Recorder* r) {
  CoInitialize(nullptr);
  AVIFileInit();
  const DWORD pause = CookSleepMs(r->slot_ms);
  while (!CookStopAsked(r)) {
    CookCycle(r);
    // StopRecorder raises cook_wake, which ends the pause at once.
    WaitForSingleObject(r->cook_wake, pause);
  }
  AVIFileExit();
  CoUninitialize();
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  r->cook_finished = true;
  r->cook_done.notify_all();
}

void CookThreadProc(Recorder* r) {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
  CookStreams(r);
}
