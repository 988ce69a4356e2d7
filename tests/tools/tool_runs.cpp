#include "tests/tools/tool_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "formats/run_account.h"
#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"
#include "tests/tools/record_run.h"

namespace tooltest {

namespace {

namespace fs = std::filesystem;

std::string g_scratch;
RecordedRuns g_runs;
int g_copies = 0;

// Records one run in a directory of its own under the scratch directory,
// until `grace_ms` after `stop_after` appears in the log.
std::string Record(const std::string& display, const std::string& name, const std::string& stop_after,
                   int grace_ms, int signal_number, long long file_size_limit, bool busy,
                   ChildResult* account = nullptr) {
  return RecordRun({display, g_scratch + "/" + name, g_scratch + "/config", stop_after, grace_ms,
                    signal_number, file_size_limit, busy},
                   account);
}

// True when the recorder's account of its run says it lost nothing, not
// even time without a segment (which a busy machine can cost a recorder
// that runs at idle priority).
bool LostNothing(const ChildResult& result) {
  std::optional<RunAccount> account = FindRunAccount(result.err);
  return result.exited && result.exit_status == 0 && account &&
         RunAccountExitStatus(*account) == 0 && account->losses.no_segment_ms == 0;
}

class RecordedRunsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_scratch = MakeTempDirectory("slotrec-tools");
    testsupport::XvfbOptions options;
    options.width = 320;
    options.height = 240;
    testsupport::XvfbServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    testsupport::X11Painter painter(server.display());
    ASSERT_TRUE(painter.ok());
    painter.fill(20, 20, 100, 60, 0xff0000);
    painter.fill(160, 120, 80, 80, 0x00ff00);
    painter.warp_pointer(150, 100);
    painter.sync();
    // Stopped while timeslot 3 is recorded and the pair of timeslot 4 is
    // prepared, however busy the machine: four segments with frames and an
    // empty pair at the end.
    // The whole run must be whole: on a machine busy enough to starve the
    // recorder it is recorded again, up to three times.
    ChildResult account;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      g_runs.whole = Record(server.display(), "whole" + std::to_string(attempt), "Trying prepare 000-04.avi", 300,
                            SIGINT, -1, false, &account);
      if (LostNothing(account)) break;
    }
    ASSERT_TRUE(LostNothing(account)) << "three runs lost time to a busy machine; the last said:\n" << account.err;
    g_runs.killed = Record(server.display(), "killed", "Trying prepare 000-02.avi", 300, SIGKILL, -1, false);
    // Room for the AVI header and a few frames of a busy screen.
    g_runs.limited =
        Record(server.display(), "limited", "Trying prepare 000-02.avi", 300, SIGINT, 60000, true);
  }
  void TearDown() override {
    if (!g_scratch.empty()) RemoveTree(g_scratch);
  }
};

const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new RecordedRunsEnvironment);

// ---- JSON -------------------------------------------------------------------

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}
  bool Document(Json* value) {
    if (!Value(value, 0)) return false;
    Space();
    return at_ == text_.size();
  }

 private:
  void Space() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Take(char c) {
    Space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    std::size_t n = std::char_traits<char>::length(word);
    if (text_.compare(at_, n, word) != 0) return false;
    at_ += n;
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      char e = text_[at_++];
      if (e == 'u') {
        if (at_ + 4 > text_.size()) return false;
        unsigned code = static_cast<unsigned>(std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16));
        at_ += 4;
        *out += code < 0x80 ? static_cast<char>(code) : '?';
      } else if (std::string("\"\\/bfnrt").find(e) != std::string::npos) {
        *out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e;
      } else {
        return false;
      }
    }
    return Take('"');
  }
  bool Value(Json* value, int depth) {
    if (depth > 64) return false;
    Space();
    if (at_ >= text_.size()) return false;
    char c = text_[at_];
    if (c == '{') {
      value->type = Json::kObject;
      ++at_;
      if (Take('}')) return true;
      do {
        std::string key;
        Json member;
        if (!String(&key) || !Take(':') || !Value(&member, depth + 1)) return false;
        value->object[key] = std::move(member);
      } while (Take(','));
      return Take('}');
    }
    if (c == '[') {
      value->type = Json::kArray;
      ++at_;
      if (Take(']')) return true;
      do {
        value->array.emplace_back();
        if (!Value(&value->array.back(), depth + 1)) return false;
      } while (Take(','));
      return Take(']');
    }
    if (c == '"') {
      value->type = Json::kString;
      return String(&value->string);
    }
    if (Word("true") || Word("false")) {
      value->type = Json::kBool;
      value->boolean = text_[at_ - 4] == 't';
      return true;
    }
    if (Word("null")) return true;
    const char* begin = text_.c_str() + at_;
    char* end = nullptr;
    value->number = std::strtod(begin, &end);
    if (end == begin) return false;
    value->type = Json::kNumber;
    at_ += static_cast<std::size_t>(end - begin);
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  static const Json kNothing;
  auto found = object.find(key);
  return found == object.end() ? kNothing : found->second;
}

bool ParseJson(const std::string& text, Json* value) { return JsonReader(text).Document(value); }

const RecordedRuns& Runs() { return g_runs; }

std::string ScratchDirectory(const std::string& name) {
  std::string path = g_scratch + "/" + name + "-" + std::to_string(++g_copies);
  fs::create_directories(path);
  return path;
}

std::string CopyRun(const std::string& run) {
  std::string copy = ScratchDirectory(fs::path(run).filename().string());
  for (const auto& entry : fs::directory_iterator(run))
    fs::copy_file(entry.path(), copy + "/" + entry.path().filename().string());
  return copy;
}

ChildResult Tool(const std::string& program, const std::vector<std::string>& args, int timeout_ms) {
  ChildCommand command;
  command.program = program;
  command.argv = {fs::path(program).filename().string()};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.timeout_ms = timeout_ms;
  return RunChild(command);
}

ChildResult Check(const std::vector<std::string>& args, int timeout_ms) {
  return Tool(SLOTREC_CHECK_BINARY, args, timeout_ms);
}

ChildResult Join(const std::vector<std::string>& args) { return Tool(SLOTREC_JOIN_BINARY, args); }

std::string ReadFile(const std::string& path) { return testsupport::ReadWholeFile(path); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<long long> MetaTimes(const std::string& meta_path) {
  int malformed = 0;
  std::vector<long long> times;
  for (const testsupport::MetaFrame& f : testsupport::ParseMetaFrames(ReadFile(meta_path), &malformed))
    times.push_back(f.time);
  return times;
}

std::vector<std::string> Stems(const std::string& run) {
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(run))
    if (entry.path().extension() == ".avi") stems.push_back(entry.path().stem().string());
  // Three-digit minutes sort by name as by time within a test's runs.
  std::sort(stems.begin(), stems.end());
  return stems;
}

}  // namespace tooltest
