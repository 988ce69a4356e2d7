// The compressor's shortcuts on frames that hardly change, kept honest: the
// fast colour conversions against their plain reference (bytes and change
// flags), and lossless files whose every decoded frame is exactly the
// conversion of the DIB that was written, whether the compressor converted
// it whole or only the rows GetDIBits noted, coded its macroblocks or was
// told they were unchanged, or had rested and started a new encoder.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/common/frame_changes.h"
#include "platform/linux/video/x264_compressor.h"
#include "platform/linux/video/yuv_convert.h"
#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

// The YUV 4:2:0 picture (planes one after the other, as ffmpeg writes raw
// yuv420p) the reference conversion makes of a bottom-up DIB.
std::vector<std::uint8_t> reference_yuv(const BITMAPINFOHEADER& h, const std::vector<std::uint8_t>& dib) {
  const int w = h.biWidth, rows = h.biHeight;
  const std::ptrdiff_t stride = ((w * h.biBitCount + 31) / 32) * 4;
  std::vector<std::uint8_t> yuv(static_cast<std::size_t>(w) * rows * 3 / 2);
  const yuv::Target target{yuv.data(), yuv.data() + w * rows, yuv.data() + w * rows + (w / 2) * (rows / 2), w, w / 2};
  yuv::bgr_to_i420(dib.data() + stride * (rows - 1), -stride, h.biBitCount / 8, w, rows, target, nullptr,
                   yuv::Impl::kReference);
  return yuv;
}

TEST(Conversion, FastVersionsGiveTheReferenceBytesAndFlags) {
  struct Version {
    yuv::Impl impl;
    const char* name;
  };
  // The reference first, then each fast version this processor can run.
  std::vector<Version> impls{{yuv::Impl::kReference, "reference"}};
  for (Version fast : {Version{yuv::Impl::kAvx2, "avx2"}, Version{yuv::Impl::kSsse3, "ssse3"}})
    if (yuv::impl_available(fast.impl)) impls.push_back(fast);
  if (impls.size() == 1) GTEST_SKIP() << "neither AVX2 nor SSSE3 on this processor";
  std::mt19937 random(7);
  for (int bpp : {3, 4}) {
    for (int width : {2, 16, 18, 20, 34, 50, 322, 1366}) {
      const int rows = 6;
      const std::ptrdiff_t stride = ((width * bpp * 8 + 31) / 32) * 4;
      // Exactly one row's worth of slack behind the last row, as in a DIB.
      std::vector<std::uint8_t> src(static_cast<std::size_t>(stride) * rows);
      // Half the bytes at an extreme, so that the sums reach the bounds the
      // fast versions' intermediate words must hold.
      for (auto& b : src) {
        const unsigned r = static_cast<unsigned>(random());
        b = static_cast<std::uint8_t>(r % 4 == 0 ? 0 : r % 4 == 1 ? 255 : r >> 8);
      }
      const std::size_t luma = static_cast<std::size_t>(width) * rows;
      const std::size_t chroma = static_cast<std::size_t>(width / 2) * (rows / 2);
      std::vector<std::vector<std::uint8_t>> out(impls.size()), flags(impls.size());
      for (int round = 0; round < 3; ++round) {
        if (round == 2) {
          // One byte of one pixel: only its group may be flagged.
          const int x = static_cast<int>(random() % static_cast<unsigned>(width));
          src[static_cast<std::size_t>(stride) * (random() % rows) + static_cast<std::size_t>(x) * bpp + 1] ^= 0x80;
        }
        for (std::size_t impl = 0; impl < impls.size(); ++impl) {
          const char* name = impls[impl].name;
          if (round == 0) out[impl].assign(luma + 2 * chroma, 0x55);
          flags[impl].assign(static_cast<std::size_t>(width + 15) / 16, 0);
          std::vector<std::uint8_t> before = out[impl];
          const yuv::Target t{out[impl].data(), out[impl].data() + luma, out[impl].data() + luma + chroma, width,
                              width / 2};
          yuv::bgr_to_i420(src.data() + stride * (rows - 1), -stride, bpp, width, rows, t, flags[impl].data(),
                           impls[impl].impl);
          // A group is flagged exactly when a byte of it changed.
          std::vector<std::uint8_t> truth(flags[impl].size(), 0);
          for (std::size_t i = 0; i < out[impl].size(); ++i) {
            if (out[impl][i] == before[i]) continue;
            const std::size_t column = i < luma ? i % width : (i - luma) % chroma % (width / 2) * 2;
            truth[column / 16] = 1;
          }
          EXPECT_EQ(flags[impl], truth) << name << " bpp " << bpp << " width " << width << " round " << round;
          if (impl > 0) {
            ASSERT_EQ(out[0], out[impl]) << name << " bpp " << bpp << " width " << width << " round " << round;
          }
        }
      }
    }
  }
}

