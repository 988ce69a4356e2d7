#include "tools/check/run_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <optional>
#include <set>

#include "formats/run_names.h"
#include "tools/check/check_texts.h"
#include "tools/common/avi_reader.h"
#include "tools/common/meta_reader.h"
#include "tools/common/run_listing.h"
#include "tools/common/text_format.h"
#include "tools/common/wall_clock.h"

namespace check {

namespace {

using runfiles::SegmentFiles;

using runfiles::Format;

std::string FpsText(double fps) {
  if (fps <= 0) return "?";
  if (std::fabs(fps - std::round(fps)) < 1e-9) return Format("%.0f", fps);
  return Format("%.3g", fps);
}

// What CheckRun learns of one segment on its way through the run.
struct Working {
  SegmentCheck check;
  bool holds_frames = false;     // the AVI or the .meta has a frame
  std::int64_t step_in_ms = 0;   // from the frame before it to its first frame
  bool has_step_in = false;
};

class RunChecker {
 public:
  RunChecker(RunCheck* run, const CheckOptions& options) : run_(*run), options_(options) {}

  void Segment(const SegmentFiles& files) {
    Working w;
    w.check.stem = files.stem;
    w.check.start_ms = files.start_ms;
    w.check.bytes = files.avi_bytes + files.meta_bytes;
    current_ = &w;
    const char* stem = files.stem.c_str();

    if (files.has_avi && !files.has_meta)
      Add(files.stem, check_text::kKindUnpaired, Format(check_text::kAviUnpaired, stem, stem));
    runfiles::MetaContents meta;
    bool meta_read = false;
    if (files.has_meta) {
      if (!files.meta_regular) {
        Add(files.stem, check_text::kKindNotAFile, Format(check_text::kNotAFile, stem, ".meta"));
      } else if (files.meta_bytes == 0) {
        Add(files.stem, check_text::kKindEmptyFile, Format(check_text::kEmptyFile, stem, ".meta"));
        meta_read = true;
        w.check.meta_frames = 0;
      } else {
        std::string error;
        if (!runfiles::ReadMetaFile(files.meta_path, &meta, &error)) {
          Add(files.stem, check_text::kKindMetaUnreadable, Format(check_text::kMetaUnreadable, stem, error.c_str()));
        } else {
          meta_read = true;
          w.check.meta_frames = static_cast<std::int64_t>(meta.frames.size());
          JudgeMeta(files, meta);
        }
      }
    }
    if (files.has_meta && !files.has_avi)
      Add(files.stem, check_text::kKindUnpaired,
          Format(check_text::kMetaUnpaired, stem, stem, static_cast<long long>(meta.frames.size()),
                 check_text::Plural(static_cast<long long>(meta.frames.size()))));

    if (files.has_avi) {
      if (!files.avi_regular) {
        Add(files.stem, check_text::kKindNotAFile, Format(check_text::kNotAFile, stem, ".avi"));
      } else if (files.avi_bytes == 0) {
        Add(files.stem, check_text::kKindEmptyFile, Format(check_text::kEmptyFile, stem, ".avi"));
      } else {
        JudgeAvi(files);
      }
    }
    if (w.check.avi_frames >= 0 && meta_read && w.check.avi_frames != w.check.meta_frames)
      Add(files.stem, check_text::kKindFrameCount,
          Format(check_text::kFrameCount, stem, static_cast<long long>(w.check.avi_frames),
                 check_text::Plural(w.check.avi_frames), static_cast<long long>(w.check.meta_frames),
                 check_text::Plural(w.check.meta_frames)));
    w.holds_frames = w.check.avi_frames > 0 || w.check.meta_frames > 0;
    if (w.holds_frames) last_holding_ = segments_.size();
    Timeline(files, meta, &w);
    segments_.push_back(std::move(w));
    current_ = nullptr;
  }

