#include "recording/recorder.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "formats/run_names.h"
#include "platform/guarded_call.h"
#include "recording/diagnostic_log.h"
#include "recording/log_texts.h"
#include "recording/segments.h"

namespace {

// Room for the retired segments a shift may have to keep, so that the main
// thread normally allocates nothing while recording.
constexpr std::size_t kBacklogReserve = 8;
// How long a stop waits for the cook thread to end its cycle.
constexpr int kCookStopWaitSeconds = 3;
constexpr std::size_t kNameCapacity = 32;

struct FrameWrite {
  SegmentSlot* slot;
  const BITMAPINFOHEADER* dib;
  HRESULT result;
};

void WriteFrame(void* context) {
  auto* write = static_cast<FrameWrite*>(context);
  const BITMAPINFOHEADER* dib = write->dib;
  BYTE* pixels = reinterpret_cast<BYTE*>(const_cast<BITMAPINFOHEADER*>(dib)) + dib->biSize +
                 dib->biClrUsed * 4;
  write->result = AVIStreamWrite(write->slot->compressed_stream, write->slot->frames, 1, pixels,
                                 static_cast<LONG>(dib->biSizeImage), 0, nullptr, nullptr);
}

// Writes the grabbed frame at the current segment's next position. A fault
// raised inside the compressor is caught here, and only here. Returns false
// when the write faulted; `result` is the write's code otherwise.
bool WriteFrameGuarded(SegmentSlot* slot, const BITMAPINFOHEADER* dib, HRESULT* result) {
  FrameWrite write{slot, dib, 0};
  if (!RunGuarded(WriteFrame, &write)) return false;
  *result = write.result;
  return true;
}

// The local date and time, for what is said on standard error.
std::string LocalTimeText() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char text[48];  // room for any WORD values
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  return text;
}

// A frame written from a screen that could or could not be read: counted
// apart while it cannot, said when that begins and when it ends.
void NoteScreenReading(Recorder* r, bool unreadable) {
  if (unreadable) {
    if (!r->screen_unreadable) ReportProblem(report_text::kScreenUnreadable, LocalTimeText().c_str());
    r->screen_unreadable = true;
    ++r->unreadable_run;
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    ++r->losses.unreadable_frames;
  } else if (r->screen_unreadable) {
    ReportProblem(report_text::kScreenReadable, LocalTimeText().c_str(), r->unreadable_run);
    r->screen_unreadable = false;
    r->unreadable_run = 0;
  }
}

void CountFailedWrite(Recorder* r) {
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  ++r->losses.failed_writes;
}

// After a write that failed because a file takes no more (a full disk, a
// file size limit): the segment is handed to the cook thread to be finalised
// at once, so its .meta ends with the frames its AVI holds. current keeps its
// timeslot, so the rotation and the names go on as planned; the ticks until
// the timeslot ends find no stream and write nothing.
void CloseBrokenSegment(Recorder* r, HRESULT result) {
  SegmentSlot closed = r->current;
  char name[kNameCapacity];
  FormatSegmentName(name, sizeof name,
                    static_cast<uint32_t>(closed.slot_index) * static_cast<uint32_t>(r->slot_ms),
                    run_name::kAviFormat);
  ReportProblem(report_text::kSegmentClosed, name, static_cast<long>(result));
  r->current.avi_file = nullptr;
  r->current.raw_stream = nullptr;
  r->current.compressed_stream = nullptr;
  r->current.meta_file = nullptr;
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  r->retired_backlog.push_back(closed);
  ++r->losses.closed_segments;
}

