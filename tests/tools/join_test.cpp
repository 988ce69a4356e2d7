// slotrec-join on runs recorded by the real program: ffprobe reads every
// frame of the joined file at its .meta time, to the millisecond, with a
// chapter per segment; damaged segments are said and joined at the nominal
// rate or left out; --from and --to cut at key frames; bad input is refused
// without leaving a file behind.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/tool_runs.h"

namespace {

namespace fs = std::filesystem;

struct Probed {
  std::vector<long long> ms;    // every packet's time, ms
  std::vector<bool> key;        // and whether it is a key frame
  std::vector<std::string> chapters;          // titles
  std::vector<long long> chapter_starts;      // ms
  long long decoded = -1;       // frames ffprobe decodes
};

long long Ms(const std::string& seconds) { return std::llround(std::stod(seconds) * 1000.0); }

Probed Probe(const std::string& file) {
  Probed p;
  ChildResult packets = tooltest::Tool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                   "packet=pts_time,flags", "-of", "csv=p=0", file});
  EXPECT_EQ(packets.exit_status, 0) << packets.err;
  std::istringstream lines(packets.out);
  for (std::string line; std::getline(lines, line);) {
    std::size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    p.ms.push_back(Ms(line.substr(0, comma)));
    p.key.push_back(line[comma + 1] == 'K');
  }
  ChildResult chapters = tooltest::Tool(
      "ffprobe", {"-v", "error", "-show_entries", "chapter=start_time:chapter_tags=title", "-of", "csv=p=0", file});
  std::istringstream chapter_lines(chapters.out);
  for (std::string line; std::getline(chapter_lines, line);) {
    std::size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    p.chapter_starts.push_back(Ms(line.substr(0, comma)));
    p.chapters.push_back(line.substr(comma + 1));
  }
  ChildResult count = tooltest::Tool("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                                 "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", file});
  if (count.exit_status == 0 && !count.out.empty()) p.decoded = std::stoll(count.out);
  return p;
}

// Every frame time of the run, segment by segment, ms after its first.
struct RunTimes {
  std::vector<std::string> stems;           // segments with frames
  std::vector<std::vector<long long>> ms;   // their frames
  long long total = 0;
};

RunTimes TimesOf(const std::string& run) {
  RunTimes t;
  long long first = -1;
  for (const std::string& stem : tooltest::Stems(run)) {
    std::vector<long long> times = tooltest::MetaTimes(run + "/" + stem + ".meta");
    if (times.empty()) continue;
    if (first < 0) first = times.front();
    for (long long& time : times) time -= first;
    t.stems.push_back(stem);
    t.ms.push_back(times);
    t.total += static_cast<long long>(times.size());
  }
  return t;
}

class JoinWholeRun : public ::testing::TestWithParam<const char*> {};

TEST_P(JoinWholeRun, EveryFrameAtItsMetaTimeWithAChapterPerSegment) {
  const std::string run = tooltest::Runs().whole;
  const std::string out = tooltest::ScratchDirectory("join") + "/run." + GetParam();
  ChildResult result = tooltest::Join({run, out});
  ASSERT_TRUE(result.exited) << result.err;
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(result.out.empty());
  EXPECT_NE(result.err.find("slotrec-join: " + out + ": "), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(out + ".part"));

  RunTimes want = TimesOf(run);
  Probed got = Probe(out);
  ASSERT_EQ(static_cast<long long>(got.ms.size()), want.total);
  EXPECT_EQ(got.decoded, want.total);
  std::size_t i = 0;
  for (std::size_t s = 0; s < want.stems.size(); ++s) {
    for (std::size_t k = 0; k < want.ms[s].size(); ++k, ++i) {
      EXPECT_EQ(got.ms[i], want.ms[s][k]) << want.stems[s] << " frame " << k;
      // Every segment begins with a key frame.
      if (k == 0) {
        EXPECT_TRUE(got.key[i]) << want.stems[s];
      }
    }
  }
  EXPECT_EQ(got.chapters, want.stems);
  ASSERT_EQ(got.chapter_starts.size(), want.stems.size());
  for (std::size_t s = 0; s < want.stems.size(); ++s) EXPECT_EQ(got.chapter_starts[s], want.ms[s].front());
}

INSTANTIATE_TEST_SUITE_P(Containers, JoinWholeRun, ::testing::Values("mkv", "mp4"));

