#include "platform/linux/common/frame_changes.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace frames {
namespace {

// The last write noted for one buffer.
struct Note {
  const void* bits = nullptr;
  std::size_t bytes = 0;
  int rows = 0;
  std::uint64_t serial = 0;           // 0: the slot is free
  std::uint64_t previous_serial = 0;  // of the write before it to the same buffer; 0: none
  bool all_changed = true;
  std::vector<std::uint8_t> changed;  // one flag per row unless all_changed; capacity kept
  std::uint64_t used = 0;             // when it was last written or read, for replacing
};

// A recorder writes one buffer; a few are kept so that tests and benchmarks
// with several do not push each other out.
constexpr std::size_t kNotes = 4;

std::mutex g_mutex;
Note g_notes[kNotes];      // under g_mutex
std::uint64_t g_serial = 0;  // under g_mutex; the last serial given
std::uint64_t g_clock = 0;   // under g_mutex

Note* find(const void* bits) {
  for (Note& note : g_notes)
    if (note.serial != 0 && note.bits == bits) return &note;
  return nullptr;
}

}  // namespace

std::uint64_t note_written(const void* bits, std::size_t bytes, int rows, const std::uint8_t* changed_rows,
                           std::uint64_t writer_serial) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Note* note = find(bits);
  std::uint64_t previous = 0;
  if (note != nullptr && note->bytes == bytes && note->rows == rows) previous = note->serial;
  // Rows changed since the writer's own last write say nothing about what
  // another writer left there meanwhile.
  if (writer_serial == 0 || previous != writer_serial) changed_rows = nullptr;
  if (note == nullptr) {
    note = &g_notes[0];
    for (Note& candidate : g_notes)
      if (candidate.serial == 0 || candidate.used < note->used) note = &candidate;
  }
  note->bits = bits;
  note->bytes = bytes;
  note->rows = rows;
  note->serial = ++g_serial;
  note->previous_serial = previous;
  note->all_changed = changed_rows == nullptr || rows <= 0;
  if (!note->all_changed) note->changed.assign(changed_rows, changed_rows + rows);
  note->used = ++g_clock;
  return note->serial;
}

LastWrite last_write(const void* bits, std::size_t bytes, int rows, std::uint64_t seen, std::uint8_t* changed_rows) {
  std::lock_guard<std::mutex> lock(g_mutex);
  LastWrite result;
  Note* note = find(bits);
  if (note == nullptr || note->bytes != bytes || note->rows != rows) return result;
  note->used = ++g_clock;
  result.serial = note->serial;
  if (seen == 0 || note->previous_serial != seen) return result;
  if (note->all_changed) {
    std::fill(changed_rows, changed_rows + rows, 1);
  } else {
    for (int i = 0; i < rows; ++i) changed_rows[i] |= note->changed[static_cast<std::size_t>(i)];
  }
  result.changes_known = true;
  return result;
}

}  // namespace frames