  void Finish(const std::vector<SegmentFiles>& files) {
    // Empty pairs after the last frame were prepared for timeslots the run
    // did not reach; empty pairs before it are timeslots it did not record.
    for (std::size_t i = 0; i < segments_.size(); ++i) {
      Working& w = segments_[i];
      if (w.holds_frames) continue;
      bool after_last = !last_holding_ || i > *last_holding_;
      if (after_last && w.check.problems == 0 && w.check.avi_frames == 0 && w.check.meta_frames == 0) {
        w.check.unused = true;
        ++run_.unused_segments;
      } else if (!after_last && w.check.avi_frames == 0 && w.check.meta_frames == 0) {
        AddTo(&w, check_text::kKindNoFrames, Format(check_text::kNoFrames, w.check.stem.c_str()));
      }
    }
    MissingTimeslots(files);
    std::stable_sort(run_.problems.begin(), run_.problems.end(),
                     [](const Problem& a, const Problem& b) { return a.start_ms < b.start_ms; });
    run_.frames = 0;
    for (Working& w : segments_) {
      run_.frames += std::max<std::int64_t>(w.check.meta_frames, 0);
      run_.bytes += w.check.bytes;
      run_.segments.push_back(w.check);
    }
    if (timed_frames_ > 1 && last_ms_ > first_ms_)
      run_.achieved_fps = static_cast<double>(timed_frames_ - 1) * 1000.0 / static_cast<double>(last_ms_ - first_ms_);
    if (timed_frames_ > 0) {
      run_.duration_ms = last_ms_ - first_ms_;
      if (run_.nominal_fps > 0) run_.duration_ms += std::llround(1000.0 / run_.nominal_fps);
    }
  }

 private:
  void Add(const std::string& segment, const char* kind, const std::string& text) {
    run_.problems.push_back({segment, kind, text, current_->check.start_ms});
    ++current_->check.problems;
  }
  void AddTo(Working* w, const char* kind, const std::string& text) {
    run_.problems.push_back({w->check.stem, kind, text, w->check.start_ms});
    ++w->check.problems;
  }

  void JudgeMeta(const SegmentFiles& files, const runfiles::MetaContents& meta) {
    const char* stem = files.stem.c_str();
    if (meta.foreign()) {
      Add(files.stem, check_text::kKindMetaForeign,
          Format(check_text::kMetaForeign, stem, runfiles::FormatSize(files.meta_bytes).c_str()));
      return;
    }
    if (!meta.has_header) Add(files.stem, check_text::kKindMetaNoHeader, Format(check_text::kMetaNoHeader, stem));
    if (meta.lf_lines > 0)
      Add(files.stem, check_text::kKindMetaLfLines,
          Format(check_text::kMetaLfLines, stem, static_cast<long long>(meta.lf_lines),
                 check_text::LineEnds(meta.lf_lines)));
    if (meta.bad_lines > 0)
      Add(files.stem, check_text::kKindMetaBadLines,
          Format(check_text::kMetaBadLines, stem, static_cast<long long>(meta.bad_lines),
                 check_text::LineIs(meta.bad_lines), static_cast<long long>(meta.first_bad_line),
                 meta.first_bad_text.c_str()));
    if (meta.cut_mid_line) {
      Add(files.stem, check_text::kKindMetaCut,
          Format(check_text::kMetaCut, stem, static_cast<long long>(meta.cut_line),
                 static_cast<long long>(meta.frames.size()),
                 check_text::Plural(static_cast<long long>(meta.frames.size()))));
    } else if (!meta.has_footer) {
      Add(files.stem, check_text::kKindMetaNoFooter, Format(check_text::kMetaNoFooter, stem));
    }
    if (meta.time_back_line != 0)
      Add(files.stem, check_text::kKindMetaTimeBack,
          Format(check_text::kMetaTimeBack, stem, static_cast<long long>(meta.time_back_line),
                 static_cast<long long>(meta.time_back_ms)));
  }