TEST(JoinDamagedRun, SaysWhatItCouldNotTimeAndJoinsTheRestExactly) {
  std::string run = tooltest::CopyRun(tooltest::Runs().whole);
  RunTimes whole = TimesOf(run);
  ASSERT_GE(whole.stems.size(), 3u);
  // 000-01's .meta loses its last two lines; 000-02's AVI is random bytes.
  std::string meta = tooltest::ReadFile(run + "/000-01.meta");
  std::size_t footer = meta.size() - 13;
  std::size_t cut = footer;
  for (int i = 0; i < 2; ++i) cut = meta.rfind("<frame ", cut - 1);
  tooltest::WriteFile(run + "/000-01.meta", meta.substr(0, cut) + meta.substr(footer));
  tooltest::WriteFile(run + "/000-02.avi", std::string(5000, 'x'));

  const std::string out = tooltest::ScratchDirectory("join") + "/damaged.mkv";
  ChildResult result = tooltest::Join({run, out});
  EXPECT_EQ(result.exit_status, 3) << result.err;
  const std::size_t n1 = whole.ms[1].size();
  EXPECT_NE(result.err.find("slotrec-join: 000-01: " + std::to_string(n1) + " frames in the AVI but " +
                            std::to_string(n1 - 2) + " frame lines in the .meta: joined at the nominal rate of 10 fps"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("slotrec-join: 000-02: left out: its AVI cannot be read"), std::string::npos) << result.err;

  Probed got = Probe(out);
  ASSERT_EQ(got.ms.size(), static_cast<std::size_t>(whole.total) - whole.ms[2].size());
  std::size_t i = 0;
  for (std::size_t s = 0; s < whole.stems.size(); ++s) {
    if (s == 2) continue;
    for (std::size_t k = 0; k < whole.ms[s].size(); ++k, ++i) {
      // 000-01 from its first frame at the nominal 100 ms a frame.
      long long want = s == 1 ? whole.ms[1].front() + 100 * static_cast<long long>(k) : whole.ms[s][k];
      EXPECT_EQ(got.ms[i], want) << whole.stems[s] << " frame " << k;
    }
  }
  std::vector<std::string> chapters = whole.stems;
  chapters.erase(chapters.begin() + 2);
  EXPECT_EQ(got.chapters, chapters);
}

TEST(JoinCut, FromStartsAtTheKeyFrameBeforeItAndToEndsBeforeIt) {
  const std::string run = tooltest::Runs().whole;
  RunTimes whole = TimesOf(run);
  ASSERT_GE(whole.stems.size(), 3u);
  // Halfway through 000-01: its first frame is the key frame before that.
  const long long from = whole.ms[1].front() + 450;
  const long long to = whole.ms[2].front() + 250;
  const std::string out = tooltest::ScratchDirectory("join") + "/cut.mp4";
  char from_text[32], to_text[32];
  std::snprintf(from_text, sizeof from_text, "%lld.%03lld", from / 1000, from % 1000);
  std::snprintf(to_text, sizeof to_text, "0:%02lld.%03lld", to / 1000, to % 1000);
  ChildResult result = tooltest::Join({"--from", from_text, "--to", to_text, run, out});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.err.find("starting at the key frame at"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("(000-01), the last at or before it"), std::string::npos) << result.err;

  std::vector<long long> want;
  for (std::size_t s = 1; s < whole.stems.size(); ++s)
    for (long long ms : whole.ms[s])
      if (ms < to) want.push_back(ms - whole.ms[1].front());
  Probed got = Probe(out);
  EXPECT_EQ(got.ms, want);
  EXPECT_EQ(got.decoded, static_cast<long long>(want.size()));
  EXPECT_EQ(got.chapters, (std::vector<std::string>{"000-01", "000-02"}));
}

TEST(JoinBadInput, RefusesWithItsStatusAndWritesNothing) {
  const std::string run = tooltest::Runs().whole;
  std::string dir = tooltest::ScratchDirectory("bad");
  std::string empty = tooltest::ScratchDirectory("empty");
  const std::string meta_before = tooltest::ReadFile(run + "/000-00.meta");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string words;
  } cases[] = {
      {{}, 1, "RUNDIR and OUT are needed"},
      {{run}, 1, "RUNDIR and OUT are needed"},
      {{run, dir + "/a.mkv", "extra"}, 1, "too many arguments"},
      {{"--from", "ten", run, dir + "/a.mkv"}, 1, "--from takes a time such as"},
      {{"--from", "5", "--to", "2", run, dir + "/a.mkv"}, 1, "--to (00:00:02.000) must come after --from"},
      {{"--speed", run, dir + "/a.mkv"}, 1, "unknown option: --speed"},
      {{dir + "/none", dir + "/a.mkv"}, 2, "no such directory"},
      {{empty, dir + "/a.mkv"}, 2, "not a run directory"},
      {{run, run + "/000-00.meta"}, 1, "is a file of the run itself"},
      {{run, dir + "/missing/a.mkv"}, 1, "cannot be written"},
      {{run, dir}, 1, "cannot be written: Is a directory"},
      {{"--from", "9:00", run, dir + "/a.mkv"}, 1, "no frames between --from and --to"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    ChildResult result = tooltest::Join(c.args);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_NE(result.err.find(c.words), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty());
  }
  EXPECT_TRUE(fs::is_empty(dir)) << "a file was left behind";
  EXPECT_EQ(tooltest::ReadFile(run + "/000-00.meta"), meta_before);
}

}  // namespace
