// The formats the recorder writes and the tools read, each read back from
// what its writer gives: the account line, the .meta frame line, and the
// RIFF walk and header patches of an AVI file (on a file built byte by byte
// here, with sizes that lie).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/avi_chunks.h"
#include "formats/meta_text.h"
#include "formats/run_account.h"

namespace {

TEST(AccountLine, IsWrittenAsTheReadmeShowsReadBackAndDecidesTheExitStatus) {
  RunAccount account;
  account.directory = "2026-12-08-09-05-07-042";
  account.segments = 30;
  account.frames = 1198;
  account.bytes = 10066330;  // 9.6 MiB
  account.stop = RunStop::kInterrupt;
  const std::string line = FormatRunAccount(account);
  EXPECT_EQ(line,
            "slotrec: 2026-12-08-09-05-07-042: 30 segments, 1198 frames, 9.6 MiB; 0 frames not "
            "written, 0 segments not prepared, 0 not completed, 0.0 s without a segment, 0 frames "
            "while the screen could not be read; stopped by an interrupt (Ctrl-C, SIGINT)\n");
  EXPECT_EQ(RunAccountExitStatus(account), 0);

  account.losses.failed_writes = 2;
  account.losses.unprepared_segments = 1;
  account.losses.no_segment_ms = 4260;
  account.incomplete_files = 3;
  account.stop = RunStop::kSessionEnded;
  std::optional<RunAccount> back = FindRunAccount(
      "slotrec: 000-01.avi: a frame could not be written (code -2147205005); the segment is "
      "closed\n" + FormatRunAccount(account) + "slotrec: after\n");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->directory, account.directory);
  EXPECT_EQ(back->segments, 30);
  EXPECT_EQ(back->frames, 1198);
  EXPECT_EQ(back->losses.failed_writes, 2);
  EXPECT_EQ(back->losses.unprepared_segments, 1);
  EXPECT_EQ(back->losses.no_segment_ms, 4300u);  // as the line rounds it
  EXPECT_EQ(back->incomplete_files, 3u);
  EXPECT_EQ(back->stop, RunStop::kSessionEnded);
  EXPECT_EQ(RunAccountExitStatus(*back), kExitLostRecording);

  // Only the exact line: a figure spelt otherwise, a reason it never gives,
  // a line cut short.
  for (std::string bad : {std::string("30 segments"), std::string("stopped by an interrupt"),
                          std::string("\n")}) {
    std::string changed = line;
    std::string by = bad == "30 segments" ? "+30 segments" : bad == "\n" ? "" : "stopped by a cat";
    changed.replace(changed.find(bad), bad.size(), by);
    EXPECT_FALSE(ParseRunAccount(changed).has_value()) << changed;
  }

  // What the line does not print still fails the run: a segment closed
  // early, a segment thread left behind.
  RunAccount closed;
  closed.losses.closed_segments = 1;
  EXPECT_EQ(RunAccountExitStatus(closed), kExitLostRecording);
  RunAccount stuck;
  stuck.threads_ended = false;
  EXPECT_EQ(RunAccountExitStatus(stuck), kExitLostRecording);
}

TEST(MetaFrameLine, ReadsBackEveryTimeTheTimerGivesAndNothingElse) {
  char path[] = "/tmp/slotrec-meta-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::FILE* file = fdopen(fd, "w+b");
  const std::vector<MetaFrameLine> frames = {
      {0, 0, 0}, {2147483647u, -1280, 300}, {2147483648u, 5, -7}, {4294967295u, 2147483647, 1},
      {2147483648u, -2147483647 - 1, -2147483647 - 1}};  // the longest line
  for (const MetaFrameLine& frame : frames) ASSERT_GT(WriteMetaFrameLine(file, frame), 0);
  std::rewind(file);
  char text[128];
  for (const MetaFrameLine& frame : frames) {
    ASSERT_NE(std::fgets(text, sizeof text, file), nullptr);
    std::string line = text;
    ASSERT_EQ(line.substr(line.size() - 2), meta_text::kLineEnd);
    MetaFrameLine back;
    ASSERT_TRUE(ParseMetaFrameLine(line.substr(0, line.size() - 2), &back)) << line;
    EXPECT_EQ(back.time, frame.time);
    EXPECT_EQ(back.x, frame.x);
    EXPECT_EQ(back.y, frame.y);
  }
  std::fclose(file);
  std::remove(path);
  MetaFrameLine ignored;
  for (const char* bad : {"<frame time=\"+1\" x=\"0\" y=\"0\"/>", "<frame time=\"01\" x=\"0\" y=\"0\"/>",
                          "<frame time=\"-0\" x=\"0\" y=\"0\"/>", "<frame time=\"2147483648\" x=\"0\" y=\"0\"/>",
                          "<frame time=\"1\" x=\"0\" y=\"0\"/> ", "<frame time=\"1\" x=\"\" y=\"0\"/>",
                          "<frame time=\"1\" x=\"0\" y=\"0\"/>\r"}) {
    EXPECT_FALSE(ParseMetaFrameLine(bad, &ignored)) << bad;
  }
}

