// What the screen layer tells the compressor about a frame: which rows of a
// DIB that GetDIBits wrote are not what it wrote there the time before.
//
// The recorder hands the compressor the DIB that GetDIBits filled, and on
// an idle desktop almost all of it is what the previous frame held. GetDIBits
// knows which rows the screen changed; it notes them here, by the address
// of the buffer, and the compressor converts only those rows (it still
// compares what it converts, so the rows named are an upper bound, never
// the last word). The compressor trusts a note only when the buffer was
// written exactly once since the frame it last converted from it, so a
// buffer refilled by anyone else, or read twice without a new write, is
// converted whole. What it cannot see is a buffer changed by someone else
// between GetDIBits and the compressor; nothing in this program does that.
//
// Any thread; the notes are guarded by one mutex.
#pragma once

#include <cstddef>
#include <cstdint>

namespace frames {

// GetDIBits has written `rows` rows into the `bytes` bytes at `bits`.
// `changed_rows` (one flag per row, in memory order: row i starts at
// bits + i * bytes / rows) says which rows may differ from what the writer's
// own last note for the buffer described; null: all. `writer_serial` is
// that note's serial (0: none). When the buffer's
// last note is not the writer's own (another writer wrote there since),
// every row counts as changed. Returns the new serial.
std::uint64_t note_written(const void* bits, std::size_t bytes, int rows, const std::uint8_t* changed_rows,
                           std::uint64_t writer_serial = 0);

struct LastWrite {
  std::uint64_t serial = 0;    // of the last note for the buffer; 0: none
  bool changes_known = false;  // changed_rows has been filled in
};

// What is known of the buffer at `bits` of `bytes` bytes in `rows` rows.
// When its last write is the one right after the write whose serial is
// `seen` (not 0), the rows that write changed are set to 1 in
// `changed_rows` (one flag per row, memory order; others are left alone)
// and changes_known is true.
LastWrite last_write(const void* bits, std::size_t bytes, int rows, std::uint64_t seen, std::uint8_t* changed_rows);

}  // namespace frames
