// The grabber on the fake screen and compressor manager: size negotiation,
// the DIB block and header, the cursor, and releasing everything.
#include "capture/screen_grabber.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/fake/fake_platform.h"

namespace {

LRESULT EvenSizesOnly(const BITMAPINFOHEADER& h) {
  return (h.biWidth % 2 == 0 && h.biHeight % 2 == 0) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT RefuseAll(const BITMAPINFOHEADER&) { return ICERR_BADFORMAT; }

class Grabber : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    CloseGrabber(&grabber);
    fake::Counters counted = fake::ReadCounters();
    EXPECT_EQ(counted.live_screen_objects, 0);
    EXPECT_EQ(counted.live_global_blocks, 0);
    // Nothing was asked that the system would refuse.
    EXPECT_EQ(counted.refused, std::vector<std::string>{});
  }

  void UseScreen(int width, int height) {
    fake::FakeScreen screen;
    screen.primary_width = screen.virtual_width = width;
    screen.primary_height = screen.virtual_height = height;
    fake::SetScreen(screen);
  }

  // A compressor that cannot be opened for the negotiation is still found
  // (the lookup's own open succeeds).
  void UseCompressor(std::function<LRESULT(const BITMAPINFOHEADER&)> query,
                     bool open_fails = false) {
    fake::FakeCompressor c;
    c.query = std::move(query);
    if (open_fails) c.opens_allowed = 1;
    fake::SetCompressors({c});
  }

  ScreenGrabber grabber{};
};

TEST_F(Grabber, AcceptedAtOnceKeepsTheFullScreen) {
  UseScreen(1920, 1080);
  ASSERT_EQ(OpenGrabber(&grabber, 1, 0), &grabber);
  EXPECT_EQ(fake::ReadCounters().compressor_calls.queries.size(), 1u);
  EXPECT_EQ(grabber.width, 1920);
  EXPECT_EQ(grabber.height, 1080);
  const BITMAPINFOHEADER& h = *grabber.dib;
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 1920);
  EXPECT_EQ(h.biHeight, 1080);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_EQ(h.biSizeImage, 6220800u);
  EXPECT_EQ(h.biClrUsed, 0u);
  EXPECT_EQ(grabber.dib_bytes, 6220840);
  EXPECT_EQ(grabber.failure, kGrabberOpened);
  // The compressor was asked with a real frame and closed again.
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.screen_calls.get_dibits, 1);
  EXPECT_EQ(counted.open_compressor_handles, 0);
}

TEST_F(Grabber, TrimsRowsBeforeColumnsUntilTheCompressorAccepts) {
  struct Case {
    int width, height;
    size_t trials;
    int32_t final_width, final_height;
    DWORD image_bytes;
  };
  for (const Case& c : {Case{1365, 768, 10, 1364, 768, 3142656},
                        Case{1366, 767, 2, 1366, 766, 3140600}}) {
    SCOPED_TRACE(c.width);
    fake::Reset();
    UseScreen(c.width, c.height);
    UseCompressor(EvenSizesOnly);
    ScreenGrabber g{};
    ASSERT_NE(OpenGrabber(&g, 1, 0), nullptr);
    auto queries = fake::ReadCounters().compressor_calls.queries;
    ASSERT_EQ(queries.size(), c.trials);
    for (size_t i = 0; i < queries.size() && i < 9; ++i) {
      EXPECT_EQ(queries[i], std::make_pair(c.width, c.height - static_cast<int>(i)));
    }
    EXPECT_EQ(g.width, c.final_width);
    EXPECT_EQ(g.height, c.final_height);
    EXPECT_EQ(g.dib->biSizeImage, c.image_bytes);
    EXPECT_EQ(g.dib_bytes, static_cast<int32_t>(c.image_bytes + 40));
    CloseGrabber(&g);
  }
}

