// slotrec-check --repair on runs the real recorder left when it was killed
// (SIGKILL at several moments of its work, on a private Xvfb) and on copies
// of a whole run damaged as a kill or a power loss damages it. After the
// repair every pair is whole for slotrec-check and for ffprobe, and a reader
// that needs the index (the idx1 read back here, and MediaInfo where it is
// installed) finds as many frames as the .meta lists. Files the repair does
// not understand, a second repair and a full disk change nothing.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "formats/avi_chunks.h"
#include "formats/meta_text.h"
#include "tests/support/process.h"
#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"
#include "tests/tools/record_run.h"

namespace {

namespace fs = std::filesystem;

std::string g_scratch;
std::string g_whole;                // stopped by SIGINT: every pair finished
std::vector<std::string> g_killed;  // stopped by SIGKILL at several moments
int g_copies = 0;

std::string Read(const std::string& path) { return testsupport::ReadWholeFile(path); }

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Record(const std::string& display, const std::string& name, const std::string& stop_after,
                   int grace_ms, int signal_number, bool busy) {
  return tooltest::RecordRun(
      {display, g_scratch + "/" + name, g_scratch + "/config", stop_after, grace_ms, signal_number, -1, busy});
}

class RepairRunsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_scratch = MakeTempDirectory("slotrec-repair");
    testsupport::XvfbOptions options;
    options.width = 320;
    options.height = 240;
    testsupport::XvfbServer server(options);
    ASSERT_TRUE(server.ok()) << server.error();
    testsupport::X11Painter painter(server.display());
    ASSERT_TRUE(painter.ok());
    painter.fill(20, 20, 100, 60, 0xff0000);
    painter.warp_pointer(150, 100);
    painter.sync();
    g_whole = Record(server.display(), "whole", "Trying prepare 000-04.avi", 300, SIGINT, false);
    // Right after the shift to 000-02, as 000-03 is being prepared; a little
    // later in that preparation; in the middle of a timeslot of large
    // frames, while they are written.
    g_killed.push_back(Record(server.display(), "shift", "Trying prepare 000-03.avi", 0, SIGKILL, false));
    g_killed.push_back(Record(server.display(), "prepare", "Trying prepare 000-02.avi", 3, SIGKILL, false));
    g_killed.push_back(Record(server.display(), "writing", "Trying prepare 000-02.avi", 450, SIGKILL, true));
  }
  void TearDown() override {
    if (!g_scratch.empty()) RemoveTree(g_scratch);
  }
};

const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new RepairRunsEnvironment);

std::string CopyRun(const std::string& run, const std::string& into = "") {
  std::string parent = (into.empty() ? g_scratch : into) + "/copy" + std::to_string(++g_copies);
  fs::create_directories(parent);
  std::string copy = parent + "/" + fs::path(run).filename().string();
  fs::copy(run, copy, fs::copy_options::recursive);
  return copy;
}

ChildResult Check(const std::vector<std::string>& args) {
  ChildCommand command;
  command.program = SLOTREC_CHECK_BINARY;
  command.argv = {"slotrec-check"};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.timeout_ms = 120000;
  return RunChild(command);
}

// Every file of a directory and its bytes.
std::map<std::string, std::string> Snapshot(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(directory))
    files[entry.path().filename().string()] = Read(entry.path().string());
  return files;
}

std::vector<std::string> Stems(const std::string& run) {
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(run))
    if (entry.path().extension() == ".meta") stems.push_back(entry.path().stem().string());
  std::sort(stems.begin(), stems.end());
  return stems;
}

int FrameLines(const std::string& meta_path) {
  int malformed = 0;
  return static_cast<int>(testsupport::ParseMetaFrames(Read(meta_path), &malformed).size());
}

// Where an AVI's index is, read with the formats the recorder writes: its
// entries, -1 when the file has no idx1 in its first RIFF list.
struct IndexRead {
  int entries = -1;
  int frames = 0;  // entries of chunks with data
  int keys = 0;
  std::int64_t at = -1;  // of the idx1 chunk
};

IndexRead ReadIndex(const std::string& bytes) {
  IndexRead index;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  RiffRead read = RiffMemory(data, bytes.size());
  RiffWalk top(read, 0, static_cast<std::int64_t>(bytes.size()));
  RiffChunk riff;
  if (!top.Next(&riff) || !riff.IsListOf("AVI ")) return index;
  RiffWalk chunks(read, riff.data() + 4, std::min<std::int64_t>(riff.end(), bytes.size()));
  for (RiffChunk chunk; chunks.Next(&chunk);) {
    if (!chunk.Is("idx1") || chunk.data_end() > static_cast<std::int64_t>(bytes.size())) continue;
    index.at = chunk.at;
    index.entries = static_cast<int>(chunk.size / avi_index::kEntryBytes);
    for (int i = 0; i < index.entries; ++i) {
      AviIndexEntry entry = ReadAviIndexEntry(data + chunk.data() + i * avi_index::kEntryBytes);
      if (entry.size > 0) ++index.frames;
      if (entry.flags & avi_index::kKeyFrame) ++index.keys;
    }
  }
  return index;
}

