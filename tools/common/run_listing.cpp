#include "tools/common/run_listing.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>

#include "formats/run_names.h"

namespace runfiles {

namespace fs = std::filesystem;

RunListing ListRun(const std::string& directory) {
  RunListing listing;
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) {
    listing.not_run = errno == ENOENT ? kNoSuchDirectory : std::strerror(errno);
    return listing;
  }
  if (!S_ISDIR(info.st_mode)) {
    listing.not_run = std::strerror(ENOTDIR);
    return listing;
  }
  std::error_code error;
  fs::directory_iterator entries(directory, error);
  if (error) {
    listing.not_run = error.message();
    return listing;
  }
  std::map<std::int64_t, SegmentFiles> by_start;
  for (fs::directory_iterator end; entries != end; entries.increment(error)) {
    if (error) break;
    const fs::directory_entry& entry = *entries;
    std::string name = entry.path().filename().string();
    std::string extension = entry.path().extension().string();
    std::string stem = entry.path().stem().string();
    std::optional<std::int64_t> start;
    if (extension == run_name::kAviExtension || extension == run_name::kMetaExtension) start = SegmentStartMs(stem);
    if (!start) {
      listing.other_files.push_back(name);
      continue;
    }
    SegmentFiles& segment = by_start[*start];
    segment.stem = stem;
    segment.start_ms = *start;
    std::error_code ignored;
    bool regular = entry.is_regular_file(ignored);
    std::int64_t bytes = regular ? static_cast<std::int64_t>(entry.file_size(ignored)) : 0;
    if (extension == run_name::kAviExtension) {
      segment.has_avi = true;
      segment.avi_regular = regular;
      segment.avi_bytes = bytes;
    } else {
      segment.has_meta = true;
      segment.meta_regular = regular;
      segment.meta_bytes = bytes;
    }
  }
  if (error) {
    listing.not_run = error.message();
    return listing;
  }
  if (by_start.empty()) listing.not_run = kNoSegments;
  for (auto& [start, segment] : by_start) {
    segment.avi_path = (fs::path(directory) / (segment.stem + run_name::kAviExtension)).string();
    segment.meta_path = (fs::path(directory) / (segment.stem + run_name::kMetaExtension)).string();
    listing.segments.push_back(std::move(segment));
  }
  std::sort(listing.other_files.begin(), listing.other_files.end());
  return listing;
}

std::int64_t SlotMsFromNames(const std::vector<SegmentFiles>& segments) {
  std::int64_t slot = 0;
  for (std::size_t i = 1; i < segments.size(); ++i)
    slot = std::gcd(slot, segments[i].start_ms - segments[i - 1].start_ms);
  return slot;
}

}  // namespace runfiles
