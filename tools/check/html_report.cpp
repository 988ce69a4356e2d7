#include "tools/check/html_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string_view>
#include <vector>

#include "formats/run_names.h"
#include "tools/check/check_texts.h"
#include "tools/check/screen_picture.h"
#include "tools/common/text_format.h"
#include "tools/common/wall_clock.h"

namespace check {

namespace {

using runfiles::Format;

// The charts' width in SVG units; a time line of more timeslots than this
// bins them.
constexpr int kChartWidth = 1000;
constexpr int kMaxMarks = 1000;
constexpr std::size_t kMaxPictures = 240;
constexpr int kHeatColumns = 64;
constexpr int kLargestScreen = 16384;

// Everything in the page the user's files or the run give is escaped.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Num(double value) {
  std::string text = Format("%.2f", value);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text == "-0" ? "0" : text;
}

std::string FpsText(double fps) { return fps > 0 ? Num(fps) : "?"; }

// A timeslot's (or a bin of timeslots') state on the time line, from the
// best to the worst; a bin shows its worst.
enum class Mark { kUnused, kOk, kLate, kMissing, kProblem };
const char* MarkClass(Mark m) {
  switch (m) {
    case Mark::kUnused: return "unused";
    case Mark::kOk: return "ok";
    case Mark::kLate: return "late";
    case Mark::kMissing: return "none";
    case Mark::kProblem: return "problem";
  }
  return "ok";
}

constexpr const char* kStyle = R"(
body{font:14px/1.45 system-ui,sans-serif;margin:24px;color:#222;background:#fafafa;max-width:1100px}
h1{font-size:20px;margin:0 0 4px} h2{font-size:16px;margin:28px 0 8px}
.whole{color:#1d7a33;font-weight:600} .broken{color:#b42318;font-weight:600}
table.summary td{padding:1px 14px 1px 0;vertical-align:top} table.summary td:first-child{color:#666}
ol.problems{margin:6px 0;padding-left:22px} ol.problems li{margin:2px 0}
svg{display:block;width:100%;height:auto;background:#fff;border:1px solid #ddd}
svg text{font:11px system-ui,sans-serif;fill:#555}
.mark.ok{fill:#3a9d4a} .mark.late{fill:#e3a21a} .mark.problem{fill:#d03030}
.mark.none{fill:#c9c9c9} .mark.unused{fill:#e6efe7}
.key.ok{background:#3a9d4a} .key.late{background:#e3a21a} .key.problem{background:#d03030}
.key.none{background:#c9c9c9} .key.unused{background:#e6efe7;border:1px solid #ccc;box-sizing:border-box}
.legend span{display:inline-block;margin-right:14px} .legend i{display:inline-block;width:12px;height:12px;margin-right:4px;vertical-align:-1px}
.grid{stroke:#eee} .axis{stroke:#999} .nominal{stroke:#1f5fbf;stroke-dasharray:5 4}
.spread{stroke:#666;stroke-width:1.4;stroke-linecap:round} .dot{stroke:#333;stroke-width:3;stroke-linecap:round}
.hit{fill:transparent} .hit:hover{fill:rgba(31,95,191,.12)}
.pictures{display:flex;flex-wrap:wrap;gap:10px} figure{margin:0;background:#fff;border:1px solid #ddd;padding:4px}
figure img{display:block} figcaption{font-size:12px;color:#444;margin-top:3px}
.nopic{display:flex;align-items:center;justify-content:center;background:#eee;color:#b42318;font-size:12px;padding:8px;box-sizing:border-box}
.heat:hover{stroke:#000;stroke-width:1} .note{color:#666;font-size:12px}
)";

class Report {
 public:
  Report(const RunCheck& run, const HtmlOptions& options) : run_(run), options_(options) { Prepare(); }

  std::string Page() {
    std::string directory_name = run_.directory;
    out_ += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
            Escape(directory_name) + " \xe2\x80\x94 " + check_text::kProgram +
            "</title>\n<style>" + kStyle + "</style></head><body>\n";
    Summary();
    Timeline();
    Intervals();
    Pictures();
    HeatMap();
    out_ += "</body></html>\n";
    return std::move(out_);
  }

 private:
  // ---- time ----------------------------------------------------------------
  // The charts count recording time: ms after the start of recording, which
  // is where the timeslots count from and the directory's name tells; a
  // frame `ms` after the run's first frame is at origin_ms + ms.
  std::int64_t FrameAt(std::int64_t ms) const { return run_.origin_ms + ms; }
  bool WallKnown() const { return run_.start_epoch_ms.has_value(); }
  std::int64_t Wall(std::int64_t at) const { return *run_.start_epoch_ms + at; }

  // A moment of the recording for a person: the local date and time, or
  // (when the directory's name gives no start) the time after the start.
  std::string When(std::int64_t at) const {
    return WallKnown() ? runfiles::FormatLocalTime(Wall(at)) : "+" + runfiles::FormatClock(at);
  }
  std::string WhenShort(std::int64_t at, bool with_ms) const {
    if (WallKnown()) return runfiles::FormatLocalTimeOfDay(Wall(at), with_ms);
    std::string clock = runfiles::FormatClock(at);
    return "+" + (with_ms ? clock : clock.substr(0, clock.size() - 4));
  }
  double X(std::int64_t at) const {
    return static_cast<double>(at) * kChartWidth / static_cast<double>(end_);
  }

  void Prepare() {
    const auto& segments = run_.segments;
    std::int64_t end = run_.frames > 0 ? FrameAt(run_.duration_ms) : 0;
    for (const SegmentCheck& s : segments) {
      end = std::max(end, s.start_ms + (run_.slot_ms > 0 ? run_.slot_ms : 0));
      if (s.first_ms >= 0) end = std::max(end, FrameAt(s.first_ms + s.span_ms));
    }
    end_ = std::max<std::int64_t>(end, 1);
    first_kept_.assign(segments.size(), 0);
    kept_count_.assign(segments.size(), 0);
    for (std::size_t i = run_.frames_kept.size(); i-- > 0;) {
      const std::uint32_t s = run_.frames_kept[i].segment;
      if (s >= segments.size()) continue;
      first_kept_[s] = i;
      ++kept_count_[s];
    }
    for (const Problem& p : run_.problems) problems_of_[p.segment].push_back(&p);
  }

  // ---- summary ---------------------------------------------------------------
  void Row(const std::string& name, const std::string& value) {
    out_ += "<tr><td>" + Escape(name) + "</td><td>" + value + "</td></tr>\n";
  }

  void Summary() {
    out_ += "<h1>" + Escape(run_.directory) + "</h1>\n";
    if (run_.problems.empty()) {
      out_ += "<p class=\"verdict whole\">whole</p>\n";
    } else {
      const auto n = static_cast<long long>(run_.problems.size());
      out_ += Format("<p class=\"verdict broken\">NOT WHOLE, %lld problem%s:</p>\n<ol class=\"problems\">\n", n,
                     check_text::Plural(n));
      for (const Problem& p : run_.problems)
        out_ += "<li data-segment=\"" + Escape(p.segment) + "\" data-kind=\"" + Escape(p.kind) + "\">" +
                Escape(p.text) + "</li>\n";
      out_ += "</ol>\n";
    }
    out_ += "<table class=\"summary\">\n";
    if (run_.frames > 0) {
      Row("start", Escape(When(FrameAt(0))));
      Row("end", Escape(When(FrameAt(run_.duration_ms))));
    }
    Row("duration", Escape(runfiles::FormatClock(run_.duration_ms)));
    const auto segments = static_cast<long long>(run_.segments.size());
    Row("segments", Format("%lld (%lld unused)", segments, static_cast<long long>(run_.unused_segments)));
    Row("frames", std::to_string(run_.frames));
    Row("size", Escape(runfiles::FormatSize(run_.bytes)));
    Row("rate", Escape("nominal " + FpsText(run_.nominal_fps) + " fps, achieved " +
                       (run_.achieved_fps > 0 ? Format("%.2f", run_.achieved_fps) : std::string("?")) + " fps"));
    Row("late frames", Format("%lld (later than due by more than a frame interval)",
                              static_cast<long long>(run_.late_frames)));
    Row("largest gap", Escape(std::to_string(run_.largest_gap_ms) + " ms" +
                              (run_.largest_gap_at.empty() ? "" : " (at " + run_.largest_gap_at + ")")));
    Row("timeslots", run_.slot_ms > 0 ? Escape(Num(static_cast<double>(run_.slot_ms) / 1000.0) + " s, " +
                                               std::to_string(run_.missing_timeslots) + " without a segment")
                                      : "length unknown (one segment; see --slotsecs)");
    if (!run_.ignored_files.empty()) {
      std::string names;
      for (const std::string& name : run_.ignored_files) names += (names.empty() ? "" : ", ") + name;
      Row("ignored", Escape(names));
    }
    out_ += "</table>\n<p class=\"note\">";
    if (WallKnown()) {
      out_ += "Times are local times (" + Escape(ZoneName()) +
              "): the run's start is the time its directory is named after, to the millisecond; every frame "
              "is placed from there by the recorder's timer.";
    } else {
      out_ += "The directory's name is not a run's name (YYYY-MM-DD-hh-mm-ss-mmm), so times are counted "
              "from the start of recording.";
    }
    out_ += "</p>\n";
  }

  std::string ZoneName() const {
    std::time_t t = static_cast<std::time_t>(Wall(0) / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Z, UTC%z", &tm);
    return text;
  }

  // ---- time axis -------------------------------------------------------------
  // Ticks at a round step of the wall clock (or of the time after the
  // start), about ten across.
  void Axis(int y, int tick_top) {
    static constexpr std::int64_t kSteps[] = {100,     200,     500,     1000,     2000,     5000,     10000,
                                              15000,   30000,   60000,   120000,   300000,   600000,   900000,
                                              1800000, 3600000, 7200000, 10800000, 21600000, 43200000, 86400000};
    std::int64_t step = kSteps[std::size(kSteps) - 1];
    for (std::int64_t s : kSteps)
      if (end_ / s <= 10) {
        step = s;
        break;
      }
    std::int64_t shift = 0;  // from recording time to the clock the ticks are round on
    if (WallKnown()) {
      std::time_t t = static_cast<std::time_t>(Wall(0) / 1000);
      std::tm tm{};
      localtime_r(&t, &tm);
      shift = Wall(0) + static_cast<std::int64_t>(tm.tm_gmtoff) * 1000;
    }
    std::int64_t first = ((shift + step - 1) / step) * step - shift;
    if (shift < 0) first = -shift;  // before 1970: ticks from the start
    out_ += Format("<line class=\"axis\" x1=\"0\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>\n", y, kChartWidth, y);
    for (std::int64_t at = first; at <= end_; at += step) {
      const double x = X(at);
      out_ += Format("<line class=\"grid\" x1=\"%s\" y1=\"%d\" x2=\"%s\" y2=\"%d\"/>", Num(x).c_str(), tick_top,
                     Num(x).c_str(), y + 4);
      const char* anchor = x < 30 ? "start" : x > kChartWidth - 30 ? "end" : "middle";
      out_ += Format("<text x=\"%s\" y=\"%d\" text-anchor=\"%s\">%s</text>\n", Num(x).c_str(), y + 16, anchor,
                     Escape(WhenShort(at, step < 1000)).c_str());
    }
  }

  // ---- time line ---------------------------------------------------------------
  struct Bin {
    std::int64_t first_slot = 0, slots = 0;
    std::int64_t counts[5] = {};  // timeslots in each state, by Mark
    std::int64_t present_in_run = 0;  // of them, up to the last timeslot with frames
    std::int64_t frames = 0;
    Mark worst = Mark::kUnused;
    long segment = -1;  // the segment of a bin of one timeslot
  };

  Mark SegmentMark(const SegmentCheck& s) const {
    if (s.unused) return Mark::kUnused;
    if (s.problems > 0) return Mark::kProblem;
    if (s.late_frames > 0) return Mark::kLate;
    return Mark::kOk;
  }

  std::string SegmentTitle(const SegmentCheck& s, std::int64_t from, std::int64_t to) const {
    std::string title = s.stem + " \xc2\xb7 " + When(from) + " \xe2\x80\x93 " + WhenShort(to, true) + "\n";
    if (s.unused) return title + check_text::kVerdictUnused;
    if (s.first_ms >= 0) {
      title += Format("%lld frames from %s, %lld late, largest gap %lld ms", static_cast<long long>(s.meta_frames),
                      WhenShort(FrameAt(s.first_ms), true).c_str(), static_cast<long long>(s.late_frames),
                      static_cast<long long>(s.largest_gap_ms));
      if (s.achieved_fps > 0) title += ", " + Format("%.1f", s.achieved_fps) + " fps";
    } else {
      title += "no frame times";
    }
    title += ", " + runfiles::FormatSize(s.bytes);
    auto found = problems_of_.find(s.stem);
    if (found != problems_of_.end())
      for (const Problem* p : found->second) title += "\n\xe2\x80\xa2 " + p->text;
    return title;
  }

  void Timeline() {
    const auto& segments = run_.segments;
    std::vector<Bin> bins;
    const std::int64_t slot = run_.slot_ms;
    if (slot > 0 && !segments.empty()) {
      const std::int64_t slots = segments.back().start_ms / slot + 1;
      const std::int64_t per_bin = (slots + kMaxMarks - 1) / kMaxMarks;
      const std::int64_t count = (slots + per_bin - 1) / per_bin;
      bins.resize(static_cast<std::size_t>(count));
      for (std::int64_t b = 0; b < count; ++b) {
        bins[b].first_slot = b * per_bin;
        bins[b].slots = std::min(per_bin, slots - b * per_bin);
      }
      // Timeslots without a segment count as missing only up to the last
      // one with frames, as the check counts them; after it, a stall may
      // have left the prepared pair a timeslot ahead, and nothing is lost.
      std::int64_t last_with_frames = -1;
      for (const SegmentCheck& s : segments)
        if (s.meta_frames > 0) last_with_frames = std::max(last_with_frames, s.start_ms / slot);
      std::int64_t last_slot = -1;
      for (std::size_t i = 0; i < segments.size(); ++i) {
        const SegmentCheck& s = segments[i];
        const std::int64_t k = s.start_ms / slot;
        Bin& bin = bins[static_cast<std::size_t>(k / per_bin)];
        const Mark m = SegmentMark(s);
        // Two segments in one timeslot (a --slotsecs the names do not fit):
        // the timeslot counts once, and shows the worse.
        if (k != last_slot) {
          ++bin.counts[static_cast<int>(m)];
          if (k <= last_with_frames) ++bin.present_in_run;
        }
        bin.worst = std::max(bin.worst, m);
        bin.frames += std::max<std::int64_t>(s.meta_frames, 0);
        if (per_bin == 1) bin.segment = static_cast<long>(i);
        last_slot = k;
      }
      for (Bin& bin : bins) {
        std::int64_t present = 0;
        for (int m = 0; m < 5; ++m) present += bin.counts[m];
        const std::int64_t in_run = std::clamp<std::int64_t>(last_with_frames - bin.first_slot + 1, 0, bin.slots);
        const std::int64_t missing = std::max<std::int64_t>(in_run - bin.present_in_run, 0);
        const std::int64_t after = std::max<std::int64_t>(
            (bin.slots - in_run) - (present - bin.present_in_run), 0);
        bin.counts[static_cast<int>(Mark::kMissing)] += missing;
        bin.counts[static_cast<int>(Mark::kUnused)] += after;
        if (missing > 0) bin.worst = std::max(bin.worst, Mark::kMissing);
      }
    }

    out_ += "<h2>Time line</h2>\n<p class=\"legend\">";
    static const char* const kLegend[][2] = {{"ok", "whole"},
                                             {"late", "late frames"},
                                             {"problem", "a problem"},
                                             {"none", "no segment"},
                                             {"unused", "unused pair"}};
    for (const auto& l : kLegend)
      out_ += Format("<span><i class=\"key %s\"></i>%s</span>", l[0], l[1]);
    out_ += "</p>\n";
    const int height = 70;
    out_ += Format("<svg class=\"timeline\" viewBox=\"-52 0 %d %d\" role=\"img\">\n", kChartWidth + 60, height);
    Axis(44, 0);
    const int top = 6, bar = 34;
    if (slot > 0) {
      for (const Bin& bin : bins) {
        const std::int64_t from = bin.first_slot * slot, to = (bin.first_slot + bin.slots) * slot;
        const double x = X(from), w = std::max(X(to) - x - (bins.size() < 300 ? 0.6 : 0.0), 0.5);
        std::string title;
        if (bin.slots == 1 && bin.segment >= 0) {
          title = SegmentTitle(segments[static_cast<std::size_t>(bin.segment)], from, to);
        } else if (bin.slots == 1) {
          title = SegmentStem(from) + " \xc2\xb7 " + When(from) + " \xe2\x80\x93 " + WhenShort(to, true) +
                  "\nno segment for this timeslot";
        } else {
          title = SegmentStem(from) + " to " + SegmentStem(to - slot) + " \xc2\xb7 " + When(from) +
                  " \xe2\x80\x93 " + WhenShort(to, true) +
                  Format("\n%lld timeslots: %lld whole, %lld with late frames, %lld with problems, %lld without "
                         "a segment, %lld unused; %lld frames",
                         static_cast<long long>(bin.slots), static_cast<long long>(bin.counts[1]),
                         static_cast<long long>(bin.counts[2]), static_cast<long long>(bin.counts[4]),
                         static_cast<long long>(bin.counts[3]), static_cast<long long>(bin.counts[0]),
                         static_cast<long long>(bin.frames));
        }
        out_ += Format("<rect class=\"mark %s\" data-slot=\"%s\" data-slots=\"%lld\" x=\"%s\" y=\"%d\" "
                       "width=\"%s\" height=\"%d\"><title>%s</title></rect>\n",
                       MarkClass(bin.worst), SegmentStem(from).c_str(), static_cast<long long>(bin.slots),
                       Num(x).c_str(), top, Num(w).c_str(), bar, Escape(title).c_str());
      }
    } else {
      // Without a timeslot length each segment is a mark of its own, as
      // long as its frames.
      for (std::size_t i = 0; i < segments.size(); ++i) {
        const SegmentCheck& s = segments[i];
        const std::int64_t from = s.first_ms >= 0 ? FrameAt(s.first_ms) : s.start_ms;
        const std::int64_t to = i + 1 < segments.size() ? segments[i + 1].start_ms : end_;
        const double x = X(from), w = std::max(X(std::max(to, from + 1)) - x, 0.5);
        out_ += Format("<rect class=\"mark %s\" data-slot=\"%s\" data-slots=\"1\" x=\"%s\" y=\"%d\" width=\"%s\" "
                       "height=\"%d\"><title>%s</title></rect>\n",
                       MarkClass(SegmentMark(s)), Escape(s.stem).c_str(), Num(x).c_str(), top, Num(w).c_str(), bar,
                       Escape(SegmentTitle(s, from, to)).c_str());
      }
    }
    out_ += "</svg>\n";
  }

  // ---- frame intervals ---------------------------------------------------------
  void Intervals() {
    out_ += "<h2>Frame intervals</h2>\n";
    const auto& frames = run_.frames_kept;
    if (frames.size() < 2) {
      out_ += "<p class=\"note\">Too few frames with capture times for intervals.</p>\n";
      return;
    }
    struct Column {
      std::int64_t min = 0, max = 0, count = 0;
    };
    std::vector<Column> columns(kChartWidth);
    std::int64_t lowest = frames[1].ms - frames[0].ms, highest = lowest;
    for (std::size_t i = 1; i < frames.size(); ++i) {
      const std::int64_t step = frames[i].ms - frames[i - 1].ms;
      const std::int64_t at = FrameAt(frames[i].ms);
      auto c = static_cast<std::size_t>(std::clamp<double>(X(at), 0, kChartWidth - 1));
      Column& col = columns[c];
      col.min = col.count == 0 ? step : std::min(col.min, step);
      col.max = col.count == 0 ? step : std::max(col.max, step);
      ++col.count;
      lowest = std::min(lowest, step);
      highest = std::max(highest, step);
    }
    const double nominal = run_.nominal_fps > 0 ? 1000.0 / run_.nominal_fps : 0;
    double lo = std::max(1.0, std::min(static_cast<double>(std::max<std::int64_t>(lowest, 1)),
                                       nominal > 0 ? nominal : 1e18) / 2);
    double hi = std::max(static_cast<double>(highest), nominal) * 1.6;
    if (hi <= lo * 2) hi = lo * 4;
    const int height = 180, plot = 150;
    const double llo = std::log10(lo), lhi = std::log10(hi);
    auto y = [&](double v) {
      v = std::clamp(v, lo, hi);
      return plot - (std::log10(v) - llo) / (lhi - llo) * (plot - 8);
    };
    out_ += Format("<p class=\"note\">Time from each frame to the next, on a logarithmic scale; the dashed line is "
                   "the nominal interval (%s ms). A stall shows as a spike, a time without segments as a gap with "
                   "one high interval after it.</p>\n",
                   nominal > 0 ? Num(nominal).c_str() : "?");
    out_ += Format("<svg class=\"intervals\" viewBox=\"-52 0 %d %d\" role=\"img\">\n", kChartWidth + 60, height);
    for (double decade = std::pow(10.0, std::floor(llo)); decade <= hi; decade *= 10) {
      for (double f : {1.0, 2.0, 5.0}) {
        const double v = decade * f;
        if (v < lo || v > hi) continue;
        const double gy = y(v);
        out_ += Format("<line class=\"grid\" x1=\"0\" y1=\"%s\" x2=\"%d\" y2=\"%s\"/><text x=\"-4\" y=\"%s\" "
                       "text-anchor=\"end\">%s</text>\n",
                       Num(gy).c_str(), kChartWidth, Num(gy).c_str(), Num(gy + 4).c_str(),
                       (v >= 1000 ? Num(v / 1000) + " s" : Num(v) + " ms").c_str());
      }
    }
    Axis(plot, 0);
    if (nominal > 0)
      out_ += Format("<line class=\"nominal\" x1=\"0\" y1=\"%s\" x2=\"%d\" y2=\"%s\"><title>nominal interval %s "
                     "ms (%s fps)</title></line>\n",
                     Num(y(nominal)).c_str(), kChartWidth, Num(y(nominal)).c_str(), Num(nominal).c_str(),
                     FpsText(run_.nominal_fps).c_str());
    // One stroke per column from its shortest to its longest interval; a
    // column of one interval is a dot.
    std::string spread, dots;
    for (int c = 0; c < kChartWidth; ++c) {
      const Column& col = columns[c];
      if (col.count == 0) continue;
      const double x = c + 0.5;
      const double y1 = y(static_cast<double>(col.min)), y2 = y(static_cast<double>(col.max));
      if (y1 - y2 < 2)
        dots += Format("M%s %sh0", Num(x).c_str(), Num(y2).c_str());
      else
        spread += Format("M%s %sV%s", Num(x).c_str(), Num(y1).c_str(), Num(y2).c_str());
    }
    if (!spread.empty()) out_ += "<path class=\"spread\" d=\"" + spread + "\"/>\n";
    if (!dots.empty()) out_ += "<path class=\"dot\" d=\"" + dots + "\"/>\n";
    // What each column holds, on hovering over it.
    const double ms_per_column = static_cast<double>(end_) / kChartWidth;
    for (int c = 0; c < kChartWidth; ++c) {
      const Column& col = columns[c];
      if (col.count == 0) continue;
      const auto from = static_cast<std::int64_t>(c * ms_per_column);
      const auto to = static_cast<std::int64_t>((c + 1) * ms_per_column);
      std::string title =
          col.count == 1
              ? Format("%s: %lld ms to this frame", WhenShort(from, true).c_str(), static_cast<long long>(col.max))
              : Format("%s \xe2\x80\x93 %s: %lld intervals, %lld to %lld ms", WhenShort(from, true).c_str(),
                       WhenShort(to, true).c_str(), static_cast<long long>(col.count),
                       static_cast<long long>(col.min), static_cast<long long>(col.max));
      out_ += Format("<rect class=\"hit\" x=\"%d\" y=\"0\" width=\"1\" height=\"%d\"><title>%s</title></rect>", c,
                     plot, Escape(title).c_str());
    }
    out_ += "\n</svg>\n";
  }

  // ---- pictures ------------------------------------------------------------------
  // Where a segment's frames begin, in recording time.
  std::int64_t SegmentAt(const SegmentCheck& s) const { return s.first_ms >= 0 ? FrameAt(s.first_ms) : s.start_ms; }

  // The segments to show a picture of: all with frames, or, when there are
  // too many, the first of each minute (or of a longer round step of the
  // wall clock) in which one begins.
  std::vector<std::size_t> ChosenSegments() const {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < run_.segments.size(); ++i)
      if (run_.segments[i].avi_frames > 0) candidates.push_back(i);
    if (candidates.size() <= kMaxPictures) return candidates;
    static constexpr std::int64_t kMinutes[] = {1, 2, 5, 10, 15, 20, 30, 60, 120, 180, 240, 360, 720, 1440};
    std::int64_t step = kMinutes[std::size(kMinutes) - 1] * 60000;
    for (std::int64_t m : kMinutes)
      if (end_ / (m * 60000) + 1 <= static_cast<std::int64_t>(kMaxPictures)) {
        step = m * 60000;
        break;
      }
    std::int64_t shift = 0;
    if (WallKnown()) {
      std::time_t t = static_cast<std::time_t>(Wall(0) / 1000);
      std::tm tm{};
      localtime_r(&t, &tm);
      shift = std::max<std::int64_t>(Wall(0) + static_cast<std::int64_t>(tm.tm_gmtoff) * 1000, 0);
    }
    std::vector<std::size_t> chosen;
    std::int64_t next = 0;
    for (std::size_t i : candidates) {
      const std::int64_t at = SegmentAt(run_.segments[i]) + shift;
      if (!chosen.empty() && at < next) continue;
      chosen.push_back(i);
      next = (at / step + 1) * step;
    }
    return chosen;
  }

  std::string AviPath(const SegmentCheck& s) const { return run_.directory + "/" + s.stem + run_name::kAviExtension; }

  // The time of the frame a picture shows.
  std::int64_t PictureAt(std::size_t segment, const ScreenPicture& picture) const {
    if (picture.frame_index < kept_count_[segment])
      return FrameAt(run_.frames_kept[first_kept_[segment] + static_cast<std::size_t>(picture.frame_index)].ms);
    return SegmentAt(run_.segments[segment]);
  }

  void NoteFrameSize(const ScreenPicture& picture) {
    if (frame_width_ == 0 && picture.frame_width > 0 && picture.frame_height > 0) {
      frame_width_ = picture.frame_width;
      frame_height_ = picture.frame_height;
    }
  }

  void Pictures() {
    std::vector<std::size_t> chosen = ChosenSegments();
    out_ += "<h2>Screen</h2>\n";
    if (chosen.empty()) {
      out_ += "<p class=\"note\">No segment has frames to show.</p>\n";
      return;
    }
    const int width = chosen.size() <= 60 ? 480 : 320;
    out_ += Format("<p class=\"note\">%s</p>\n<div class=\"pictures\">\n",
                   chosen.size() == static_cast<std::size_t>(std::count_if(
                                        run_.segments.begin(), run_.segments.end(),
                                        [](const SegmentCheck& s) { return s.avi_frames > 0; }))
                       ? "The first frame of every segment."
                       : "The first frame of the first segment of each step of time.");
    for (std::size_t i : chosen) {
      const SegmentCheck& s = run_.segments[i];
      ScreenPicture picture = PictureOfSegment(AviPath(s), width);
      NoteFrameSize(picture);
      if (picture.jpeg.empty()) {
        const int h = frame_width_ > 0 ? width * frame_height_ / frame_width_ : width * 9 / 16;
        out_ += Format("<figure><div class=\"nopic\" style=\"width:%dpx;height:%dpx\">no picture: %s</div>"
                       "<figcaption>%s \xc2\xb7 %s</figcaption></figure>\n",
                       width, h, Escape(picture.error).c_str(), Escape(When(SegmentAt(s))).c_str(),
                       Escape(s.stem).c_str());
        continue;
      }
      const std::string when = When(PictureAt(i, picture));
      out_ += Format("<figure><img src=\"data:image/jpeg;base64,%s\" width=\"%d\" height=\"%d\" alt=\"the screen at "
                     "%s\" title=\"%s frame %lld\"><figcaption>%s \xc2\xb7 %s</figcaption></figure>\n",
                     Base64(picture.jpeg).c_str(), picture.width, picture.height, Escape(when).c_str(),
                     Escape(s.stem).c_str(), static_cast<long long>(picture.frame_index + 1), Escape(when).c_str(),
                     Escape(s.stem).c_str());
    }
    out_ += "</div>\n";
  }

  // ---- cursor --------------------------------------------------------------------
  void HeatMap() {
    out_ += "<h2>Cursor</h2>\n";
    const auto& frames = run_.frames_kept;
    if (frames.empty()) {
      out_ += "<p class=\"note\">No cursor positions: no frame has a capture time.</p>\n";
      return;
    }
    // The background: the screen halfway through the run.
    ScreenPicture background;
    std::size_t best = run_.segments.size();
    for (std::size_t i = 0; i < run_.segments.size(); ++i) {
      if (run_.segments[i].avi_frames <= 0) continue;
      if (best == run_.segments.size() ||
          std::llabs(SegmentAt(run_.segments[i]) - end_ / 2) < std::llabs(SegmentAt(run_.segments[best]) - end_ / 2))
        best = i;
    }
    if (best < run_.segments.size()) {
      background = PictureOfSegment(AviPath(run_.segments[best]), 960);
      NoteFrameSize(background);
    }
    int fw = frame_width_, fh = frame_height_;
    if (fw <= 0 || fh <= 0) {
      // No AVI to tell the frame's size: the positions' extent, within
      // what a screen can be (a damaged .meta may give any number).
      std::int64_t w = 64, h = 64;
      for (const FramePoint& f : frames) {
        w = std::max<std::int64_t>(w, static_cast<std::int64_t>(f.x) - options_.origin_x + 32);
        h = std::max<std::int64_t>(h, static_cast<std::int64_t>(f.y) - options_.origin_y + 32);
      }
      fw = static_cast<int>(std::min<std::int64_t>(w, kLargestScreen));
      fh = static_cast<int>(std::min<std::int64_t>(h, kLargestScreen));
    }
    // Square cells, at most kHeatColumns along the longer side.
    const int cell = std::max(4, (std::max(fw, fh) + kHeatColumns - 1) / kHeatColumns);
    const int columns = (fw + cell - 1) / cell, rows = (fh + cell - 1) / cell;
    std::vector<std::int64_t> counts(static_cast<std::size_t>(columns) * rows, 0);
    std::int64_t outside = 0, most = 0;
    for (const FramePoint& f : frames) {
      const std::int64_t px = static_cast<std::int64_t>(f.x) - options_.origin_x;
      const std::int64_t py = static_cast<std::int64_t>(f.y) - options_.origin_y;
      if (px < 0 || py < 0 || px >= fw || py >= fh) {
        ++outside;
        continue;
      }
      std::int64_t& c = counts[static_cast<std::size_t>(py / cell) * columns + static_cast<std::size_t>(px / cell)];
      most = std::max(most, ++c);
    }
    const double fps = run_.nominal_fps > 0 ? run_.nominal_fps : 0;
    out_ += Format("<p class=\"note\">Where the cursor image's top-left corner was in %lld frames, in cells of %d "
                   "pixels over the screen %s; the darker the red, the more frames.",
                   static_cast<long long>(frames.size()), cell,
                   background.jpeg.empty() ? "(no picture of it could be decoded)"
                                           : ("at " + Escape(When(PictureAt(best, background)))).c_str());
    if (outside > 0)
      out_ += Format(" %lld positions lay outside the frame: on another monitor, or in a -totalcapture run whose "
                     "desktop reaches left of or above the primary monitor (give its top-left corner with --origin).",
                     static_cast<long long>(outside));
    out_ += "</p>\n";
    out_ += Format("<svg class=\"heatmap\" viewBox=\"0 0 %d %d\" style=\"max-width:%dpx\" role=\"img\">\n", fw, fh,
                   std::min(fw, 960));
    if (!background.jpeg.empty())
      out_ += Format("<image href=\"data:image/jpeg;base64,%s\" x=\"0\" y=\"0\" width=\"%d\" height=\"%d\" "
                     "preserveAspectRatio=\"none\"/>\n<rect width=\"%d\" height=\"%d\" fill=\"#000\" "
                     "opacity=\"0.35\"/>\n",
                     Base64(background.jpeg).c_str(), fw, fh, fw, fh);
    const double scale = std::log1p(static_cast<double>(std::max<std::int64_t>(most, 1)));
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < columns; ++c) {
        const std::int64_t n = counts[static_cast<std::size_t>(r) * columns + c];
        if (n == 0) continue;
        const double share = std::log1p(static_cast<double>(n)) / scale;
        const int green = static_cast<int>(std::lround(210 * (1 - share)));
        std::string seconds = fps > 0 ? Format(", about %s s", Num(static_cast<double>(n) / fps).c_str()) : "";
        out_ += Format("<rect class=\"heat\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"rgb(255,%d,0)\" "
                       "fill-opacity=\"%s\"><title>x %d\xe2\x80\x93%d, y %d\xe2\x80\x93%d: %lld frame%s%s</title>"
                       "</rect>\n",
                       c * cell, r * cell, cell, cell, green, Num(0.25 + 0.65 * share).c_str(),
                       c * cell + options_.origin_x, c * cell + cell - 1 + options_.origin_x,
                       r * cell + options_.origin_y, r * cell + cell - 1 + options_.origin_y,
                       static_cast<long long>(n), check_text::Plural(n), seconds.c_str());
      }
    }
    out_ += "</svg>\n";
  }

  const RunCheck& run_;
  const HtmlOptions& options_;
  std::string out_;
  std::int64_t end_ = 1;  // the recording time the charts span
  std::vector<std::size_t> first_kept_;   // per segment: its first frame in frames_kept
  std::vector<std::int64_t> kept_count_;  // and how many it has there
  std::map<std::string, std::vector<const Problem*>> problems_of_;
  int frame_width_ = 0, frame_height_ = 0;  // of the recording, from the first AVI that opened
};

}  // namespace

bool WriteHtmlReport(const std::string& path, const RunCheck& run, const HtmlOptions& options,
                     std::string* error) {
  std::string page = Report(run, options).Page();
  const std::string part = path + ".part";
  std::FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  bool written = std::fwrite(page.data(), 1, page.size(), file) == page.size();
  int saved = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (written && std::rename(part.c_str(), path.c_str()) != 0) {
    written = false;
    saved = errno;
  }
  if (!written) {
    std::remove(part.c_str());
    *error = std::strerror(saved);
    return false;
  }
  return true;
}

}  // namespace check