// The notes say which rows changed only to a reader that converted the
// write just before: after two writes, after a write by another writer
// (whose rows say nothing of the first's), or without any write, it is told
// nothing and converts the whole frame.
TEST(FrameNotes, OnlyTheWriteRightAfterTheOneReadNamesItsRows) {
  std::vector<std::uint8_t> buffer(4 * 16);
  std::vector<std::uint8_t> none(4, 0), second_row{0, 1, 0, 0};
  std::vector<std::uint8_t> seen(4, 0);
  const std::uint64_t a1 = frames::note_written(buffer.data(), buffer.size(), 4, nullptr);
  frames::LastWrite w = frames::last_write(buffer.data(), buffer.size(), 4, 0, seen.data());
  EXPECT_EQ(w.serial, a1);
  EXPECT_FALSE(w.changes_known);  // nothing read before

  const std::uint64_t a2 = frames::note_written(buffer.data(), buffer.size(), 4, second_row.data(), a1);
  w = frames::last_write(buffer.data(), buffer.size(), 4, a1, seen.data());
  EXPECT_EQ(w.serial, a2);
  EXPECT_TRUE(w.changes_known);
  EXPECT_EQ(seen, second_row);

  w = frames::last_write(buffer.data(), buffer.size(), 4, a2, seen.data());
  EXPECT_FALSE(w.changes_known);  // no write since: read it all

  // Writer B, then A again with "nothing changed" since its own last write.
  const std::uint64_t b1 = frames::note_written(buffer.data(), buffer.size(), 4, none.data(), 0);
  const std::uint64_t a3 = frames::note_written(buffer.data(), buffer.size(), 4, none.data(), a2);
  std::fill(seen.begin(), seen.end(), 0);
  w = frames::last_write(buffer.data(), buffer.size(), 4, b1, seen.data());
  EXPECT_EQ(w.serial, a3);
  EXPECT_TRUE(w.changes_known);
  EXPECT_EQ(seen, std::vector<std::uint8_t>(4, 1));

  // Two writes since the one read: unknown.
  const std::uint64_t a4 = frames::note_written(buffer.data(), buffer.size(), 4, none.data(), a3);
  frames::note_written(buffer.data(), buffer.size(), 4, none.data(), a4);
  EXPECT_FALSE(frames::last_write(buffer.data(), buffer.size(), 4, a3, seen.data()).changes_known);
  // Another size at the same address is another buffer.
  EXPECT_EQ(frames::last_write(buffer.data(), buffer.size() - 4, 4, a4, seen.data()).serial, 0u);
}

// Paints a w x h rectangle at (x, y), counted from the frame's top, into a
// bottom-up 24-bit DIB.
void paint(const BITMAPINFOHEADER& h, std::vector<std::uint8_t>& dib, int x, int y, int w, int rows,
           std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  const std::size_t stride = static_cast<std::size_t>(((h.biWidth * 24 + 31) / 32) * 4);
  for (int row = y; row < y + rows; ++row)
    for (int col = x; col < x + w; ++col) {
      std::uint8_t* p = dib.data() + stride * static_cast<std::size_t>(h.biHeight - 1 - row) + col * 3;
      p[0] = b;
      p[1] = g;
      p[2] = r;
    }
}

// The note GetDIBits would leave for rows y .. y+rows-1 of the frame (in the
// DIB's bottom-up memory order); rows 0: nothing changed. `serial` is the
// writer's last note.
void note_rows(const BITMAPINFOHEADER& h, const std::vector<std::uint8_t>& dib, int y, int rows,
               std::uint64_t* serial) {
  std::vector<std::uint8_t> changed(static_cast<std::size_t>(h.biHeight), 0);
  for (int row = y; row < y + rows; ++row) changed[static_cast<std::size_t>(h.biHeight - 1 - row)] = 1;
  *serial = frames::note_written(dib.data(), dib.size(), h.biHeight, changed.data(), *serial);
}