// MediaInfo's frame count of the video, which it takes from the index; -1
// when MediaInfo is not installed.
int MediaInfoFrames(const std::string& avi) {
  static const bool installed = std::system("command -v mediainfo >/dev/null 2>&1") == 0;
  if (!installed) return -1;
  ChildCommand command;
  command.program = "mediainfo";
  command.argv = {"mediainfo", "--Inform=Video;%FrameCount%", avi};
  ChildResult result = RunChild(command);
  return result.out.empty() || result.out == "\n" ? 0 : std::atoi(result.out.c_str());
}

// The verdict every repaired run must have: slotrec-check, ffprobe and the
// index readers agree with every .meta.
void ExpectWholeForEveryReader(const std::string& run) {
  ChildResult check = Check({run});
  EXPECT_EQ(check.exit_status, 0) << check.out;
  testsupport::RunVerdict verdict = testsupport::JudgeRun(run);
  for (const std::string& problem : verdict.problems) ADD_FAILURE() << run << ": " << problem;
  for (const std::string& stem : Stems(run)) {
    const std::string avi = run + "/" + stem + ".avi";
    const int lines = FrameLines(run + "/" + stem + ".meta");
    IndexRead index = ReadIndex(Read(avi));
    EXPECT_EQ(index.frames, lines) << avi;
    EXPECT_GE(index.keys, lines > 0 ? 1 : 0) << avi;
    int media_info = MediaInfoFrames(avi);
    if (media_info >= 0 && lines > 0) {
      EXPECT_EQ(media_info, lines) << avi;
    }
  }
}

// Makes a finished AVI look as the muxer leaves it when the recorder is
// killed: no index, the sizes of the RIFF list and the frame list -1, the
// frame counts 0 and the suggested buffer the muxer's default.
std::string Unfinish(std::string avi) {
  IndexRead index = ReadIndex(avi);
  EXPECT_GE(index.at, 0);
  avi.resize(static_cast<std::size_t>(index.at));
  auto* data = reinterpret_cast<std::uint8_t*>(avi.data());
  AviHeaders headers = FindAviHeaders(RiffMemory(data, avi.size()), static_cast<std::int64_t>(avi.size()));
  EXPECT_GE(headers.movi, 0);
  PutLe32(data + 4, 0xffffffffu);
  PutLe32(data + headers.movi + 4, 0xffffffffu);
  PutLe32(data + headers.avih + avi_field::kTotalFrames, 0);
  PutLe32(data + headers.strh + avi_field::kLength, 0);
  PutLe32(data + headers.strh + avi_field::kSuggestedBufferSize, 1 << 20);
  return avi;
}

std::string WithoutFooter(const std::string& meta) {
  const std::string footer = meta_text::kFooter;
  EXPECT_EQ(meta.substr(meta.size() - footer.size()), footer);
  return meta.substr(0, meta.size() - footer.size());
}

TEST(Repair, KilledRunsAreMadeWholeForEveryReaderAndASecondRepairChangesNothing) {
  for (const std::string& killed : g_killed) {
    SCOPED_TRACE(killed);
    const std::string run = CopyRun(killed);
    ASSERT_EQ(Check({run}).exit_status, 1) << "the kill left the run whole";
    ChildResult repair = Check({"--repair", run});
    EXPECT_TRUE(repair.exited);
    EXPECT_EQ(repair.exit_status, 0) << repair.out << repair.err;
    EXPECT_NE(repair.out.find(".avi: "), std::string::npos) << repair.out;
    EXPECT_NE(repair.out.find(", sizes filled in\n"), std::string::npos) << repair.out;
    EXPECT_NE(repair.out.find(".meta: "), std::string::npos) << repair.out;
    EXPECT_NE(repair.out.find(run + ": whole\n"), std::string::npos) << repair.out;
    EXPECT_EQ(repair.out.find("left as it is"), std::string::npos) << repair.out;
    ExpectWholeForEveryReader(run);

    auto before = Snapshot(run);
    ChildResult again = Check({"--repair", run});
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_EQ(again.out.substr(0, again.out.find('\n') + 1), run + ": nothing to repair\n");
    EXPECT_TRUE(Snapshot(run) == before) << "a second repair changed a file";
  }
}