// A small AVI as the muxer lays it out: the header list (main header, a
// stream list with a video stream header), the frame list with `chunks`
// chunks of 3 bytes (padded), and the index.
std::vector<std::uint8_t> SmallAvi(int chunks) {
  std::vector<std::uint8_t> b;
  auto code = [&](const char* c) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(c[i]));
  };
  auto le32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  auto zeros = [&](std::size_t n) { b.resize(b.size() + n, 0); };
  code("RIFF"), le32(0), code("AVI ");
  code("LIST"), le32(4 + 64 + 12 + 64), code("hdrl");
  code("avih"), le32(56), zeros(56);
  code("LIST"), le32(4 + 64), code("strl");
  code("strh"), le32(56), code("vids"), zeros(52);
  const std::size_t movi = b.size();
  code("LIST"), le32(4 + 12 * static_cast<std::uint32_t>(chunks)), code("movi");
  for (int i = 0; i < chunks; ++i) code("00dc"), le32(3), zeros(4);
  code("idx1"), le32(0);
  PutLe32(b.data() + 4, static_cast<std::uint32_t>(b.size() - 8));
  EXPECT_EQ(movi, 164u);
  return b;
}

void Apply(std::vector<std::uint8_t>* bytes, const AviPatch* patches, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutLe32(bytes->data() + patches[i].at, patches[i].value);
}

TEST(RiffChunks, WalkWithinBoundsAndPatchACutBackFileWhole) {
  std::vector<std::uint8_t> avi = SmallAvi(5);
  AviHeaders headers = FindAviHeaders(RiffMemory(avi.data(), avi.size()), static_cast<std::int64_t>(avi.size()));
  EXPECT_EQ(headers.hdrl, 12);
  EXPECT_EQ(headers.avih, 12 + 12 + 8);
  EXPECT_EQ(headers.strh, 12 + 12 + 64 + 12 + 8);
  EXPECT_EQ(headers.movi, 164);
  Apply(&avi, AviRatePatches(headers, 1, 2000).data(), 3);
  EXPECT_EQ(ReadLe32(avi.data() + headers.avih + avi_field::kMicroSecPerFrame), 500u);
  EXPECT_EQ(ReadLe32(avi.data() + headers.strh + avi_field::kRate), 2000u);

  // Every header that lies about its size, and every cut of the file: the
  // walk never reads past what it was given (ASan watches) and finds no
  // header that is not whole.
  for (std::size_t cut = 0; cut <= avi.size(); ++cut) {
    std::vector<std::uint8_t> part(avi.begin(), avi.begin() + static_cast<std::ptrdiff_t>(cut));
    AviHeaders found = FindAviHeaders(RiffMemory(part.data(), part.size()), static_cast<std::int64_t>(cut));
    if (found.avih >= 0) {
      EXPECT_LE(found.avih + 56, static_cast<std::int64_t>(cut));
    }
    if (found.strh >= 0) {
      EXPECT_LE(found.strh + 56, static_cast<std::int64_t>(cut));
    }
  }
  for (std::uint32_t lie : {0u, 55u, 145u, 0x7fffffffu, 0xffffffffu}) {
    std::vector<std::uint8_t> liar = avi;
    PutLe32(liar.data() + headers.avih - 4, lie);  // the main header's size
    AviHeaders found = FindAviHeaders(RiffMemory(liar.data(), liar.size()), static_cast<std::int64_t>(liar.size()));
    EXPECT_EQ(found.avih, -1) << lie;
    EXPECT_EQ(found.movi, headers.movi) << lie;  // the lists around it still hold
    // Within the header list, a chunk reaching past it is the last one seen.
    RiffWalk walk(RiffMemory(liar.data(), liar.size()), headers.hdrl + 12, headers.movi);
    RiffChunk chunk;
    int past = 0;
    while (walk.Next(&chunk)) {
      EXPECT_EQ(past, 0) << lie;
      if (chunk.end() > headers.movi) ++past;
    }
    EXPECT_EQ(past, lie > 132 ? 1 : 0) << lie;  // 132 bytes follow the main header in its list
  }

  // Cut back after the third chunk, as when the file's output fails: the
  // patched sizes agree with the file, the index is no longer claimed.
  const std::int64_t end = headers.movi + 12 + 3 * 12;
  avi.resize(static_cast<std::size_t>(end));
  Apply(&avi, AviCutBackPatches(headers, end, 3).data(), 5);
  RiffWalk top(RiffMemory(avi.data(), avi.size()), 0, end);
  RiffChunk riff;
  ASSERT_TRUE(top.Next(&riff));
  EXPECT_TRUE(riff.IsListOf("AVI "));
  EXPECT_EQ(riff.end(), end);
  RiffWalk frames(RiffMemory(avi.data(), avi.size()), headers.movi + 12, end);
  int whole = 0;
  for (RiffChunk chunk; frames.Next(&chunk) && chunk.end() <= end;) ++whole;
  EXPECT_EQ(whole, 3);
  EXPECT_EQ(headers.movi + 8 + ReadLe32(avi.data() + headers.movi + 4), end);
  EXPECT_EQ(ReadLe32(avi.data() + headers.avih + avi_field::kFlags) & avi_field::kHasIndex, 0u);
  EXPECT_EQ(ReadLe32(avi.data() + headers.avih + avi_field::kTotalFrames), 3u);
  EXPECT_EQ(ReadLe32(avi.data() + headers.strh + avi_field::kLength), 3u);
}

}  // namespace
