#include "tests/support/run_judge.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "formats/meta_text.h"
#include "formats/run_names.h"
#include "tests/support/process.h"

namespace testsupport {

namespace {

namespace fs = std::filesystem;

struct Probed {
  bool ok = false;
  std::string rate;
  int frames = 0;
  std::string error;
};

// ffprobe's count of the frames it decodes from the first video stream.
Probed Probe(const std::string& avi) {
  ChildCommand command;
  command.program = "ffprobe";
  command.argv = {"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                  "-show_entries", "stream=r_frame_rate,nb_read_frames", "-of",
                  "default=nw=1:nk=1", avi};
  command.timeout_ms = 120000;
  ChildResult result = RunChild(command);
  Probed probed;
  std::istringstream lines(result.out);
  std::string frames;
  std::getline(lines, probed.rate);
  std::getline(lines, frames);
  probed.ok = result.exited && result.exit_status == 0 && !probed.rate.empty();
  // A stream without a single frame has no count.
  probed.frames = frames.empty() || frames == "N/A" ? 0 : std::atoi(frames.c_str());
  probed.error = result.err;
  return probed;
}

void JudgeMeta(const std::string& bytes, const std::string& stem, SegmentVerdict* segment,
               std::vector<std::string>* problems) {
  const std::string header = meta_text::kHeader;
  const std::string footer = meta_text::kFooter;
  if (bytes.compare(0, header.size(), header) != 0)
    problems->push_back(stem + ".meta: no header");
  if (bytes.size() < header.size() + footer.size() ||
      bytes.compare(bytes.size() - footer.size(), footer.size(), footer) != 0)
    problems->push_back(stem + ".meta: no footer");
  int malformed = 0;
  segment->meta_frames = static_cast<int>(ParseMetaFrames(bytes, &malformed).size());
  if (malformed != 0)
    problems->push_back(stem + ".meta: " + std::to_string(malformed) + " malformed lines");
}

}  // namespace

int RunVerdict::frames() const {
  int total = 0;
  for (const SegmentVerdict& s : segments) total += s.meta_frames;
  return total;
}

long long RunVerdict::bytes() const {
  long long total = 0;
  for (const SegmentVerdict& s : segments) total += s.bytes;
  return total;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<MetaFrame> ParseMetaFrames(const std::string& bytes, int* malformed) {
  std::vector<MetaFrame> frames;
  *malformed = 0;
  // Everything between the header and the footer is frame lines.
  const std::string footer = meta_text::kFooter;
  const std::string line_end = meta_text::kLineEnd;
  std::size_t at = std::string(meta_text::kHeader).size();
  std::size_t end = bytes.size();
  if (end >= at + footer.size() && bytes.compare(end - footer.size(), footer.size(), footer) == 0)
    end -= footer.size();
  while (at < end) {
    std::size_t eol = bytes.find(line_end, at);
    if (eol == std::string::npos || eol > end) {
      ++*malformed;  // a line cut short
      break;
    }
    MetaFrameLine line;
    if (ParseMetaFrameLine(std::string_view(bytes).substr(at, eol - at), &line)) {
      // The time as the line spells it: a signed 32-bit number.
      frames.push_back({static_cast<std::int32_t>(line.time), line.x, line.y});
    } else {
      ++*malformed;
    }
    at = eol + line_end.size();
  }
  return frames;
}

std::vector<std::string> RunDirectories(const std::string& parent) {
  std::vector<std::string> runs;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(parent, ignored)) {
    if (entry.is_directory() && LooksLikeRunName(entry.path().filename().string())) {
      runs.push_back(entry.path().string());
    }
  }
  std::sort(runs.begin(), runs.end());
  return runs;
}

RunVerdict JudgeRun(const std::string& run_directory, const RunVerdictOptions& options) {
  RunVerdict verdict;
  std::map<std::string, int> halves;  // stem -> 1 for .avi, 2 for .meta
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(run_directory, error)) {
    std::string name = entry.path().filename().string();
    std::string stem = entry.path().stem().string();
    std::string extension = entry.path().extension().string();
    const bool avi = extension == run_name::kAviExtension;
    if (!SegmentStartMs(stem) || (!avi && extension != run_name::kMetaExtension)) {
      verdict.problems.push_back(name + ": not a segment file");
      continue;
    }
    if (entry.file_size() == 0) verdict.problems.push_back(name + ": empty");
    halves[stem] |= avi ? 1 : 2;
  }
  if (error) verdict.problems.push_back(run_directory + ": " + error.message());
  for (const auto& [stem, have] : halves) {
    if (have != 3) {
      verdict.problems.push_back(stem + (have == 1 ? ".avi without its .meta" : ".meta without its .avi"));
      continue;
    }
    SegmentVerdict segment;
    segment.stem = stem;
    const std::string base = run_directory + "/" + stem;
    std::string meta = ReadWholeFile(base + run_name::kMetaExtension);
    JudgeMeta(meta, stem, &segment, &verdict.problems);
    Probed probed = Probe(base + run_name::kAviExtension);
    if (!probed.ok) {
      verdict.problems.push_back(stem + ".avi: ffprobe cannot read it: " + probed.error);
    } else {
      segment.avi_frames = probed.frames;
      if (segment.avi_frames != segment.meta_frames)
        verdict.problems.push_back(stem + ": " + std::to_string(segment.avi_frames) +
                                   " frames in the AVI, " + std::to_string(segment.meta_frames) +
                                   " in the .meta");
      if (!options.rate.empty() && probed.rate != options.rate)
        verdict.problems.push_back(stem + ".avi: rate " + probed.rate + ", not " + options.rate);
    }
    segment.bytes = static_cast<long long>(fs::file_size(base + run_name::kAviExtension, error) +
                                           fs::file_size(base + run_name::kMetaExtension, error));
    verdict.segments.push_back(segment);
  }
  return verdict;
}

}  // namespace testsupport
