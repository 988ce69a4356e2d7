// slotrec-check --html in a real browser (headless Chromium) on a run the
// real recorder made while it was stopped for a while, and the wall-clock
// times of slotrec-check and slotrec-join against the run directory's name.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"
#include "tests/tools/tool_runs.h"

namespace {

namespace fs = std::filesystem;
using tooltest::Json;

constexpr const char* kChromium = "/usr/bin/chromium";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Chromium headless with nothing of the user's, nothing of the network:
// a fresh profile, no background traffic, every host name unresolvable.
ChildResult Chromium(const std::vector<std::string>& args) {
  ChildCommand command;
  command.program = kChromium;
  command.argv = {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--user-data-dir=" + tooltest::ScratchDirectory("chromium-profile"),
                  "--host-resolver-rules=MAP * ~NOTFOUND", "--enable-logging=stderr", "--v=0"};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.timeout_ms = 120000;
  return RunChild(command);
}

// A run the recorder made on a screen with coloured rectangles and a
// pointer that moves, stopped (SIGSTOP) for five seconds in its third
// second, continued, and ended by SIGINT.
std::string StoppedRun() {
  static std::string run;
  if (!run.empty()) return run;
  testsupport::XvfbOptions options;
  options.width = 320;
  options.height = 240;
  testsupport::XvfbServer server(options);
  EXPECT_TRUE(server.ok()) << server.error();
  if (!server.ok()) return run;
  const std::string display = server.display();
  {
    testsupport::X11Painter painter(display);
    painter.fill(0, 0, 320, 240, 0x304060);
    painter.fill(20, 20, 120, 80, 0xe0c040);
    painter.fill(180, 130, 100, 80, 0x40c060);
    painter.warp_pointer(60, 60);
    painter.sync();
  }
  const std::string parent = tooltest::ScratchDirectory("stopped");
  ChildCommand command;
  command.program = SLOTREC_BINARY;
  command.argv = {"slotrec", "fps=10", "slotsecs=1"};
  command.working_directory = parent;
  command.environment = {"DISPLAY=" + display, "XDG_CONFIG_HOME=" + parent + "/config"};
  command.timeout_ms = 60000;
  command.while_running = [display](pid_t pid) {
    testsupport::X11Painter painter(display);
    auto wander = [&](int from_x, int to_x, int ms) {
      for (int t = 0; t < ms; t += 100) {
        painter.warp_pointer(from_x + (to_x - from_x) * t / ms, 60 + t % 700 / 10);
        painter.sync();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    };
    wander(60, 200, 2500);
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    kill(pid, SIGCONT);
    wander(200, 260, 2500);
    kill(pid, SIGINT);
  };
  ChildResult result = RunChild(command);
  EXPECT_TRUE(result.exited) << result.err;
  std::vector<std::string> runs = testsupport::RunDirectories(parent);
  EXPECT_EQ(runs.size(), 1u) << result.err;
  if (runs.size() == 1) run = runs[0];
  return run;
}

TEST(HtmlReport, ABrowserShowsEveryTimeslotTheStallThePicturesAndTheCursorWithoutTheNetwork) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium << " (Debian package chromium)";
  const std::string run = StoppedRun();
  ASSERT_FALSE(run.empty());
  const std::string scratch = tooltest::ScratchDirectory("report");
  const std::string report = scratch + "/report.html";

  // The report changes nothing of what the check says or returns.
  ChildResult plain = tooltest::Check({"--json", run});
  ChildResult with_report = tooltest::Check({"--json", "--html", report, run});
  ASSERT_TRUE(with_report.exited) << with_report.err;
  EXPECT_EQ(with_report.exit_status, plain.exit_status);
  EXPECT_EQ(with_report.out, plain.out);
  EXPECT_TRUE(with_report.err.empty()) << with_report.err;
  Json json;
  ASSERT_TRUE(tooltest::ParseJson(plain.out, &json)) << plain.out;
  const Json& summary = json["runs"][0]["summary"];
  // The stop shows: timeslots without a segment, and a gap of seconds.
  EXPECT_GE(summary["missing_timeslots"].number, 3) << plain.out;
  EXPECT_GE(summary["largest_gap_ms"].number, 4000) << plain.out;
  const std::vector<Json>& segments = json["runs"][0]["segments"].array;
  ASSERT_FALSE(segments.empty());
  const auto timeslots = static_cast<std::size_t>(segments.back()["timeslot_start_ms"].number / 1000 + 1);

  // Everything inside: no address of anywhere, every source a data: URI.
  const std::string html = tooltest::ReadFile(report);
  EXPECT_EQ(html.find("http://"), std::string::npos);
  EXPECT_EQ(html.find("https://"), std::string::npos);
  const std::regex reference(R"re((src|href)="([^"]{0,24}))re");
  std::size_t sources = 0;
  for (std::sregex_iterator it(html.begin(), html.end(), reference), end; it != end; ++it, ++sources)
    EXPECT_EQ((*it)[2].str().rfind("data:image/jpeg;base64,", 0), 0u) << (*it)[0].str();
  EXPECT_GE(sources, 2u);

  // In the browser: the page as it stands after loading, with a probe that
  // writes how many of its pictures decoded into it.
  std::string probe = html;
  probe.insert(probe.rfind("</body>"), R"(<script>
addEventListener('load', () => {
  const pictures = [...document.images];
  const decoded = pictures.filter(i => i.complete && i.naturalWidth > 0).length;
  const inSvg = [...document.querySelectorAll('svg image')].map(s => new Promise(done => {
    const i = new Image();
    i.onload = () => done(i.naturalWidth > 0);
    i.onerror = () => done(false);
    i.src = s.getAttribute('href');
  }));
  Promise.all(inSvg).then(r => document.body.setAttribute('data-probe',
      `images ${pictures.length} decoded ${decoded} svg ${r.length} svgdecoded ${r.filter(x => x).length}`));
});
</script>)");
  tooltest::WriteFile(scratch + "/probe.html", probe);
  ChildResult dom = Chromium({"--virtual-time-budget=10000", "--dump-dom", "file://" + scratch + "/probe.html"});
  ASSERT_TRUE(dom.exited) << dom.err;
  std::smatch found;
  ASSERT_TRUE(std::regex_search(dom.out, found, std::regex(R"(data-probe="images (\d+) decoded (\d+) svg (\d+) svgdecoded (\d+)\")")))
      << dom.out.substr(0, 2000);
  const int images = std::stoi(found[1]);
  EXPECT_GE(images, 3);
  EXPECT_EQ(std::stoi(found[2]), images);
  EXPECT_EQ(std::stoi(found[3]), 1);
  EXPECT_EQ(std::stoi(found[4]), 1);
  // One mark per timeslot, those of the stop among them without a segment.
  EXPECT_EQ(Count(dom.out, "class=\"mark "), timeslots);
  EXPECT_EQ(Count(dom.out, "class=\"mark none\""), static_cast<std::size_t>(summary["missing_timeslots"].number));
  // The cursor's heat map over the screen.
  EXPECT_NE(dom.out.find("class=\"heatmap\""), std::string::npos);
  EXPECT_GE(Count(dom.out, "class=\"heat\""), 3u);
  // Nothing went wrong in the page (a failed load would say so too).
  EXPECT_EQ(dom.err.find(":CONSOLE"), std::string::npos) << dom.err;

  // And it draws.
  const std::string shot = scratch + "/report.png";
  ChildResult screenshot = Chromium({"--window-size=1200,2400", "--screenshot=" + shot, "file://" + report});
  ASSERT_TRUE(fs::exists(shot)) << screenshot.err;
  EXPECT_EQ(tooltest::ReadFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_GT(fs::file_size(shot), 20000u);
  EXPECT_EQ(screenshot.err.find(":CONSOLE"), std::string::npos) << screenshot.err;
}

// A program run with TZ set.
ChildResult InZone(const std::string& program, const std::vector<std::string>& args, const std::string& zone) {
  ChildCommand command;
  command.program = program;
  command.argv = {fs::path(program).filename().string()};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.environment = {"TZ=" + zone};
  command.timeout_ms = 120000;
  return RunChild(command);
}

std::string Clock(std::int64_t ms, const char* date_time_separator) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d%s%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                date_time_separator, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string Seconds(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
  return text;
}

TEST(WallClock, CheckAndJoinCountFromTheDirectorysNameInTheReadersZone) {
  const std::string run = tooltest::Runs().whole;
  const std::string name = fs::path(run).filename().string();
  ASSERT_EQ(name.size(), 23u);
  // The name's local time, in ms since 1970 as if it were UTC; the zone
  // three hours east of UTC, with no summer time, puts it three hours later
  // than UTC.
  std::tm named{};
  ASSERT_EQ(std::sscanf(name.c_str(), "%d-%d-%d-%d-%d-%d", &named.tm_year, &named.tm_mon, &named.tm_mday,
                        &named.tm_hour, &named.tm_min, &named.tm_sec),
            6);
  named.tm_year -= 1900;
  named.tm_mon -= 1;
  const std::int64_t local_start = static_cast<std::int64_t>(timegm(&named)) * 1000 + std::stoi(name.substr(20));
  const std::string zone = "EAST-3";
  const std::int64_t utc_start = local_start - 3 * 3600 * 1000;
  auto local_ms = [](std::int64_t ms) { return Clock(ms, "T") + std::string(".") + std::to_string(1000 + ms % 1000).substr(1); };

  ChildResult result = InZone(SLOTREC_CHECK_BINARY, {"--json", run}, zone);
  Json report;
  ASSERT_TRUE(tooltest::ParseJson(result.out, &report)) << result.out;
  const Json& r = report["runs"][0];
  ASSERT_GE(r["segments"].array.size(), 2u) << result.out << result.err;
  EXPECT_EQ(r["summary"]["wall_clock_start"].string, local_ms(local_start) + "+03:00");
  EXPECT_EQ(r["summary"]["wall_clock_end"].string,
            local_ms(local_start + static_cast<std::int64_t>(r["summary"]["duration_ms"].number)) + "+03:00");
  ChildResult table = InZone(SLOTREC_CHECK_BINARY, {run}, zone);
  for (const Json& s : r["segments"].array) {
    SCOPED_TRACE(s["name"].string);
    if (s["first_frame_ms"].type == Json::kNull) {
      EXPECT_EQ(s["wall_clock"].type, Json::kNull);
      continue;
    }
    const std::int64_t at = local_start + static_cast<std::int64_t>(s["first_frame_ms"].number);
    EXPECT_EQ(s["wall_clock"].string, local_ms(at) + "+03:00");
    // The table's column: the same local time, beside the time after the start.
    std::string cell = local_ms(at);
    cell[10] = ' ';
    EXPECT_NE(table.out.find("\n" + s["name"].string + " "), std::string::npos);
    EXPECT_NE(table.out.find("  " + cell + " "), std::string::npos) << table.out;
  }
  // A directory of another name has no wall clock, and says so by null.
  const std::string renamed = tooltest::CopyRun(run);
  ChildResult other = InZone(SLOTREC_CHECK_BINARY, {"--json", renamed}, zone);
  Json unnamed;
  ASSERT_TRUE(tooltest::ParseJson(other.out, &unnamed)) << other.out;
  EXPECT_EQ(unnamed["runs"][0]["segments"][0]["wall_clock"].type, Json::kNull);
  EXPECT_EQ(unnamed["runs"][0]["summary"]["wall_clock_start"].type, Json::kNull);

  // The joined files carry the start in UTC: Matroska to the millisecond,
  // MP4 to the second; a cut from --from carries its first frame's time.
  const std::string out = tooltest::ScratchDirectory("dated");
  const std::int64_t second_segment = static_cast<std::int64_t>(r["segments"][1]["first_frame_ms"].number);
  struct Case {
    std::vector<std::string> args;
    std::string file, want;
  } cases[] = {
      {{run, out + "/run.mkv"}, out + "/run.mkv", local_ms(utc_start) + "000Z"},
      {{run, out + "/run.mp4"}, out + "/run.mp4", Clock(utc_start, "T") + ".000000Z"},
      {{"--from", Seconds(second_segment), run, out + "/cut.mkv"}, out + "/cut.mkv",
       local_ms(utc_start + second_segment) + "000Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ChildResult join = InZone(SLOTREC_JOIN_BINARY, c.args, zone);
    ASSERT_EQ(join.exit_status, 0) << join.err;
    ChildResult probe = tooltest::Tool("/usr/bin/ffprobe", {"-v", "error", "-show_entries",
                                                            "format_tags=creation_time", "-of", "csv=p=0", c.file});
    EXPECT_EQ(probe.out, c.want + "\n") << probe.err;
  }
}

}  // namespace
