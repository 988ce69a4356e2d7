// What the tests of slotrec-check and slotrec-join share: runs recorded by
// the real program on a private Xvfb (once per test program), copies of
// them to damage, the two programs run as a user runs them, and a small
// JSON reader for slotrec-check --json.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace tooltest {

struct RecordedRuns {
  std::string whole;    // stopped by SIGINT: 000-00 to 000-03 with frames, 000-04 without
  std::string killed;   // stopped by SIGKILL: the open segments never finished
  std::string limited;  // under a file size limit: AVI files closed early, without an index
};

// The runs, recorded before the first test (fps=10, slotsecs=1, 320 x 240).
const RecordedRuns& Runs();

// A new copy of `run` in the scratch directory, to damage.
std::string CopyRun(const std::string& run);
// A new empty directory in the scratch directory.
std::string ScratchDirectory(const std::string& name);

// The programs, with `args` after their name.
ChildResult Check(const std::vector<std::string>& args, int timeout_ms = 120000);
ChildResult Join(const std::vector<std::string>& args);
ChildResult Tool(const std::string& program, const std::vector<std::string>& args,
                 int timeout_ms = 120000);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The frame times of a .meta file (timer readings in ms).
std::vector<long long> MetaTimes(const std::string& meta_path);
// The stems of a run's segments in time order.
std::vector<std::string> Stems(const std::string& run);

// A JSON value.
struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;
  const Json& operator[](const std::string& key) const;
  const Json& operator[](std::size_t index) const { return array.at(index); }
};
// Parses the whole of `text`; false when it is no JSON document.
bool ParseJson(const std::string& text, Json* value);

}  // namespace tooltest