TEST_F(Grabber, RefusedEverywhereEndsEightColumnsAndRowsSmaller) {
  for (bool open_fails : {false, true}) {
    SCOPED_TRACE(open_fails);
    fake::Reset();
    UseScreen(800, 600);
    UseCompressor(RefuseAll, open_fails);
    ScreenGrabber g{};
    ASSERT_NE(OpenGrabber(&g, 0, 0), nullptr);
    fake::Counters counted = fake::ReadCounters();
    const auto& queries = counted.compressor_calls.queries;
    ASSERT_EQ(queries.size(), 81u);
    EXPECT_EQ(queries[9], std::make_pair(799, 600));
    EXPECT_EQ(queries.back(), std::make_pair(792, 592));
    EXPECT_EQ(g.width, 792);
    EXPECT_EQ(g.height, 592);
    EXPECT_EQ(g.dib->biWidth, 792);
    EXPECT_EQ(g.dib->biHeight, 592);
    EXPECT_EQ(counted.open_compressor_handles, 0);
    // Every change of size replaced the bitmap, and no old one was left behind.
    EXPECT_EQ(counted.screen_calls.create_bitmap, 81);
    EXPECT_EQ(counted.screen_calls.bitmaps_deleted, 80);
    CloseGrabber(&g);
  }
}

TEST_F(Grabber, StrideIsThreeBytesAPixelRaisedToAMultipleOfFour) {
  EXPECT_EQ(DibStride(1), 4);
  EXPECT_EQ(DibStride(3), 12);
  EXPECT_EQ(DibStride(4), 12);
  EXPECT_EQ(DibStride(1365), 4096);
  EXPECT_EQ(DibStride(1366), 4100);
  EXPECT_EQ(DibStride(1920), 5760);
}

TEST_F(Grabber, GrabsAtASettledSizeReuseBitmapAndBlock) {
  UseScreen(640, 480);
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  BITMAPINFOHEADER* dib = grabber.dib;
  fake::ScreenCalls before = fake::ReadCounters().screen_calls;
  GrabFrame(&grabber);
  GrabFrame(&grabber);
  fake::ScreenCalls after = fake::ReadCounters().screen_calls;
  EXPECT_EQ(grabber.dib, dib);
  EXPECT_EQ(after.create_bitmap, before.create_bitmap);
  EXPECT_EQ(after.global_alloc, before.global_alloc);
  EXPECT_EQ(after.bitblt, before.bitblt + 2);
  EXPECT_EQ(after.get_dibits, before.get_dibits + 2);
  // The pixels behind the header are the latest copy (the fake writes the
  // copy count into every byte).
  auto* pixels = reinterpret_cast<unsigned char*>(dib) + 40;
  EXPECT_EQ(pixels[0], 3);
  EXPECT_EQ(pixels[dib->biSizeImage - 1], 3);
}

TEST_F(Grabber, CursorPositionIsTheImageCornerAndDrawnOnlyWhenAsked) {
  UseScreen(640, 480);
  fake::FakeCursor cursor;
  cursor.x = 100;
  cursor.y = 200;
  cursor.hotspot_x = 5;
  cursor.hotspot_y = 8;
  fake::SetCursor(cursor);
  for (int32_t with_cursor : {0, 1}) {
    SCOPED_TRACE(with_cursor);
    ScreenGrabber g{};
    ASSERT_NE(OpenGrabber(&g, with_cursor, 0), nullptr);
    int drawn_before = static_cast<int>(fake::ReadCounters().screen_calls.draw_icon_at.size());
    int deleted_before = fake::ReadCounters().screen_calls.icon_bitmaps_deleted;
    GrabFrame(&g);
    EXPECT_EQ(g.cursor_x, 95);
    EXPECT_EQ(g.cursor_y, 192);
    auto drawn = fake::ReadCounters().screen_calls.draw_icon_at;
    EXPECT_EQ(static_cast<int>(drawn.size()) - drawn_before, with_cursor);
    if (with_cursor) {
      EXPECT_EQ(drawn.back(), std::make_pair(95, 192));
    }
    // Both bitmaps of the icon information are deleted after every grab.
    EXPECT_EQ(fake::ReadCounters().screen_calls.icon_bitmaps_deleted - deleted_before, 2);
    CloseGrabber(&g);
  }
}

TEST_F(Grabber, NegativeCursorPositionsAreKept) {
  UseScreen(640, 480);
  fake::FakeCursor cursor;
  cursor.x = 2;
  cursor.y = 1;
  cursor.hotspot_x = 10;
  cursor.hotspot_y = 10;
  cursor.has_mask = false;  // a colour cursor without mask
  fake::SetCursor(cursor);
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  EXPECT_EQ(grabber.cursor_x, -8);
  EXPECT_EQ(grabber.cursor_y, -9);
  EXPECT_EQ(fake::ReadCounters().screen_calls.draw_icon_at.back(), std::make_pair(-8, -9));
}