// Grabs one frame and writes it with its .meta line. The line goes first and
// is taken back when the frame does not make it into the AVI: a frame that
// faults or fails in the write gets no line and is not counted, so the next
// one goes to the same position, and lines and frames stay one to one even
// when the file system fills up between the two writes.
void RecordFrame(Recorder* r) {
  SegmentSlot* slot = &r->current;
  GrabFrame(r->grabber);
  const BITMAPINFOHEADER* dib = r->grabber->dib;
  if (dib == nullptr) return;
  std::FILE* meta = slot->meta_file;
  long meta_length = meta != nullptr ? std::ftell(meta) : 0;
  if (meta != nullptr &&
      !WriteFrameLine(meta, r->last_tick.load(), r->grabber->cursor_x, r->grabber->cursor_y)) {
    UnwriteFrameLine(r, meta, slot->slot_index, meta_length);
    CountFailedWrite(r);
    CloseBrokenSegment(r, AVIERR_FILEWRITE);
    return;
  }
  HRESULT result = 0;
  bool faulted = !WriteFrameGuarded(slot, dib, &result);
  if (faulted || result != 0) {
    if (meta != nullptr) UnwriteFrameLine(r, meta, slot->slot_index, meta_length);
    CountFailedWrite(r);
    if (faulted) {
      EmitLogText(log_text::kWriteException);
    } else {
      LogLine(log_text::kStreamWriteFailed, result);
      if (result == AVIERR_FILEWRITE) CloseBrokenSegment(r, result);
    }
    return;
  }
  ++slot->frames;
  ++r->total_frames;
  NoteScreenReading(r, r->grabber->copy_failed != 0);
}

// A tick without a segment to write to waits until its next frame is due (at
// least a millisecond, so it never spins) or until the cook thread has
// installed a prepared segment, whichever comes first.
void WaitForSegment(Recorder* r, int32_t until_frame) {
  WaitForSingleObject(r->segment_ready, static_cast<DWORD>(until_frame > 1 ? until_frame : 1));
}

// Sleeps until the next frame is due or the timeslot ends, whichever comes
// first, and logs the figures. Times wrap at 2^32; differences are read as
// signed values.
void SleepUntilNextFrame(Recorder* r) {
  SegmentSlot* slot = &r->current;
  uint32_t now = timeGetTime();
  int32_t until_frame =
      static_cast<int32_t>(static_cast<uint32_t>(r->frame_interval_ms) + r->last_tick.load() - now);
  int32_t until_slot_end = static_cast<int32_t>(slot->end_tick - now);
  int32_t sleep = until_frame < until_slot_end ? until_frame : until_slot_end;
  if (sleep > 0) {
    slot->sleep_ms += static_cast<uint32_t>(sleep);
    Sleep(static_cast<DWORD>(sleep));
  } else if (slot->compressed_stream == nullptr) {
    WaitForSegment(r, until_frame);
  }
  LogLine(log_text::kSleepMs, sleep, log_text::kSleep1, until_frame, log_text::kSleep2,
          until_slot_end);
}

// True when the current timeslot is over (or the current slot is unusable).
bool TimeslotEnded(const Recorder* r, uint32_t now) {
  uint32_t elapsed_slots = (now - r->start_tick) / static_cast<uint32_t>(r->slot_ms);
  return static_cast<int32_t>(elapsed_slots) > r->current.slot_index || r->current.slot_index < 0;
}

void LogEndingSegment(const Recorder* r) {
  const SegmentSlot& slot = r->current;
  double sleep_share = slot.sleep_ms * 100.0 / r->slot_ms;
  LogLine(log_text::kCurAvi, slot.frames, log_text::kStartTime, slot.start_ms,
          log_text::kSleepShare, sleep_share);
}

// Finalises every segment still held, oldest first. The shared slots are
// taken under the lock: a cook thread left behind by a stop may still be
// running, with what it holds in its own hands.
void FinaliseAll(Recorder* r) {
  std::vector<SegmentSlot> held;
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    held.swap(r->retired_backlog);
    held.push_back(r->retiring);
    held.push_back(r->pending);
    EmptySlot(&r->retiring);
    EmptySlot(&r->pending);
  }
  // current comes before pending in time.
  held.insert(held.end() - 1, r->current);
  EmptySlot(&r->current);
  for (SegmentSlot& slot : held) FinaliseSegment(r, &slot);
}

