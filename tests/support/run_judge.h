// The verdict on a run directory that every whole-run test ends with: each
// segment is a pair of NNN-SS.avi and NNN-SS.meta, no file is empty, each
// .meta has its header, whole CR LF frame lines and its footer, and ffprobe
// decodes exactly as many frames from the AVI as the .meta lists.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct RunVerdictOptions {
  // The stream rate every AVI must declare ("10/1"); empty: not checked.
  std::string rate;
};

struct SegmentVerdict {
  std::string stem;     // "000-02"
  int meta_frames = 0;  // frame lines in the .meta
  int avi_frames = 0;   // frames ffprobe decoded
  long long bytes = 0;  // both files
};

struct RunVerdict {
  std::vector<SegmentVerdict> segments;  // in name order
  std::vector<std::string> problems;     // empty: the run is whole
  int frames() const;
  long long bytes() const;
};

// Judges every file of `run_directory`.
RunVerdict JudgeRun(const std::string& run_directory, const RunVerdictOptions& options = {});

// The run directories (named like 2026-12-08-07-30-00-123) in `parent`,
// sorted by name.
std::vector<std::string> RunDirectories(const std::string& parent);

// The frame lines of a .meta file's bytes; lines that are not whole frame
// lines ending in CR LF are counted in *malformed.
struct MetaFrame {
  long time;
  int x, y;
};
std::vector<MetaFrame> ParseMetaFrames(const std::string& bytes, int* malformed);

std::string ReadWholeFile(const std::string& path);

}  // namespace testsupport