HRESULT write(const Segment& s, LONG position, std::vector<std::uint8_t>& dib) {
  return AVIStreamWrite(s.compressed, position, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr, nullptr);
}

// A lossless recording of a screen that mostly stands still, fed as the
// recorder feeds it: one DIB buffer, refilled for every frame, sometimes
// with GetDIBits' note of the rows it changed. Every decoded frame is the
// reference conversion of what the buffer held; frames that changed nothing
// are coded as skips (a few bytes); and a frame that comes after the
// stream's encoder was let go (when the next segment took its first frame)
// starts a new encoder with a key frame.
TEST(LosslessSkipping, DecodedFramesAreExactlyTheDibsWritten) {
  PrivateSettings settings;
  ScratchDir dir;
  set_x264_dword("encoding_type", 3);
  AVIFileInit();
  const BITMAPINFOHEADER h = dib_header(200, 120, 24);
  std::vector<std::uint8_t> dib = colour_bars(h, 0);
  std::vector<std::vector<std::uint8_t>> written;
  const std::string path = dir.file("skips.avi");
  Segment s = open_segment(path, h, 20);
  auto frame = [&](LONG position) {
    ASSERT_EQ(write(s, position, dib), AVIERR_OK) << "frame " << position;
    written.push_back(dib);
  };

  std::uint64_t serial = frames::note_written(dib.data(), dib.size(), h.biHeight, nullptr);
  frame(0);                                      // the first frame: all of it
  frame(1);                                      // the same buffer, no new note: compared whole
  paint(h, dib, 40, 30, 20, 10, 10, 200, 30);
  note_rows(h, dib, 30, 10, &serial);
  frame(2);                                      // a small change, noted
  note_rows(h, dib, 0, 0, &serial);
  frame(3);                                      // noted as unchanged
  paint(h, dib, 150, 90, 30, 20, 250, 250, 0);
  frame(4);                                      // changed, not noted: compared whole
  paint(h, dib, 0, 0, 200, 2, 0, 0, 0);
  paint(h, dib, 3, 100, 1, 1, 255, 255, 255);
  note_rows(h, dib, 0, 120, &serial);
  frame(5);                                      // a note of every row

  // The next segment takes its first frame: this stream's encoder rests.
  Segment next = open_segment(dir.file("next.avi"), h, 20);
  std::vector<std::uint8_t> other = colour_bars(h, 3);
  ASSERT_EQ(write(next, 0, other), AVIERR_OK);
  paint(h, dib, 60, 60, 16, 16, 1, 2, 3);
  note_rows(h, dib, 60, 16, &serial);
  frame(6);                                      // after all: a new encoder
  frame(7);
  release_segment(s);
  release_segment(next);
  AVIFileExit();

  const int count = static_cast<int>(written.size());
  ASSERT_EQ(probe_stream(path).frames, count);
  std::vector<std::uint8_t> decoded = decode_raw(path, "yuv420p", 0, count);
  const std::size_t picture = static_cast<std::size_t>(h.biWidth) * h.biHeight * 3 / 2;
  ASSERT_EQ(decoded.size(), picture * written.size());
  for (int i = 0; i < count; ++i) {
    std::vector<std::uint8_t> expected = reference_yuv(h, written[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), decoded.begin() + static_cast<std::ptrdiff_t>(picture) * i))
        << "frame " << i;
  }
  std::vector<std::string> sizes = probe_entries(path, "packet=size");
  ASSERT_EQ(sizes.size(), written.size());
  for (int i : {1, 3, 7}) EXPECT_LT(std::stol(sizes[static_cast<std::size_t>(i)]), 64) << "frame " << i;
  std::vector<bool> keys = probe_key_frames(path);
  ASSERT_EQ(keys.size(), written.size());
  EXPECT_TRUE(keys[0]);
  EXPECT_FALSE(keys[5]);
  EXPECT_TRUE(keys[6]);
}

}  // namespace