TEST_F(Grabber, WithoutACursorTheLastPositionStaysAndNothingIsDrawn) {
  UseScreen(640, 480);
  fake::FakeCursor cursor;
  cursor.x = 50;
  cursor.y = 60;
  fake::SetCursor(cursor);
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  cursor.query_fails = true;
  fake::SetCursor(cursor);
  fake::ScreenCalls before = fake::ReadCounters().screen_calls;
  GrabFrame(&grabber);
  fake::ScreenCalls after = fake::ReadCounters().screen_calls;
  EXPECT_EQ(grabber.cursor_x, 50);
  EXPECT_EQ(grabber.cursor_y, 60);
  EXPECT_EQ(after.draw_icon_at.size(), before.draw_icon_at.size());
  EXPECT_EQ(after.icon_bitmaps_deleted, before.icon_bitmaps_deleted);
  EXPECT_EQ(after.bitblt, before.bitblt + 1);
}

TEST_F(Grabber, WholeDesktopStartsAtItsOwnCornerLeftOfThePrimaryScreen) {
  fake::FakeScreen screen;
  screen.primary_width = 1024;
  screen.primary_height = 768;
  screen.virtual_x = -1280;
  screen.virtual_y = -200;
  screen.virtual_width = 2304;
  screen.virtual_height = 1024;
  fake::SetScreen(screen);
  fake::FakeCursor cursor;
  cursor.x = -1000;
  cursor.y = 10;
  fake::SetCursor(cursor);
  ASSERT_NE(OpenGrabber(&grabber, 1, 1), nullptr);
  EXPECT_EQ(grabber.width, 2304);
  EXPECT_EQ(grabber.height, 1024);
  fake::ScreenCalls calls = fake::ReadCounters().screen_calls;
  EXPECT_EQ(calls.bitblt_sources.back(), std::make_pair(-1280, -200));
  // The position stays in screen coordinates; the cursor lands where it is
  // in the frame.
  EXPECT_EQ(grabber.cursor_x, -1000);
  EXPECT_EQ(grabber.cursor_y, 10);
  EXPECT_EQ(calls.draw_icon_at.back(), std::make_pair(280, 210));

  // The primary screen alone is copied from the screen's own corner.
  CloseGrabber(&grabber);
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  EXPECT_EQ(grabber.width, 1024);
  EXPECT_EQ(fake::ReadCounters().screen_calls.bitblt_sources.back(), std::make_pair(0, 0));
}

TEST_F(Grabber, FailsCleanlyWithoutCompressorOrScreen) {
  fake::SetCompressors({});
  EXPECT_EQ(OpenGrabber(&grabber, 1, 0), nullptr);
  EXPECT_EQ(grabber.failure, kGrabberNoCompressor);
  EXPECT_EQ(fake::ReadCounters().screen_calls.get_dc, 0);
  EXPECT_EQ(grabber.codec_info, nullptr);

  fake::Reset();
  fake::FakeScreen screen;
  screen.dc_fails = true;
  fake::SetScreen(screen);
  EXPECT_EQ(OpenGrabber(&grabber, 1, 0), nullptr);
  EXPECT_EQ(grabber.failure, kGrabberNoScreen);

  fake::Reset();
  UseScreen(8, 600);  // no room to trim eight columns
  EXPECT_EQ(OpenGrabber(&grabber, 1, 0), nullptr);
  EXPECT_EQ(grabber.failure, kGrabberNoScreen);
}

TEST_F(Grabber, CloseReleasesEverythingOnceEvenWhenCalledTwice) {
  UseScreen(320, 240);
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  EXPECT_GT(fake::ReadCounters().live_screen_objects, 0);
  CloseGrabber(&grabber);
  CloseGrabber(&grabber);
  fake::ScreenCalls calls = fake::ReadCounters().screen_calls;
  EXPECT_EQ(calls.release_dc, 1);
  EXPECT_EQ(calls.delete_dc, 1);
  EXPECT_EQ(calls.global_free, calls.global_alloc);
  EXPECT_EQ(grabber.dib, nullptr);
}

}  // namespace