void AddNoSegmentTime(Recorder* r, uint32_t ms) {
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  r->losses.no_segment_ms += ms;
}

}  // namespace

void EmptySlot(SegmentSlot* slot) {
  slot->avi_file = nullptr;
  slot->raw_stream = nullptr;
  slot->compressed_stream = nullptr;
  slot->meta_file = nullptr;
  slot->frames = 0;
  slot->slot_index = -1;
  slot->sleep_ms = 0;
}

bool SlotHoldsSegment(const SegmentSlot& slot) {
  return slot.avi_file != nullptr || slot.raw_stream != nullptr ||
         slot.compressed_stream != nullptr || slot.meta_file != nullptr;
}

void InitRecorder(Recorder* r, int32_t slotsecs, ScreenGrabber* grabber, int32_t fps) {
  AVIFileInit();
  r->fps = fps;
  r->slot_ms = slotsecs * 1000;
  r->grabber = grabber;
  r->codec_info = grabber->codec_info;
  r->frame_format = *grabber->dib;
  r->segment_ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  r->cook_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EmptySlot(&r->retiring);
  EmptySlot(&r->current);
  EmptySlot(&r->pending);
  r->retired_backlog.reserve(kBacklogReserve);
  r->cook_stop = false;
  r->cook_finished = false;
  r->losses = RecorderLosses{};
  r->last_opened_slot = -1;
  r->last_failed_slot = -1;
  r->preparing_fails = false;
  r->space_low = false;
  r->largest_segment_bytes = 0;
  r->last_tick = 0;
  r->start_tick = timeGetTime();
  r->total_frames = 0;
  r->frame_interval_ms = fps > 0 ? static_cast<int32_t>(1000.0 / fps) : 0;
  PrepareAVI(r, true);
  ShiftAVI(r);
  r->previous_tick_end = r->last_tick.load();
}

Recorder* StartRecorder(Recorder* r, int32_t slotsecs, ScreenGrabber* grabber, int32_t fps) {
  InitRecorder(r, slotsecs, grabber, fps);
  r->cook_thread = std::thread(CookThreadProc, r);
  return r;
}

int32_t RecorderTick(Recorder* r) {
  bool had_stream = r->current.compressed_stream != nullptr;
  if (had_stream) RecordFrame(r);
  SleepUntilNextFrame(r);
  uint32_t now = timeGetTime();
  if (!had_stream) AddNoSegmentTime(r, now - r->previous_tick_end);
  r->previous_tick_end = now;
  r->last_tick = now;
  if (TimeslotEnded(r, now)) {
    LogEndingSegment(r);
    ShiftAVI(r);
  }
  return 0;
}

bool StopRecorder(Recorder* r) {
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    r->cook_stop = true;
  }
  SetEvent(r->cook_wake);
  bool ended;
  {
    std::unique_lock<std::mutex> lock(r->hand_over_lock);
    ended = !r->cook_thread.joinable() ||
            r->cook_done.wait_for(lock, std::chrono::seconds(kCookStopWaitSeconds),
                                  [r] { return r->cook_finished; });
  }
  if (ended) {
    if (r->cook_thread.joinable()) r->cook_thread.join();
    FinishRecorder(r);
    return true;
  }
  // Stuck in a file operation: it cannot be ended safely, so it is left to
  // the end of the process, and the events it may still use stay open.
  ReportProblem(report_text::kCookLeftBehind, kCookStopWaitSeconds);
  r->cook_thread.detach();
  FinaliseAll(r);
  AVIFileExit();
  return false;
}

void FinishRecorder(Recorder* r) {
  FinaliseAll(r);
  AVIFileExit();
  CloseHandle(r->segment_ready);
  r->segment_ready = nullptr;
  CloseHandle(r->cook_wake);
  r->cook_wake = nullptr;
}

RecorderLosses RecorderLossesSoFar(Recorder* r) {
  std::lock_guard<std::mutex> lock(r->hand_over_lock);
  return r->losses;
}
