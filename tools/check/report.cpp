#include "tools/check/report.h"

#include <cmath>
#include <string>

#include "tools/check/check_texts.h"
#include "tools/common/text_format.h"
#include "tools/common/wall_clock.h"

namespace check {

namespace {

std::string Number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string FpsText(double fps) {
  if (fps <= 0) return "?";
  if (std::fabs(fps - std::round(fps)) < 1e-9) return Number("%.0f", fps);
  return Number("%.2f", fps);
}

std::string FramesText(const SegmentCheck& s) {
  if (s.avi_frames < 0 && s.meta_frames < 0) return "-";
  if (s.avi_frames < 0) return std::to_string(s.meta_frames);
  if (s.meta_frames < 0 || s.avi_frames == s.meta_frames) return std::to_string(s.avi_frames);
  return std::to_string(s.avi_frames) + "/" + std::to_string(s.meta_frames);
}

// A rate as a JSON number: whole, or with up to three decimals.
std::string JsonRate(double value) {
  if (!std::isfinite(value)) return "0";
  std::string text = Number("%.3f", value);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// When a frame `ms` after the run's first was taken, as a JSON string in
// local time with its offset; null when the run's name gives no start or
// there is no such frame (`ms` < 0).
std::string WallClockJson(const RunCheck& run, std::int64_t ms) {
  if (ms < 0 || !run.start_epoch_ms) return "null";
  return "\"" + runfiles::FormatIsoLocal(*run.WallClock(ms)) + "\"";
}

}  // namespace

void PrintTable(std::FILE* out, const RunCheck& run) {
  if (!run.run_directory) {
    std::fprintf(out, check_text::kNotRun, run.directory.c_str(), run.not_run.c_str());
    return;
  }
  std::fprintf(out, "%s\n", run.directory.c_str());
  const auto& h = check_text::kHeads;
  std::fprintf(out, check_text::kRow, h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8], h[9]);
  for (const SegmentCheck& s : run.segments) {
    std::string verdict = s.unused ? check_text::kVerdictUnused
                          : s.problems == 0
                              ? check_text::kVerdictOk
                              : std::to_string(s.problems) + " problem" + check_text::Plural(s.problems);
    bool timed = s.first_ms >= 0;
    std::fprintf(out, check_text::kRow, s.stem.c_str(),
                 FramesText(s).c_str(), timed ? runfiles::FormatClock(s.first_ms).c_str() : "-",
                 timed && run.start_epoch_ms ? runfiles::FormatLocalTime(*run.WallClock(s.first_ms)).c_str() : "-",
                 timed ? Number("%.3f", static_cast<double>(s.span_ms) / 1000.0).c_str() : "-",
                 s.achieved_fps > 0 ? Number("%.1f", s.achieved_fps).c_str() : "-",
                 timed ? std::to_string(s.late_frames).c_str() : "-",
                 timed ? (std::to_string(s.largest_gap_ms) + " ms").c_str() : "-",
                 runfiles::FormatSize(s.bytes).c_str(), verdict.c_str());
  }
  std::string unused = run.unused_segments > 0
                           ? " (" + std::to_string(run.unused_segments) + " unused)"
                           : std::string();
  const auto segments = static_cast<long long>(run.segments.size());
  std::fprintf(out, check_text::kSummaryRun, segments, check_text::Plural(segments), unused.c_str(),
               static_cast<long long>(run.frames), check_text::Plural(run.frames),
               runfiles::FormatClock(run.duration_ms).c_str(),
               runfiles::FormatSize(run.bytes).c_str());
  std::string where = run.largest_gap_at.empty() ? std::string() : " (at " + run.largest_gap_at + ")";
  std::fprintf(out, check_text::kSummaryRate, FpsText(run.nominal_fps).c_str(),
               run.achieved_fps > 0 ? Number("%.2f", run.achieved_fps).c_str() : "?",
               static_cast<long long>(run.late_frames), check_text::Plural(run.late_frames),
               static_cast<long long>(run.largest_gap_ms),
               where.c_str());
  if (run.slot_ms > 0) {
    std::string slot = run.slot_ms % 1000 == 0 ? std::to_string(run.slot_ms / 1000)
                                               : Number("%.3f", static_cast<double>(run.slot_ms) / 1000.0);
    std::fprintf(out, check_text::kSummarySlots, slot.c_str(), static_cast<long long>(run.missing_timeslots));
  } else {
    std::fputs(check_text::kSummarySlotsUnknown, out);
  }
  if (!run.ignored_files.empty()) {
    std::string names;
    for (const std::string& name : run.ignored_files) names += (names.empty() ? "" : ", ") + name;
    std::fprintf(out, check_text::kIgnored, names.c_str());
  }
  if (run.problems.empty()) {
    std::fprintf(out, check_text::kWhole, run.directory.c_str());
  } else {
    long long n = static_cast<long long>(run.problems.size());
    std::fprintf(out, check_text::kNotWhole, run.directory.c_str(), n, check_text::Plural(n));
    for (const Problem& p : run.problems) std::fprintf(out, "  %s\n", p.text.c_str());
  }
}

void PrintJson(std::FILE* out, const std::vector<RunCheck>& runs, int status) {
  using runfiles::JsonString;
  std::fputs("{\"runs\": [", out);
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const RunCheck& run = runs[r];
    std::fprintf(out, "%s\n {\"directory\": %s, \"status\": %d, \"run_directory\": %s", r == 0 ? "" : ",",
                 JsonString(run.directory).c_str(), run.status(), run.run_directory ? "true" : "false");
    if (!run.run_directory) {
      std::fprintf(out, ", \"reason\": %s}", JsonString(run.not_run).c_str());
      continue;
    }
    std::fprintf(out, ", \"whole\": %s,\n  \"segments\": [", run.problems.empty() ? "true" : "false");
    for (std::size_t i = 0; i < run.segments.size(); ++i) {
      const SegmentCheck& s = run.segments[i];
      std::fprintf(out,
                   "%s\n   {\"name\": %s, \"timeslot_start_ms\": %lld, \"avi_frames\": %s, "
                   "\"meta_frames\": %s, \"nominal_fps\": %s, \"first_frame_ms\": %s, \"wall_clock\": %s, "
                   "\"span_ms\": %lld, "
                   "\"achieved_fps\": %s, \"late_frames\": %lld, \"largest_gap_ms\": %lld, "
                   "\"bytes\": %lld, \"unused\": %s, \"problems\": %d}",
                   i == 0 ? "" : ",", JsonString(s.stem).c_str(), static_cast<long long>(s.start_ms),
                   s.avi_frames < 0 ? "null" : std::to_string(s.avi_frames).c_str(),
                   s.meta_frames < 0 ? "null" : std::to_string(s.meta_frames).c_str(),
                   s.nominal_fps > 0 ? JsonRate(s.nominal_fps).c_str() : "null",
                   s.first_ms < 0 ? "null" : std::to_string(s.first_ms).c_str(),
                   WallClockJson(run, s.first_ms).c_str(),
                   static_cast<long long>(s.span_ms), JsonRate(s.achieved_fps).c_str(),
                   static_cast<long long>(s.late_frames), static_cast<long long>(s.largest_gap_ms),
                   static_cast<long long>(s.bytes), s.unused ? "true" : "false", s.problems);
    }
    std::fprintf(out,
                 "],\n  \"summary\": {\"segments\": %lld, \"unused_segments\": %lld, \"frames\": %lld, "
                 "\"duration_ms\": %lld, \"bytes\": %lld, \"nominal_fps\": %s, \"achieved_fps\": %s, "
                 "\"late_frames\": %lld, \"largest_gap_ms\": %lld, \"largest_gap_at\": %s, "
                 "\"timeslot_ms\": %s, \"missing_timeslots\": %lld, \"wall_clock_start\": %s, "
                 "\"wall_clock_end\": %s},\n  \"problems\": [",
                 static_cast<long long>(run.segments.size()), static_cast<long long>(run.unused_segments),
                 static_cast<long long>(run.frames), static_cast<long long>(run.duration_ms),
                 static_cast<long long>(run.bytes),
                 run.nominal_fps > 0 ? JsonRate(run.nominal_fps).c_str() : "null",
                 JsonRate(run.achieved_fps).c_str(), static_cast<long long>(run.late_frames),
                 static_cast<long long>(run.largest_gap_ms),
                 run.largest_gap_at.empty() ? "null" : JsonString(run.largest_gap_at).c_str(),
                 run.slot_ms > 0 ? std::to_string(run.slot_ms).c_str() : "null",
                 static_cast<long long>(run.missing_timeslots),
                 WallClockJson(run, run.frames > 0 ? 0 : -1).c_str(),
                 WallClockJson(run, run.frames > 0 ? run.duration_ms : -1).c_str());
    for (std::size_t i = 0; i < run.problems.size(); ++i) {
      const Problem& p = run.problems[i];
      std::fprintf(out, "%s\n   {\"segment\": %s, \"kind\": %s, \"text\": %s}", i == 0 ? "" : ",",
                   p.segment.empty() ? "null" : JsonString(p.segment).c_str(), JsonString(p.kind).c_str(),
                   JsonString(p.text).c_str());
    }
    std::fputs("],\n  \"ignored_files\": [", out);
    for (std::size_t i = 0; i < run.ignored_files.size(); ++i)
      std::fprintf(out, "%s%s", i == 0 ? "" : ", ", JsonString(run.ignored_files[i]).c_str());
    std::fputs("]}", out);
  }
  std::fprintf(out, "],\n \"status\": %d}\n", status);
}

}  // namespace check