TEST(Repair, DamageAsAKillLeavesItIsUndoneExactly) {
  const std::string run = CopyRun(g_whole);
  const std::string d = run + "/";
  // 000-01: the index and sizes gone, the footer gone: rebuilt byte for
  // byte as the recorder finished it.
  const std::string avi1 = Read(d + "000-01.avi"), meta1 = Read(d + "000-01.meta");
  Write(d + "000-01.avi", Unfinish(avi1));
  Write(d + "000-01.meta", WithoutFooter(meta1));
  // 000-02: cut in the middle of its last chunk, and a frame line more than
  // its frames (a kill between the line and its frame).
  const std::string avi2 = Read(d + "000-02.avi");
  const IndexRead index2 = ReadIndex(avi2);
  ASSERT_GE(index2.frames, 3);
  ASSERT_EQ(index2.keys, 1) << "x264 starts every segment with its only IDR picture";
  std::string cut2 = Unfinish(avi2);
  cut2.resize(cut2.size() - 5);
  Write(d + "000-02.avi", cut2);
  const std::string meta2 = Read(d + "000-02.meta");
  int malformed = 0;
  const long last2 = testsupport::ParseMetaFrames(meta2, &malformed).back().time;
  Write(d + "000-02.meta",
        WithoutFooter(meta2) + "<frame time=\"" + std::to_string(last2 + 100) + "\" x=\"1\" y=\"2\"/>\r\n");
  // 000-03: a .meta two lines shorter than its frames, its last line cut off.
  const std::string avi3 = Read(d + "000-03.avi"), meta3 = Read(d + "000-03.meta");
  const int lines3 = FrameLines(d + "000-03.meta");
  ASSERT_GE(lines3, 3);
  std::string short3 = WithoutFooter(meta3);
  for (int i = 0; i < 2; ++i) short3.erase(short3.rfind("<frame"));
  Write(d + "000-03.avi", Unfinish(avi3));
  Write(d + "000-03.meta", short3 + "<frame ti");

  ChildResult repair = Check({"--repair", run});
  EXPECT_EQ(repair.exit_status, 0) << repair.out;
  const long long frames2 = index2.frames - 1;
  EXPECT_NE(repair.out.find("000-01.avi: index of " + std::to_string(FrameLines(d + "000-01.meta")) +
                            " frames written (1 key frame), sizes filled in\n000-01.meta: footer written\n"),
            std::string::npos)
      << repair.out;
  EXPECT_NE(repair.out.find("000-02.avi: cut "), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find(" bytes of a partial chunk, index of " + std::to_string(frames2) +
                            " frames written (1 key frame), sizes filled in\n"
                            "000-02.meta: 2 frame lines beyond the AVI's frames dropped, footer written\n"),
            std::string::npos)
      << repair.out;
  EXPECT_NE(repair.out.find("000-03.avi: 2 frames beyond the .meta's frame lines dropped, index of " +
                            std::to_string(lines3 - 2) + " frames written (1 key frame), sizes filled in\n"
                            "000-03.meta: a line cut off in the middle dropped, footer written\n"),
            std::string::npos)
      << repair.out;
  EXPECT_TRUE(Read(d + "000-01.avi") == avi1) << "000-01.avi is not as the recorder finished it";
  EXPECT_EQ(Read(d + "000-01.meta"), meta1);
  EXPECT_EQ(FrameLines(d + "000-02.meta"), frames2);
  EXPECT_EQ(Read(d + "000-02.meta").substr(0, 200), meta2.substr(0, 200));
  ExpectWholeForEveryReader(run);
}

TEST(Repair, FilesItDoesNotUnderstandAreLeftAsTheyAreAndNamed) {
  const std::string run = CopyRun(g_killed.front());
  const std::string d = run + "/";
  Write(d + "000-00.avi", "this is no video, whatever its name says\n");
  Write(d + "000-01.avi", Read(d + "000-01.avi").substr(0, 100));
  auto before = Snapshot(run);
  ChildResult repair = Check({"--repair", run});
  EXPECT_EQ(repair.exit_status, 1) << repair.out;
  EXPECT_NE(repair.out.find("000-00.avi: left as it is: no RIFF AVI header\n"), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("000-01.avi: left as it is: its headers are cut short or incomplete\n"),
            std::string::npos)
      << repair.out;
  auto after = Snapshot(run);
  for (const char* name : {"000-00.avi", "000-00.meta", "000-01.avi", "000-01.meta"})
    EXPECT_TRUE(after[name] == before[name]) << name << " was changed";
  // The rest of the run was repaired, and is not repaired again.
  ChildResult again = Check({"--repair", run});
  EXPECT_EQ(again.out.find(": index of "), std::string::npos) << again.out;
  EXPECT_TRUE(Snapshot(run) == after);
}

TEST(Repair, AFullDiskLosesNothingAndTheFailureIsNamed) {
  const std::string disk = g_scratch + "/disk";
  fs::create_directories(disk);
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(g_killed.front())) bytes += entry.file_size();
  const std::string size = "size=" + std::to_string(bytes / 1024 + 256) + "k";
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, size.c_str()) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  const std::string run = CopyRun(g_killed.front(), disk);
  // Fill what is left.
  {
    std::ofstream filler(disk + "/filler", std::ios::binary);
    std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  auto before = Snapshot(run);
  ChildResult repair = Check({"--repair", run});
  EXPECT_EQ(repair.exit_status, 1) << repair.out;
  EXPECT_NE(repair.out.find(".avi: not repaired, the file is as it was: cannot write "), std::string::npos)
      << repair.out;
  EXPECT_NE(repair.out.find(".repairing: No space left on device\n"), std::string::npos) << repair.out;
  EXPECT_TRUE(Snapshot(run) == before) << "a file was changed or left behind";
  umount2(disk.c_str(), MNT_DETACH);
}

}  // namespace
