#include "tools/join/run_join.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "tools/common/avi_reader.h"
#include "tools/common/meta_reader.h"
#include "tools/common/run_listing.h"
#include "tools/common/text_format.h"
#include "tools/common/wall_clock.h"
#include "tools/join/join_texts.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace join {

namespace {

namespace fs = std::filesystem;
using runfiles::SegmentFiles;

using runfiles::Format;

// The partial file being written, removed should the join be interrupted
// (written before the handlers are installed, read only by them).
char g_part_path[4096];

void RemovePartAndEnd(int signal_number) {
  if (g_part_path[0] != '\0') unlink(g_part_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
bool g_guarding[3] = {};

// From here until ForgetPart, an interrupt removes `part` before it ends
// the program. A signal the program was started with ignored (nohup) stays
// ignored.
void GuardPart(const std::string& part) {
  if (part.size() >= sizeof g_part_path) return;
  std::memcpy(g_part_path, part.c_str(), part.size() + 1);
  for (int i = 0; i < 3; ++i) {
    struct sigaction current {};
    sigaction(kEndingSignals[i], nullptr, &current);
    g_guarding[i] = current.sa_handler != SIG_IGN;
    if (g_guarding[i]) std::signal(kEndingSignals[i], RemovePartAndEnd);
  }
}

void ForgetPart() {
  for (int i = 0; i < 3; ++i)
    if (g_guarding[i]) std::signal(kEndingSignals[i], SIG_DFL);
  g_part_path[0] = '\0';
}

// One line on standard error.
void Say(const std::string& text) { std::fprintf(stderr, "%s: %s\n", join_text::kProgram, text.c_str()); }

std::string FpsText(double fps) {
  if (std::fabs(fps - std::round(fps)) < 1e-9) return Format("%.0f", fps);
  return Format("%.3f", fps);
}

// A progress line on standard error once a join has taken a second:
// rewritten in place on a terminal, otherwise a line every ten seconds.
class Progress {
 public:
  Progress() : start_(Clock::now()), terminal_(isatty(STDERR_FILENO) == 1) {}
  void Show(const std::string& text) {
    auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1)) return;
    if (shown_ && now - last_ < (terminal_ ? std::chrono::milliseconds(250) : std::chrono::seconds(10))) return;
    last_ = now;
    shown_ = true;
    if (terminal_) {
      std::fprintf(stderr, "\r%s: %s\033[K", join_text::kProgram, text.c_str());
      open_line_ = true;
    } else {
      Say(text);
    }
  }
  // Ends the line a terminal shows, before any other line.
  void Close() {
    if (open_line_) std::fputc('\n', stderr);
    open_line_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_, last_;
  bool terminal_;
  bool shown_ = false;
  bool open_line_ = false;
};

enum class Mode { kExact, kNominal, kLeftOut, kEmpty };

// What the first pass learnt of one segment.
struct SegmentPlan {
  SegmentFiles files;
  Mode mode = Mode::kLeftOut;
  std::vector<std::int64_t> times;  // per frame: ms after the run's first frame
  std::vector<bool> key;            // per frame: a stream copy may start here
  double fps = 0;                   // nominal rate
  std::string note;                 // why it is not joined as its .meta says
};

struct VideoKind {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0;
};

struct Frame {
  std::size_t segment;
  std::int64_t index;  // among the segment's frames
  std::int64_t time;   // ms in the output
  bool key;
};

class Joiner {
 public:
  explicit Joiner(const JoinOptions& options) : options_(options) {}
  ~Joiner() { avcodec_parameters_free(&reference_par_); }
  Joiner(const Joiner&) = delete;
  Joiner& operator=(const Joiner&) = delete;

  int Run() {
    if (int status = List(); status != 0) return status;
    for (std::size_t i = 0; i < listing_.segments.size(); ++i) {
      progress_.Show(Format(join_text::kProgressRead, static_cast<long long>(i + 1),
                            static_cast<long long>(listing_.segments.size())));
      plans_.push_back(Plan(listing_.segments[i]));
    }
    progress_.Close();
    for (const SegmentPlan& plan : plans_) {
      if (!plan.note.empty()) Say(plan.note);
      if (plan.mode == Mode::kNominal) ++nominal_;
      if (plan.mode == Mode::kLeftOut) ++left_out_;
    }
    if (!Select()) return 1;
    if (!Write()) return 1;
    return nominal_ > 0 || left_out_ > 0 || moved_ > 0 ? 3 : 0;
  }

 private:
  int List() {
    listing_ = runfiles::ListRun(options_.run_directory);
    if (!listing_.not_run.empty()) {
      Say(Format(join_text::kNotRun, options_.run_directory.c_str(), listing_.not_run.c_str()));
      return 2;
    }
    // The joined file must not land on a file of the run.
    std::error_code ignored;
    fs::path out = fs::weakly_canonical(options_.out, ignored);
    for (const SegmentFiles& f : listing_.segments) {
      if (fs::weakly_canonical(f.avi_path, ignored) == out || fs::weakly_canonical(f.meta_path, ignored) == out) {
        Say(Format(join_text::kOutIsSegment, options_.out.c_str()));
        return 1;
      }
    }
    if (fs::is_directory(options_.out, ignored)) {
      Say(Format(join_text::kCannotWrite, options_.out.c_str(), std::strerror(EISDIR)));
      return 1;
    }
    return 0;
  }

  // First pass over one segment: its .meta, its AVI's frames (read, not
  // decoded), and the time of every frame.
  SegmentPlan Plan(const SegmentFiles& files) {
    SegmentPlan plan;
    plan.files = files;
    const char* stem = files.stem.c_str();
    runfiles::MetaContents meta;
    std::string meta_problem;
    if (!files.has_meta) {
      meta_problem = join_text::kNoMetaFile;
    } else {
      std::string error;
      if (!files.meta_regular) {
        meta_problem = join_text::kMetaNotAFile;
      } else if (!runfiles::ReadMetaFile(files.meta_path, &meta, &error)) {
        meta_problem = Format(join_text::kMetaUnreadable, error.c_str());
        meta = runfiles::MetaContents{};
      } else if (!meta.frames_trusted()) {
        meta_problem = join_text::kMetaDamaged;
      }
    }

    // The AVI's frames.
    std::string avi_problem;
    std::int64_t frames = 0;
    if (!files.has_avi) {
      avi_problem = join_text::kNoAviFile;
    } else if (!files.avi_regular) {
      avi_problem = join_text::kAviNotAFile;
    } else if (files.avi_bytes == 0) {
      avi_problem = join_text::kEmptyAvi;
    } else {
      runfiles::AviInput input;
      std::string error;
      if (!input.Open(files.avi_path, &error)) {
        avi_problem = Format(join_text::kAviUnreadable, error.c_str());
      } else {
        const AVCodecParameters* par = input.stream()->codecpar;
        VideoKind kind{par->codec_id, par->width, par->height};
        plan.fps = av_q2d(input.nominal_rate());
        if (reference_.codec == AV_CODEC_ID_NONE) {
          reference_ = kind;
          reference_fps_ = plan.fps;
          avcodec_parameters_copy(reference_par_, par);
        }
        if (kind.codec != reference_.codec || kind.width != reference_.width || kind.height != reference_.height) {
          avi_problem = Format(join_text::kOtherVideo, avcodec_get_name(kind.codec), kind.width, kind.height,
                               avcodec_get_name(reference_.codec), reference_.width, reference_.height);
        } else {
          AVPacket* packet = av_packet_alloc();
          std::string read_error;
          while (input.Next(packet, &read_error) == 1) {
            if (packet->size == 0) continue;
            bool key = par->codec_id == AV_CODEC_ID_H264 ? runfiles::IsH264KeyPacket(packet)
                                                         : (packet->flags & AV_PKT_FLAG_KEY) != 0;
            if (key && parameter_sets_.empty() && par->codec_id == AV_CODEC_ID_H264)
              parameter_sets_ = runfiles::H264ParameterSets(packet);
            plan.key.push_back(key);
            ++frames;
          }
          av_packet_free(&packet);
        }
      }
    }
    if (plan.fps <= 0) plan.fps = reference_fps_ > 0 ? reference_fps_ : 1;

    const auto lines = static_cast<std::int64_t>(meta.frames.size());
    if (!avi_problem.empty() || frames == 0) {
      plan.mode = Mode::kLeftOut;
      plan.key.clear();
      // An empty pair whose .meta lists nothing lost nothing (the pair
      // prepared when the run stopped).
      if (avi_problem.empty() && meta_problem.empty() && lines == 0) {
        plan.mode = Mode::kEmpty;
      } else if (avi_problem.empty()) {
        avi_problem = join_text::kNoFramesInAvi;
      }
      if (plan.mode == Mode::kLeftOut) plan.note = Format(join_text::kLeftOut, stem, avi_problem.c_str());
      return plan;
    }
    if (first_start_ms_ < 0) first_start_ms_ = files.start_ms;
    const double interval = 1000.0 / plan.fps;
    if (meta_problem.empty() && lines == frames) {
      plan.mode = Mode::kExact;
      for (const runfiles::MetaFrame& f : meta.frames) plan.times.push_back(Place(TrueTime(f.time, files)));
    } else {
      plan.mode = Mode::kNominal;
      // From the first frame line when there is one to go by, else from
      // where the segment's timeslot starts.
      std::int64_t base = meta.frames.empty() ? Planned(files, interval) : TrueTime(meta.frames[0].time, files);
      for (std::int64_t k = 0; k < frames; ++k)
        plan.times.push_back(Place(base + std::llround(static_cast<double>(k) * interval)));
      std::string from = runfiles::FormatClock(plan.times.front());
      plan.note = meta_problem.empty()
                      ? Format(join_text::kNominalCount, stem, static_cast<long long>(frames),
                               join_text::Plural(frames), static_cast<long long>(lines), join_text::Plural(lines),
                               FpsText(plan.fps).c_str(), from.c_str())
                      : Format(join_text::kNominalNoMeta, stem, meta_problem.c_str(), FpsText(plan.fps).c_str(),
                               from.c_str());
    }
    if (moved_in_segment_ > 0) {
      std::string moved = Format(join_text::kMoved, stem, static_cast<long long>(moved_in_segment_),
                                 join_text::Plural(moved_in_segment_));
      plan.note = plan.note.empty() ? moved : plan.note + "; " + moved.substr(files.stem.size() + 2);
      moved_ += moved_in_segment_;
      moved_in_segment_ = 0;
    }
    return plan;
  }

  // A capture time as ms after the run's first frame: the timer readings
  // are chained frame to frame (modulo 2^32, as the timer wraps), so a run
  // longer than the timer's range is timed right too.
  std::int64_t TrueTime(std::uint32_t time, const SegmentFiles& files) {
    if (!have_anchor_) {
      anchor_ms_ = have_placed_ ? Planned(files, 0) : 0;
    } else {
      anchor_ms_ += runfiles::TimerStep(anchor_time_, time);
    }
    have_anchor_ = true;
    anchor_time_ = time;
    return anchor_ms_;
  }

  // Where a segment without capture times begins: its timeslot's place
  // after the run's first, and after the frame before it.
  std::int64_t Planned(const SegmentFiles& files, double interval) const {
    std::int64_t planned = files.start_ms - first_start_ms_;
    if (have_placed_) planned = std::max<std::int64_t>(planned, last_placed_ + std::llround(interval));
    return std::max<std::int64_t>(planned, 0);
  }

  // The time a frame gets in the output: its own, unless that would not
  // come after the frame before it.
  std::int64_t Place(std::int64_t ms) {
    if (have_placed_ && ms <= last_placed_) {
      ++moved_in_segment_;
      ms = last_placed_ + 1;
    }
    have_placed_ = true;
    last_placed_ = ms;
    return ms;
  }

  // The frames to write: all of them, or those --from and --to select.
  bool Select() {
    std::vector<Frame> all;
    for (std::size_t s = 0; s < plans_.size(); ++s) {
      const SegmentPlan& plan = plans_[s];
      if (plan.mode != Mode::kExact && plan.mode != Mode::kNominal) continue;
      for (std::size_t k = 0; k < plan.times.size(); ++k)
        all.push_back({s, static_cast<std::int64_t>(k), plan.times[k], plan.key[k]});
    }
    if (all.empty()) {
      Say(Format(join_text::kNothingToJoin, options_.run_directory.c_str()));
      return false;
    }
    std::size_t first = 0, end = all.size();
    if (options_.from_ms) {
      // The last key frame at or before --from (the first frame when none).
      for (std::size_t i = 0; i < all.size() && all[i].time <= *options_.from_ms; ++i)
        if (all[i].key) first = i;
      if (all.back().time < *options_.from_ms) first = all.size();
    }
    if (options_.to_ms)
      while (end > first && all[end - 1].time >= *options_.to_ms) --end;
    if (first >= end) {
      Say(join_text::kNothingInCut);
      return false;
    }
    if (options_.from_ms)
      Say(Format(join_text::kFromKey, runfiles::FormatClock(*options_.from_ms).c_str(),
                 runfiles::FormatClock(all[first].time).c_str(), plans_[all[first].segment].files.stem.c_str(),
                 options_.out.c_str()));
    if (options_.to_ms)
      Say(Format(join_text::kToLast, runfiles::FormatClock(*options_.to_ms).c_str(),
                 runfiles::FormatClock(all[end - 1].time).c_str()));
    offset_ms_ = options_.from_ms ? all[first].time : 0;
    selected_.assign(all.begin() + static_cast<std::ptrdiff_t>(first), all.begin() + static_cast<std::ptrdiff_t>(end));
    return true;
  }

  bool Write() {
    const std::string part = options_.out + ".part";
    const bool mp4 = EndsWithMp4(options_.out);
    AVFormatContext* out = nullptr;
    int r = avformat_alloc_output_context2(&out, nullptr, mp4 ? "mp4" : "matroska", part.c_str());
    if (r < 0) return Failed(nullptr, part, r);
    AVStream* stream = avformat_new_stream(out, nullptr);
    if (stream == nullptr) return Failed(out, part, AVERROR(ENOMEM));
    avcodec_parameters_copy(stream->codecpar, reference_par_);
    stream->codecpar->codec_tag = 0;
    if (!parameter_sets_.empty()) {
      av_freep(&stream->codecpar->extradata);
      stream->codecpar->extradata_size = 0;
      auto* extradata = static_cast<std::uint8_t*>(av_mallocz(parameter_sets_.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (extradata == nullptr) return Failed(out, part, AVERROR(ENOMEM));
      std::memcpy(extradata, parameter_sets_.data(), parameter_sets_.size());
      stream->codecpar->extradata = extradata;
      stream->codecpar->extradata_size = static_cast<int>(parameter_sets_.size());
    }
    stream->time_base = AVRational{1, 1000};
    AddChapters(out);
    fs::path run = fs::path(options_.run_directory).lexically_normal();
    if (!run.has_filename()) run = run.parent_path();
    av_dict_set(&out->metadata, "title", run.filename().c_str(), 0);
    av_dict_set(&out->metadata, "comment",
                "joined by slotrec-join: every frame at its capture time after the first frame", 0);
    // When the file's first frame was taken: the run's start from its
    // directory's name, and the timer's count from there (Matroska's
    // DateUTC, MP4's creation time).
    if (std::optional<std::int64_t> start = runfiles::RunStartFromName(options_.run_directory))
      av_dict_set(&out->metadata, "creation_time",
                  runfiles::FormatIsoUtc(*start + first_start_ms_ + offset_ms_).c_str(), 0);
    GuardPart(part);
    if ((r = avio_open(&out->pb, part.c_str(), AVIO_FLAG_WRITE)) < 0) return Failed(out, part, r);
    if ((r = avformat_write_header(out, nullptr)) < 0) return Failed(out, part, r);

    const std::int64_t total_ms = selected_.back().time - offset_ms_;
    AVPacket* packet = av_packet_alloc();
    std::size_t next = 0;
    std::int64_t last_dts = AV_NOPTS_VALUE;
    while (next < selected_.size() && r >= 0) {
      const std::size_t s = selected_[next].segment;
      const SegmentPlan& plan = plans_[s];
      runfiles::AviInput input;
      std::string error;
      if (!input.Open(plan.files.avi_path, &error)) {
        Say(Format(join_text::kChangedUnderneath, plan.files.stem.c_str()));
        r = AVERROR_INVALIDDATA;
        break;
      }
      std::int64_t index = -1;
      while (next < selected_.size() && selected_[next].segment == s && r >= 0) {
        if (input.Next(packet, &error) != 1) {
          Say(Format(join_text::kChangedUnderneath, plan.files.stem.c_str()));
          r = AVERROR_INVALIDDATA;
          break;
        }
        if (packet->size == 0 || ++index < selected_[next].index) continue;
        const Frame& frame = selected_[next];
        std::int64_t ms = frame.time - offset_ms_;
        std::int64_t next_ms = next + 1 < selected_.size()
                                   ? selected_[next + 1].time - offset_ms_
                                   : ms + std::llround(1000.0 / plan.fps);
        packet->stream_index = stream->index;
        packet->pts = packet->dts = av_rescale_q(ms, AVRational{1, 1000}, stream->time_base);
        // A finer time base may still round two frames onto one tick.
        if (last_dts != AV_NOPTS_VALUE && packet->dts <= last_dts) packet->pts = packet->dts = last_dts + 1;
        last_dts = packet->dts;
        packet->duration = av_rescale_q(next_ms - ms, AVRational{1, 1000}, stream->time_base);
        packet->pos = -1;
        packet->flags = frame.key ? AV_PKT_FLAG_KEY : 0;
        r = av_write_frame(out, packet);
        ++next;
        progress_.Show(Format(join_text::kProgressWrite, runfiles::FormatClock(ms).c_str(),
                              runfiles::FormatClock(total_ms).c_str(),
                              total_ms > 0 ? static_cast<int>(ms * 100 / total_ms) : 100));
      }
    }
    av_packet_free(&packet);
    progress_.Close();
    if (r >= 0) r = av_write_trailer(out);
    if (r >= 0) r = avio_closep(&out->pb);
    if (r < 0) return Failed(out, part, r);
    avformat_free_context(out);
    if (std::rename(part.c_str(), options_.out.c_str()) != 0) {
      int error = errno;
      std::remove(part.c_str());
      ForgetPart();
      Say(Format(join_text::kCannotWrite, options_.out.c_str(), std::strerror(error)));
      return false;
    }
    ForgetPart();
    std::error_code ignored;
    auto bytes = static_cast<std::int64_t>(fs::file_size(options_.out, ignored));
    std::string notes = nominal_ > 0 || left_out_ > 0
                            ? Format(join_text::kDoneNotes, static_cast<long long>(nominal_),
                                     join_text::Plural(nominal_), static_cast<long long>(left_out_))
                            : std::string();
    std::size_t segments = 0;
    for (std::size_t i = 0; i < selected_.size(); ++i)
      if (i == 0 || selected_[i].segment != selected_[i - 1].segment) ++segments;
    const std::int64_t duration_ms = total_ms + std::llround(1000.0 / plans_[selected_.back().segment].fps);
    const auto frames = static_cast<long long>(selected_.size());
    Say(Format(join_text::kDone, options_.out.c_str(), frames, join_text::Plural(frames),
               static_cast<long long>(segments), join_text::Plural(static_cast<long long>(segments)),
               runfiles::FormatClock(duration_ms).c_str(),
               runfiles::FormatSize(bytes).c_str()) +
        notes);
    return true;
  }

  // A chapter for every segment with frames in the file, named after it,
  // from its first frame to the next chapter (or the end).
  void AddChapters(AVFormatContext* out) {
    std::vector<std::pair<std::size_t, std::int64_t>> starts;  // segment, first frame's ms
    for (std::size_t i = 0; i < selected_.size(); ++i)
      if (i == 0 || selected_[i].segment != selected_[i - 1].segment)
        starts.emplace_back(selected_[i].segment, selected_[i].time - offset_ms_);
    const Frame& last = selected_.back();
    const std::int64_t end = last.time - offset_ms_ + std::llround(1000.0 / plans_[last.segment].fps);
    out->chapters = static_cast<AVChapter**>(av_calloc(starts.size(), sizeof(AVChapter*)));
    if (out->chapters == nullptr) return;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
      if (chapter == nullptr) break;
      chapter->id = static_cast<std::int64_t>(i + 1);
      chapter->time_base = AVRational{1, 1000};
      chapter->start = starts[i].second;
      chapter->end = i + 1 < starts.size() ? starts[i + 1].second : end;
      av_dict_set(&chapter->metadata, "title", plans_[starts[i].first].files.stem.c_str(), 0);
      out->chapters[out->nb_chapters++] = chapter;
    }
  }

  bool Failed(AVFormatContext* out, const std::string& part, int code) {
    progress_.Close();
    if (out != nullptr) {
      if (out->pb != nullptr) avio_closep(&out->pb);
      avformat_free_context(out);
    }
    std::remove(part.c_str());
    ForgetPart();
    Say(Format(join_text::kCannotWrite, options_.out.c_str(), runfiles::AvError(code).c_str()));
    return false;
  }

  static bool EndsWithMp4(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".mp4";
  }

  const JoinOptions& options_;
  Progress progress_;
  runfiles::RunListing listing_;
  std::vector<SegmentPlan> plans_;
  std::vector<Frame> selected_;
  std::int64_t offset_ms_ = 0;

  // The video every segment must share, from the first readable one.
  VideoKind reference_;
  double reference_fps_ = 0;
  AVCodecParameters* reference_par_ = avcodec_parameters_alloc();
  std::string parameter_sets_;  // H.264 SPS and PPS of the first key frame

  // The time line so far.
  std::int64_t first_start_ms_ = -1;  // timeslot start of the first segment with frames
  bool have_anchor_ = false;          // a capture time has been placed
  std::uint32_t anchor_time_ = 0;     // its timer reading
  std::int64_t anchor_ms_ = 0;        // and its ms after the run's first frame
  bool have_placed_ = false;
  std::int64_t last_placed_ = 0;
  std::int64_t moved_in_segment_ = 0;

  std::int64_t nominal_ = 0, left_out_ = 0, moved_ = 0;
};

}  // namespace

int JoinRun(const JoinOptions& options) {
  Joiner joiner(options);
  return joiner.Run();
}

}  // namespace join