  void JudgeAvi(const SegmentFiles& files) {
    const char* stem = files.stem.c_str();
    runfiles::AviStructure structure = runfiles::InspectAviStructure(files.avi_path);
    switch (structure.shape) {
      case runfiles::AviShape::kUnreadable:
        Add(files.stem, check_text::kKindAviUnreadable, Format(check_text::kAviUnreadable, stem, structure.error.c_str()));
        return;
      case runfiles::AviShape::kNotAvi:
        Add(files.stem, check_text::kKindAviNotAvi, Format(check_text::kAviNotAvi, stem));
        return;
      case runfiles::AviShape::kCutShort:
        Add(files.stem, check_text::kKindAviCutShort,
            Format(check_text::kAviCutShort, stem, runfiles::FormatSize(structure.missing_bytes).c_str()));
        break;
      case runfiles::AviShape::kUnfinished:
        Add(files.stem, check_text::kKindAviUnfinished, Format(check_text::kAviUnfinished, stem));
        break;
      case runfiles::AviShape::kNoIndex:
        Add(files.stem, check_text::kKindAviNoIndex, Format(check_text::kAviNoIndex, stem));
        break;
      case runfiles::AviShape::kComplete:
        break;
    }
    runfiles::AviInput input;
    std::string error;
    if (!input.Open(files.avi_path, &error)) {
      Add(files.stem, check_text::kKindAviUnreadable, Format(check_text::kAviUnreadable, stem, error.c_str()));
      return;
    }
    double fps = av_q2d(input.nominal_rate());
    current_->check.nominal_fps = fps;
    if (fps > 0) {
      if (run_.nominal_fps <= 0) {
        run_.nominal_fps = fps;
      } else if (std::fabs(fps - run_.nominal_fps) > 1e-9) {
        Add(files.stem, check_text::kKindRate,
            Format(check_text::kRate, stem, FpsText(fps).c_str(), FpsText(run_.nominal_fps).c_str()));
      }
    }
    runfiles::DecodeCount count = runfiles::CountFrames(&input, options_.decode);
    if (!count.decoder_error.empty()) {
      Add(files.stem, check_text::kKindAviDamaged, Format(check_text::kAviNoDecoder, stem, count.decoder_error.c_str()));
      current_->check.avi_frames = count.packets;
    } else {
      current_->check.avi_frames = options_.decode ? count.frames : count.packets;
    }
    if (count.damaged > 0)
      Add(files.stem, check_text::kKindAviDamaged,
          Format(check_text::kAviDamaged, stem, static_cast<long long>(count.damaged),
                 check_text::FrameDoes(count.damaged)));
    if (!count.read_error.empty())
      Add(files.stem, check_text::kKindAviUnreadable,
          Format(check_text::kAviReadError, stem, static_cast<long long>(current_->check.avi_frames),
                 check_text::Plural(current_->check.avi_frames), count.read_error.c_str()));
  }

  // The segment's frames on the run's time line: capture times after the
  // run's first frame, the steps between frames, late frames.
  void Timeline(const SegmentFiles& files, const runfiles::MetaContents& meta, Working* w) {
    if (meta.frames.empty()) return;
    double fps = w->check.nominal_fps > 0 ? w->check.nominal_fps : run_.nominal_fps;
    double interval = fps > 0 ? 1000.0 / fps : 0;
    std::int64_t segment_first = 0;
    for (std::size_t i = 0; i < meta.frames.size(); ++i) {
      const runfiles::MetaFrame& frame = meta.frames[i];
      if (timed_frames_ == 0) {
        first_ms_ = last_ms_ = 0;
        run_.origin_ms = files.start_ms;
      } else {
        std::int64_t step = runfiles::TimerStep(last_time_, frame.time);
        last_ms_ += step;
        if (i == 0) {
          w->step_in_ms = step;
          w->has_step_in = true;
          if (step < 0)
            Add(files.stem, check_text::kKindTimeBack,
                Format(check_text::kTimeBackBetween, files.stem.c_str(), static_cast<long long>(-step),
                       last_stem_.c_str()));
        }
        if (step > w->check.largest_gap_ms) w->check.largest_gap_ms = step;
        if (step > run_.largest_gap_ms) {
          run_.largest_gap_ms = step;
          run_.largest_gap_at = files.stem + " line " + std::to_string(frame.line);
        }
        // Due one interval after the frame before; late by more than
        // another whole interval.
        if (interval > 0 && static_cast<double>(step) > 2.0 * interval) {
          ++w->check.late_frames;
          ++run_.late_frames;
        }
      }
      if (i == 0) segment_first = last_ms_;
      if (options_.keep_frames)
        run_.frames_kept.push_back({last_ms_, frame.x, frame.y, static_cast<std::uint32_t>(segments_.size())});
      last_time_ = frame.time;
      ++timed_frames_;
    }
    w->check.first_ms = segment_first;
    w->check.span_ms = last_ms_ - segment_first;
    if (meta.frames.size() > 1 && w->check.span_ms > 0)
      w->check.achieved_fps =
          static_cast<double>(meta.frames.size() - 1) * 1000.0 / static_cast<double>(w->check.span_ms);
    last_stem_ = files.stem;
  }

