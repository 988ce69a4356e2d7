#include "recording/recorder.h"

#include <cstdio>

#include "platform/guarded_call.h"
#include "recording/diagnostic_log.h"
#include "recording/log_texts.h"
#include "recording/segments.h"

namespace {

// Room for the retired segments a shift may have to keep, so that the main
// thread normally allocates nothing while recording.
constexpr std::size_t kBacklogReserve = 8;

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

// Grabs one frame and writes it with its .meta line. A frame that faults or
// fails in the write gets no line and is not counted, so the next one goes
// to the same position and lines and frames stay one to one.
void RecordFrame(Recorder* r) {
  SegmentSlot* slot = &r->current;
  GrabFrame(r->grabber);
  const BITMAPINFOHEADER* dib = r->grabber->dib;
  if (dib == nullptr) return;
  HRESULT result = 0;
  if (!WriteFrameGuarded(slot, dib, &result)) {
    std::printf("%s", log_text::kWriteException);
    return;
  }
  if (result != 0) {
    LogLine(log_text::kStreamWriteFailed, result);
    return;
  }
  if (slot->meta_file != nullptr) {
    WriteFrameLine(slot->meta_file, r->last_tick.load(), r->grabber->cursor_x, r->grabber->cursor_y);
  }
  ++slot->frames;
  ++r->total_frames;
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

// Finalises every segment still held, oldest first. The cook thread has
// ended, so the shared slots are the main thread's alone.
void FinaliseAll(Recorder* r) {
  for (SegmentSlot& slot : r->retired_backlog) FinaliseSegment(&slot);
  r->retired_backlog.clear();
  FinaliseSegment(&r->retiring);
  FinaliseSegment(&r->current);
  FinaliseSegment(&r->pending);
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
  EmptySlot(&r->retiring);
  EmptySlot(&r->current);
  EmptySlot(&r->pending);
  r->retired_backlog.reserve(kBacklogReserve);
  r->cook_stop = false;
  r->last_opened_slot = -1;
  r->last_tick = 0;
  r->start_tick = timeGetTime();
  r->total_frames = 0;
  r->frame_interval_ms = fps > 0 ? static_cast<int32_t>(1000.0 / fps) : 0;
  PrepareAVI(r, true);
  ShiftAVI(r);
}

Recorder* StartRecorder(Recorder* r, int32_t slotsecs, ScreenGrabber* grabber, int32_t fps) {
  InitRecorder(r, slotsecs, grabber, fps);
  r->cook_thread = std::thread(CookThreadProc, r);
  return r;
}

int32_t RecorderTick(Recorder* r) {
  if (r->current.compressed_stream != nullptr) RecordFrame(r);
  SleepUntilNextFrame(r);
  uint32_t now = timeGetTime();
  r->last_tick = now;
  if (TimeslotEnded(r, now)) {
    LogEndingSegment(r);
    ShiftAVI(r);
  }
  return 0;
}

void StopRecorder(Recorder* r) {
  {
    std::lock_guard<std::mutex> lock(r->hand_over_lock);
    r->cook_stop = true;
  }
  r->cook_wake.notify_all();
  if (r->cook_thread.joinable()) r->cook_thread.join();
  FinishRecorder(r);
}

void FinishRecorder(Recorder* r) {
  FinaliseAll(r);
  AVIFileExit();
}
