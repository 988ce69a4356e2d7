// slotrec-check on runs recorded by the real program and on damaged copies
// of them: a whole run is called whole, in agreement with the tests' own
// judge; every kind of damage is named, with exit status 1 and never a
// crash; what is no run directory gets status 2.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "formats/avi_chunks.h"
#include "formats/meta_text.h"
#include "formats/run_names.h"
#include "tests/support/run_judge.h"
#include "tests/tools/tool_runs.h"

namespace {

namespace fs = std::filesystem;
using tooltest::Json;

// The problem kinds of the first run of a --json report.
std::vector<std::string> Kinds(const Json& report) {
  std::vector<std::string> kinds;
  for (const Json& p : report["runs"][0]["problems"].array) kinds.push_back(p["kind"].string);
  return kinds;
}

Json CheckJson(const std::string& run, ChildResult* result) {
  *result = tooltest::Check({"--json", run});
  Json report;
  EXPECT_TRUE(tooltest::ParseJson(result->out, &report)) << result->out;
  return report;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(CheckWholeRun, SaysWholeAndAgreesWithTheJudgeSegmentBySegment) {
  const std::string run = tooltest::Runs().whole;
  testsupport::RunVerdict verdict = testsupport::JudgeRun(run, {"10/1"});
  ASSERT_TRUE(verdict.problems.empty()) << verdict.problems[0];

  ChildResult table = tooltest::Check({run});
  ASSERT_TRUE(table.exited) << table.err;
  EXPECT_EQ(table.exit_status, 0) << table.out;
  EXPECT_NE(table.out.find(run + ": whole\n"), std::string::npos) << table.out;
  EXPECT_TRUE(table.err.empty()) << table.err;

  ChildResult result;
  Json report = CheckJson(run, &result);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(report["status"].number, 0);
  const Json& r = report["runs"][0];
  EXPECT_TRUE(r["whole"].boolean);
  const std::vector<Json>& segments = r["segments"].array;
  ASSERT_EQ(segments.size(), verdict.segments.size());
  int unused = 0;
  std::string last_with_frames;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (verdict.segments[i].meta_frames > 0) last_with_frames = verdict.segments[i].stem;
    SCOPED_TRACE(verdict.segments[i].stem);
    EXPECT_EQ(segments[i]["name"].string, verdict.segments[i].stem);
    EXPECT_EQ(segments[i]["avi_frames"].number, verdict.segments[i].avi_frames);
    EXPECT_EQ(segments[i]["meta_frames"].number, verdict.segments[i].meta_frames);
    EXPECT_EQ(segments[i]["bytes"].number, verdict.segments[i].bytes);
    EXPECT_EQ(segments[i]["nominal_fps"].number, 10);
    unused += segments[i]["unused"].boolean ? 1 : 0;
    // The table has its line.
    EXPECT_NE(table.out.find("\n" + verdict.segments[i].stem + " "), std::string::npos);
  }
  // A pair prepared for the timeslot the run did not reach (on a busy
  // machine the run may stop before it is) is the last, and no problem.
  const bool last_empty = verdict.segments.back().meta_frames == 0;
  EXPECT_EQ(unused, last_empty ? 1 : 0);
  EXPECT_EQ(segments.back()["unused"].boolean, last_empty);
  if (last_empty) {
    EXPECT_NE(table.out.find("unused (prepared when the run stopped)"), std::string::npos);
  }
  const Json& summary = r["summary"];
  EXPECT_EQ(summary["frames"].number, verdict.frames());
  EXPECT_EQ(summary["bytes"].number, verdict.bytes());
  EXPECT_EQ(summary["timeslot_ms"].number, 1000);
  EXPECT_EQ(summary["missing_timeslots"].number, 0);
  // From the first frame to the end of the last, by the .meta times.
  std::vector<long long> first = tooltest::MetaTimes(run + "/000-00.meta");
  std::vector<long long> last = tooltest::MetaTimes(run + "/" + last_with_frames + ".meta");
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(summary["duration_ms"].number, last.back() - first.front() + 100);
  EXPECT_NEAR(summary["achieved_fps"].number,
              (verdict.frames() - 1) * 1000.0 / static_cast<double>(last.back() - first.front()), 0.001);
}

// One kind of damage done to a copy of the whole run, and what must be said.
struct Damage {
  const char* name;
  std::function<void(const std::string& run)> apply;
  std::vector<std::string> kinds;  // the kinds of problem reported
  std::string words;               // in the table
  std::vector<std::string> maybe = {};  // further kinds that depend on where a cut falls
};

void Truncate(const std::string& path, std::uintmax_t size) { fs::resize_file(path, size); }

std::string RandomBytes(std::size_t n) {
  std::string bytes(n, '\0');
  unsigned x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

// A little-endian field of a file's bytes.
void PutField(std::string* bytes, std::size_t at, std::uint32_t value) {
  PutLe32(reinterpret_cast<std::uint8_t*>(bytes->data() + at), value);
}

// The .meta's text with its frame lines edited by `edit`.
void EditMeta(const std::string& path, const std::function<void(std::vector<std::string>&)>& edit) {
  std::string bytes = tooltest::ReadFile(path);
  std::vector<std::string> lines;
  for (std::size_t at = 0, eol; (eol = bytes.find("\r\n", at)) != std::string::npos; at = eol + 2)
    lines.push_back(bytes.substr(at, eol - at));
  edit(lines);
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  tooltest::WriteFile(path, out);
}

const Damage kDamages[] = {
    {"AviCutShort",
     [](const std::string& r) {
       // In the middle of the second frame.
       std::string avi = tooltest::ReadFile(r + "/000-01.avi");
       std::size_t first = avi.find("00dc", avi.find("movi"));
       std::size_t second = avi.find("00dc", first + 8);
       Truncate(r + "/000-01.avi", second + 8 + 40);
     },
     {"avi_cut_short", "frame_count"}, "000-01.avi is cut short", {"avi_damaged"}},
    {"MetaCutMidLine", [](const std::string& r) { Truncate(r + "/000-01.meta", fs::file_size(r + "/000-01.meta") - 30); },
     {"meta_cut", "frame_count"}, "000-01.meta is cut off in the middle of line"},
    {"MetaWithoutItsAvi", [](const std::string& r) { fs::remove(r + "/000-01.avi"); },
     {"unpaired"}, "000-01.meta has no 000-01.avi beside it"},
    {"AviWithoutItsMeta", [](const std::string& r) { fs::remove(r + "/000-01.meta"); },
     {"unpaired"}, "000-01.avi has no 000-01.meta beside it"},
    {"RandomBytesForAvi", [](const std::string& r) { tooltest::WriteFile(r + "/000-01.avi", RandomBytes(9000)); },
     {"avi_not_avi"}, "000-01.avi is not an AVI file"},
    {"RandomBytesForMeta", [](const std::string& r) { tooltest::WriteFile(r + "/000-01.meta", RandomBytes(3000)); },
     {"meta_foreign", "frame_count"}, "000-01.meta is not a .meta file"},
    {"RandomBytesInAFrame",
     [](const std::string& r) {
       // The middle half of the first frame's data.
       std::string avi = tooltest::ReadFile(r + "/000-01.avi");
       std::size_t frame = avi.find("00dc", avi.find("movi"));
       std::size_t size = static_cast<unsigned char>(avi[frame + 4]) | static_cast<unsigned char>(avi[frame + 5]) << 8;
       std::string noise = RandomBytes(size / 2);
       avi.replace(frame + 8 + size / 4, noise.size(), noise);
       tooltest::WriteFile(r + "/000-01.avi", avi);
     },
     {"avi_damaged"}, "000-01.avi: 1 frame does not decode cleanly", {"frame_count"}},
    {"EmptyAvi", [](const std::string& r) { Truncate(r + "/000-01.avi", 0); },
     {"empty_file"}, "000-01.avi is empty"},
    {"TimeslotWithoutSegment",
     [](const std::string& r) {
       fs::remove(r + "/000-01.avi");
       fs::remove(r + "/000-01.meta");
     },
     {"missing_timeslots"}, "000-01: no segment for this timeslot (the frames jump "},
    {"SegmentWithoutFrames",
     [](const std::string& r) {
       // A pair as the recorder leaves one that got no frame: the AVI's
       // frame list and index empty, the .meta header and footer alone.
       std::string avi = tooltest::ReadFile(r + "/000-01.avi");
       std::size_t movi = avi.find("movi");
       avi = avi.substr(0, movi + 4) + std::string("idx1\0\0\0\0", 8);
       PutField(&avi, movi - 4, 4);
       PutField(&avi, 4, static_cast<std::uint32_t>(avi.size() - 8));
       tooltest::WriteFile(r + "/000-01.avi", avi);
       tooltest::WriteFile(r + "/000-01.meta", std::string(meta_text::kHeader) + meta_text::kFooter);
     },
     {"no_frames"}, "000-01 holds no frames"},
    {"MetaWithoutFooter",
     [](const std::string& r) { Truncate(r + "/000-01.meta", fs::file_size(r + "/000-01.meta") - 13); },
     {"meta_no_footer"}, "000-01.meta has no closing </frames>"},
    {"MetaWithLfLineEnds",
     [](const std::string& r) {
       std::string bytes = tooltest::ReadFile(r + "/000-01.meta");
       bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
       tooltest::WriteFile(r + "/000-01.meta", bytes);
     },
     {"meta_lf_lines"}, "lines end in LF alone"},
    {"MetaWithAStrangeLine",
     [](const std::string& r) {
       EditMeta(r + "/000-01.meta", [](std::vector<std::string>& l) { l.insert(l.begin() + 4, "<frame time=\"12\"/>"); });
     },
     {"meta_bad_lines"}, "000-01.meta: 1 line is not a frame line, the first is line 5"},
    {"MetaTimeGoingBack",
     [](const std::string& r) {
       EditMeta(r + "/000-01.meta", [](std::vector<std::string>& l) { std::swap(l[4], l[5]); });
     },
     {"meta_time_back"}, "000-01.meta: the time at line 6 is"},
    {"MetaCountDisagrees",
     [](const std::string& r) {
       EditMeta(r + "/000-01.meta", [](std::vector<std::string>& l) { l.erase(l.begin() + 3); });
     },
     {"frame_count"}, " frame lines in the .meta"},
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

class CheckDamagedRun : public ::testing::TestWithParam<Damage> {};

TEST_P(CheckDamagedRun, NamesTheDamageWithStatusOne) {
  const Damage& damage = GetParam();
  std::string run = tooltest::CopyRun(tooltest::Runs().whole);
  damage.apply(run);
  ChildResult result;
  Json report = CheckJson(run, &result);
  ASSERT_TRUE(result.exited) << "signal " << result.term_signal << "\n" << result.err;
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(report["runs"][0]["status"].number, 1);
  EXPECT_FALSE(report["runs"][0]["whole"].boolean);
  std::vector<std::string> kinds = Kinds(report);
  for (const std::string& kind : damage.kinds) EXPECT_TRUE(Contains(kinds, kind)) << kind << "\n" << result.out;
  for (const std::string& kind : kinds)
    EXPECT_TRUE(Contains(damage.kinds, kind) || Contains(damage.maybe, kind)) << kind << "\n" << result.out;

  // The table, and the HTML report beside it, which marks the damaged
  // timeslot on its time line and lists every problem.
  const std::string html = tooltest::ScratchDirectory("report") + "/report.html";
  ChildResult table = tooltest::Check({"--html", html, run});
  EXPECT_EQ(table.exit_status, 1);
  EXPECT_NE(table.out.find(damage.words), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(run + ": NOT WHOLE"), std::string::npos) << table.out;
  EXPECT_TRUE(table.err.empty()) << table.err;
  const std::string page = tooltest::ReadFile(html);
  const bool marked = page.find("<rect class=\"mark problem\" data-slot=\"000-01\"") != std::string::npos ||
                      page.find("<rect class=\"mark none\" data-slot=\"000-01\"") != std::string::npos;
  EXPECT_TRUE(marked) << page.substr(0, 4000);
  for (const std::string& kind : kinds)
    EXPECT_NE(page.find("data-kind=\"" + kind + "\">"), std::string::npos) << kind;
}

INSTANTIATE_TEST_SUITE_P(EveryDamage, CheckDamagedRun, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckRecorderEndings, NamesSegmentsAKilledOrLimitedRecorderLeftUnfinished) {
  // Killed outright: the segments open at that moment have no index and no
  // footer, but their frames and lines are there and agree.
  ChildResult result;
  Json killed = CheckJson(tooltest::Runs().killed, &result);
  EXPECT_EQ(result.exit_status, 1) << result.out;
  std::vector<std::string> kinds = Kinds(killed);
  EXPECT_TRUE(Contains(kinds, "avi_unfinished")) << result.out;
  EXPECT_TRUE(Contains(kinds, "meta_no_footer")) << result.out;
  for (const std::string& kind : kinds) {
    // (A busy machine may have cost the run a timeslot as well.)
    EXPECT_TRUE(kind == "avi_unfinished" || kind == "meta_no_footer" || kind == "missing_timeslots")
        << kind << "\n" << result.out;
  }

  // Past its file size limit the recorder closes each AVI early, cut back
  // to its last whole frame and without an index; every frame it kept is
  // read.
  Json limited = CheckJson(tooltest::Runs().limited, &result);
  EXPECT_EQ(result.exit_status, 1) << result.out;
  kinds = Kinds(limited);
  EXPECT_TRUE(Contains(kinds, "avi_no_index")) << result.out;
  EXPECT_FALSE(Contains(kinds, "frame_count")) << result.out;
  EXPECT_FALSE(Contains(kinds, "avi_cut_short")) << result.out;
  testsupport::RunVerdict verdict = testsupport::JudgeRun(tooltest::Runs().limited);
  EXPECT_EQ(limited["runs"][0]["summary"]["frames"].number, verdict.frames());
}

TEST(CheckNoRun, SaysWhyWithStatusTwo) {
  std::string empty = tooltest::ScratchDirectory("empty");
  std::string others = tooltest::ScratchDirectory("others");
  tooltest::WriteFile(others + "/notes.txt", "a note\n");
  tooltest::WriteFile(others + "/0001-00.avi", "");  // not a name the recorder writes
  std::string file = others + "/notes.txt";
  struct Case {
    std::string path, words;
  } cases[] = {
      {empty, "no segment files in it"},
      {others, "no segment files in it"},
      {empty + "/nothing-here", "no such directory"},
      {file, "Not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ChildResult result = tooltest::Check({c.path});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, c.path + ": " + c.words + (c.words == "no segment files in it"
                                                         ? " (NNN-SS.avi and NNN-SS.meta): not a run directory\n"
                                                         : "\n"));
  }
  // With a whole run beside it the status is still 2, and both are reported.
  Json report;
  ChildResult both = tooltest::Check({"--json", tooltest::Runs().whole, empty});
  ASSERT_TRUE(tooltest::ParseJson(both.out, &report)) << both.out;
  EXPECT_EQ(both.exit_status, 2);
  ASSERT_EQ(report["runs"].array.size(), 2u);
  EXPECT_TRUE(report["runs"][0]["whole"].boolean);
  EXPECT_FALSE(report["runs"][1]["run_directory"].boolean);
  EXPECT_EQ(report["status"].number, 2);

  // Command-line errors: status 2, the usage on standard error.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--bogus", empty}, {"--slotsecs", "0", empty}}) {
    ChildResult bad = tooltest::Check(args);
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_NE(bad.err.find("Usage: slotrec-check"), std::string::npos) << bad.err;
  }
}

TEST(LargeRun, TenThousandPairsAreCheckedAndJoined) {
  // Every AVI is the whole run's first segment, every .meta its frames at
  // one timeslot after the other.
  const std::string whole = tooltest::Runs().whole;
  std::string run = tooltest::ScratchDirectory("large");
  std::vector<long long> times = tooltest::MetaTimes(whole + "/000-00.meta");
  ASSERT_FALSE(times.empty());
  constexpr int kPairs = 10000;
  for (int i = 0; i < kPairs; ++i) {
    const std::string stem = SegmentStem(i * 1000LL);
    fs::create_hard_link(whole + "/000-00.avi", run + "/" + stem + ".avi");
    std::string meta = meta_text::kHeader;
    for (long long t : times) {
      char line[kMetaFrameLineSize];
      FormatMetaFrameLine(line, {static_cast<std::uint32_t>(t + i * 1000LL), 1, 2});
      meta += line;
    }
    tooltest::WriteFile(run + "/" + stem + ".meta", meta + meta_text::kFooter);
  }
  // Well under a second a pair: the time limit is a few ms a pair.
  ChildResult result = tooltest::Check({"--json", run}, 240000);
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 0) << result.out.substr(0, 2000);
  Json report;
  ASSERT_TRUE(tooltest::ParseJson(result.out, &report));
  EXPECT_EQ(report["runs"][0]["summary"]["segments"].number, kPairs);
  EXPECT_EQ(report["runs"][0]["summary"]["frames"].number, static_cast<double>(kPairs * times.size()));
  EXPECT_EQ(report["runs"][0]["segments"][kPairs - 1]["name"].string, "166-39");