  // Timeslots between the start of recording and the last segment with
  // frames that have no segment at all.
  void MissingTimeslots(const std::vector<SegmentFiles>& files) {
    std::int64_t slot = options_.slot_ms;
    if (slot <= 0 && !files.empty()) {
      slot = runfiles::SlotMsFromNames(files);
      slot = std::gcd(slot, files.front().start_ms);
    }
    run_.slot_ms = slot;
    if (slot <= 0 || !last_holding_) return;
    std::set<std::int64_t> present;
    for (const SegmentFiles& f : files) present.insert(f.start_ms);
    const std::int64_t last_start = segments_[*last_holding_].check.start_ms;
    // The segment after each gap tells how far its frames jumped.
    auto jump_before = [&](std::int64_t start_ms) -> std::string {
      for (const Working& w : segments_)
        if (w.check.start_ms > start_ms && w.has_step_in)
          return Format(check_text::kJump, Format("%.1f", static_cast<double>(w.step_in_ms) / 1000.0).c_str());
        else if (w.check.start_ms > start_ms)
          return "";
      return "";
    };
    std::int64_t gap_from = -1, gap_count = 0;
    auto flush = [&](std::int64_t gap_to) {
      if (gap_count == 0) return;
      run_.missing_timeslots += gap_count;
      std::string from = SegmentStem(gap_from);
      std::string jump = jump_before(gap_to);
      std::string text = gap_count == 1
                             ? Format(check_text::kMissingOne, from.c_str(), jump.c_str())
                             : Format(check_text::kMissingRange, from.c_str(), SegmentStem(gap_to).c_str(),
                                      static_cast<long long>(gap_count), jump.c_str());
      run_.problems.push_back({from, check_text::kKindMissing, text, gap_from});
      gap_count = 0;
    };
    for (std::int64_t start = 0; start <= last_start; start += slot) {
      if (present.count(start) == 0) {
        if (gap_count++ == 0) gap_from = start;
      } else {
        flush(start - slot);
      }
    }
  }

  RunCheck& run_;
  const CheckOptions& options_;
  std::vector<Working> segments_;
  Working* current_ = nullptr;
  std::optional<std::size_t> last_holding_;
  // The time line so far.
  std::int64_t timed_frames_ = 0;
  std::uint32_t last_time_ = 0;  // timer reading of the last frame
  std::int64_t first_ms_ = 0, last_ms_ = 0;
  std::string last_stem_;
};

}  // namespace

RunCheck CheckRun(const std::string& directory, const CheckOptions& options) {
  RunCheck run;
  run.directory = directory;
  runfiles::RunListing listing = runfiles::ListRun(directory);
  run.ignored_files = listing.other_files;
  if (!listing.not_run.empty()) {
    run.not_run = listing.not_run;
    return run;
  }
  run.run_directory = true;
  run.start_epoch_ms = runfiles::RunStartFromName(directory);
  RunChecker checker(&run, options);
  for (const SegmentFiles& files : listing.segments) checker.Segment(files);
  checker.Finish(listing.segments);
  return run;
}

}  // namespace check