  // Joined, with a progress line now and then but never a flood of them.
  const std::string out = tooltest::ScratchDirectory("large-join") + "/large.mkv";
  ChildResult join = tooltest::Join({run, out});
  EXPECT_EQ(join.exit_status, 0) << join.err;
  std::istringstream lines(join.err);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    bool progress = line.rfind("slotrec-join: reading segment ", 0) == 0 || line.rfind("slotrec-join: writing ", 0) == 0;
    bool done = line.rfind("slotrec-join: " + out + ": " + std::to_string(kPairs * times.size()) + " frames from " +
                               std::to_string(kPairs) + " segments, ",
                           0) == 0;
    EXPECT_TRUE(progress || done) << line;
  }
  EXPECT_LE(count, 12) << join.err;

  // Ended by a signal halfway, it leaves no partial file behind.
  const std::string stopped = tooltest::ScratchDirectory("large-stopped") + "/large.mkv";
  ChildCommand command;
  command.program = SLOTREC_JOIN_BINARY;
  command.argv = {"slotrec-join", run, stopped};
  command.while_running = [](pid_t pid) {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(pid, SIGTERM);
  };
  ChildResult ended = RunChild(command);
  EXPECT_FALSE(fs::exists(stopped + ".part"));
  if (ended.signaled) {
    EXPECT_EQ(ended.term_signal, SIGTERM);
    EXPECT_FALSE(fs::exists(stopped));
  } else {
    EXPECT_EQ(ended.exit_status, 0) << ended.err;  // done before the signal came
  }
}

}  // namespace
