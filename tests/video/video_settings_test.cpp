// The settings store: the current user's registry as a REGEDIT4 file that
// people read and edit, that two recorders may change at once, and that
// may be broken in every way a file can be without the run's own settings
// being lost or the program hanging.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// snprintf rather than string concatenation: g++ 12 at -O3 reports a false
// -Wstringop-overflow for the latter.
std::string WriterValueName(int writer, int round) {
  char name[32];
  std::snprintf(name, sizeof name, "w%d_%d", writer, round);
  return name;
}

void write_file(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

HKEY create_key(HKEY parent, const char* path, DWORD* disposition = nullptr, REGSAM access = KEY_WRITE | KEY_READ) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, disposition),
            ERROR_SUCCESS)
      << path;
  return key;
}

LONG set_dword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG set_text(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// The DWORD under name, or ~0u when it cannot be read.
DWORD get_dword(HKEY key, const char* name) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return ~0u;
  return value;
}

std::string get_text(HKEY key, const char* name) {
  DWORD type = 0;
  char buf[256];
  DWORD size = sizeof buf;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return "<none>";
  return std::string(buf, size - 1);
}

HKEY open_key(const char* path, REGSAM access = KEY_READ) {
  HKEY key = nullptr;
  return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, &key) == ERROR_SUCCESS ? key : nullptr;
}

// The run's start: the compressor lookup creates the key step by step and
// writes its two values, every call expected to succeed.
void write_run_settings() {
  HKEY keys[3] = {};
  HKEY parent = HKEY_CURRENT_USER;
  const char* names[3] = {"Software", "GNU", "x264"};
  for (int i = 0; i < 3; ++i) parent = keys[i] = create_key(parent, names[i], nullptr, KEY_WRITE);
  EXPECT_EQ(set_dword(keys[2], "encoding_type", 3), ERROR_SUCCESS);
  EXPECT_EQ(set_dword(keys[2], "log_level", 0), ERROR_SUCCESS);
  for (HKEY key : keys) RegCloseKey(key);
}

// What the compressor reads for every segment, on whatever thread.
void expect_run_settings_in_force() {
  HKEY key = open_key("Software\\GNU\\x264");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(get_dword(key, "encoding_type"), 3u);
  EXPECT_EQ(get_dword(key, "log_level"), 0u);
  RegCloseKey(key);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The store's lines on standard error while the object lives.
class StoreMessages {
 public:
  StoreMessages() { ::testing::internal::CaptureStderr(); }
  ~StoreMessages() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
  }
  std::vector<std::string> lines() {
    taken_ = true;
    std::vector<std::string> out;
    std::istringstream in(::testing::internal::GetCapturedStderr());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  bool taken_ = false;
};

// Exactly one line on standard error: the store's file, then the cause.
void expect_one_message(std::vector<std::string> lines, const std::string& file, const std::string& cause) {
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0].rfind("slotrec: " + file + ": ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(cause), std::string::npos) << lines[0];
}

// ---- the file format ---------------------------------------------------------

// Keys are created step by step as the lookup creates them, each written as
// a section; values are written as regedit writes them and read back with
// Windows' size rules.
TEST(SettingsStoreTest, WritesRegedit4AndReadsItBack) {
  PrivateSettings store;
  DWORD disposition = 0;
  HKEY software = create_key(HKEY_CURRENT_USER, "Software", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY gnu = create_key(software, "GNU");
  HKEY x264 = create_key(gnu, "x264");
  EXPECT_EQ(set_dword(x264, "encoding_type", 3), ERROR_SUCCESS);
  EXPECT_EQ(set_dword(x264, "log_level", 0), ERROR_SUCCESS);
  EXPECT_EQ(set_text(x264, "preset", "very \"fast\" C:\\x"), ERROR_SUCCESS);
  EXPECT_EQ(set_dword(x264, "LOG_LEVEL", 0xDEADBEEF), ERROR_SUCCESS);  // names ignore case
  EXPECT_EQ(read_file(store.store_file()),
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software]\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\GNU]\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n"
            "\"encoding_type\"=dword:00000003\n"
            "\"LOG_LEVEL\"=dword:deadbeef\n"
            "\"preset\"=\"very \\\"fast\\\" C:\\\\x\"\n"
            "\n");

  HKEY again = create_key(HKEY_CURRENT_USER, "software\\gnu\\X264", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(get_dword(again, "encoding_type"), 3u);
  EXPECT_EQ(get_dword(again, "log_level"), 0xDEADBEEFu);
  EXPECT_EQ(get_text(again, "preset"), "very \"fast\" C:\\x");

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(again, "preset", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 17u);  // with the terminating zero
  char small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(again, "preset", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 17u);
  EXPECT_EQ(RegQueryValueExA(again, "absent", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  // Only what the file can hold is taken.
  BYTE three[3] = {};
  EXPECT_EQ(RegSetValueExA(again, "short", 0, REG_DWORD, three, 3), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(again, "blob", 0, 3 /* REG_BINARY */, three, 3), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(set_text(again, "two lines", "a\nb"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(set_dword(HKEY_CURRENT_USER, "at the top", 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(again, "short", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  for (HKEY k : {software, gnu, x264, again}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(x264), ERROR_INVALID_HANDLE);
  EXPECT_EQ(set_dword(x264, "encoding_type", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(open_key("Software\\Other"), nullptr);
}

// A key opened for reading cannot be written, and a bad path is refused.
TEST(SettingsStoreTest, AccessAndPathsAreChecked) {
  PrivateSettings store;
  RegCloseKey(create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264"));
  HKEY reader = open_key("Software\\GNU\\x264");
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(set_dword(reader, "encoding_type", 1), ERROR_ACCESS_DENIED);
  RegCloseKey(reader);
  EXPECT_NE(open_key("Software\\GNU"), nullptr);  // exists through its subkey
  HKEY key = nullptr;
  for (const char* bad : {"\\Software", "Software\\\\GNU", "Software\\", "Soft\nware"})
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, bad, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER)
        << bad;
  EXPECT_EQ(key, nullptr);
}

// What a person wrote into the file stays: a byte-order mark, comments,
// short DWORDs, Windows line ends. A changed value is changed where it
// stands; a new one follows the key's last value.
TEST(SettingsStoreTest, HandEditedFileKeepsEverythingButTheChange) {
  PrivateSettings store;
  const std::string before =
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "; settings for the recorder's compressor\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
      "\"x\"=dword:00000001\r\n"
      "\r\n"
      "[hkey_current_user\\Software\\GNU\\x264]\r\n"
      "\"log_level\"=dword:4\r\n"
      "  ; quieter later\r\n"
      "\"encoding_type\" = dword:00000001  \r\n"
      "\r\n";
  write_file(store.store_file(), before);
  StoreMessages messages;
  HKEY key = create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264");
  EXPECT_EQ(get_dword(key, "log_level"), 4u);
  EXPECT_EQ(get_dword(key, "encoding_type"), 1u);

  EXPECT_EQ(set_dword(key, "log_level", 0), ERROR_SUCCESS);
  EXPECT_EQ(set_dword(key, "encoding_type", 1), ERROR_SUCCESS);  // unchanged: not rewritten
  EXPECT_EQ(set_text(key, "preset", "fast"), ERROR_SUCCESS);
  std::string after = before;
  after.replace(after.find("\"log_level\"=dword:4"), 19, "\"log_level\"=dword:00000000");
  after.insert(after.rfind("\r\n\r\n") + 2, "\"preset\"=\"fast\"\r\n");
  EXPECT_EQ(read_file(store.store_file()), after);
  RegCloseKey(key);
  EXPECT_TRUE(messages.lines().empty());
}

// The screen source keeps a text of its own (its restore token) in another
// key. The compressor's values written after it, and changed by a later run,
// leave it in the file as it was; that run reads it back from the file with
// Windows' size rules, and a new token leaves the compressor's values alone.
TEST(SettingsStoreTest, TextInAnotherKeySurvivesTheCompressorsValues) {
  const std::string token = "5f0c6d1e-8a2b-4c3d-9e4f-a0b1c2d3e4f5";
  const char* own_key = "Software\\slotrec";
  const char* name = "screencast_restore_token";
  std::string saved;
  {
    PrivateSettings first;
    EXPECT_EQ(open_key(own_key), nullptr);
    HKEY key = create_key(HKEY_CURRENT_USER, own_key);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(set_text(key, name, token), ERROR_SUCCESS);
    RegCloseKey(key);
    write_run_settings();
    saved = read_file(first.store_file());
  }
  EXPECT_EQ(saved,
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\slotrec]\n"
            "\"screencast_restore_token\"=\"" + token + "\"\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\GNU]\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n"
            "\"encoding_type\"=dword:00000003\n"
            "\"log_level\"=dword:00000000\n"
            "\n");

  PrivateSettings later;  // nothing set here yet: what is read comes from the file
  std::string edited = saved;
  edited.replace(edited.find("\"log_level\"=dword:00000000"), 26, "\"log_level\"=dword:00000002");
  write_file(later.store_file(), edited);
  write_run_settings();
  EXPECT_EQ(read_file(later.store_file()), saved);
  {
    HKEY key = open_key(own_key);
    ASSERT_NE(key, nullptr);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, token.size() + 1);
    char small[8];
    DWORD small_size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(small), &small_size),
              ERROR_MORE_DATA);
    EXPECT_EQ(small_size, token.size() + 1);
    EXPECT_EQ(get_text(key, name), token);
    RegCloseKey(key);
  }
  HKEY key = create_key(HKEY_CURRENT_USER, own_key, nullptr, KEY_WRITE);
  EXPECT_EQ(set_text(key, name, "c0ffee00-0000-4000-8000-000000000001"), ERROR_SUCCESS);
  RegCloseKey(key);
  std::string expected = saved;
  expected.replace(expected.find(token), token.size(), "c0ffee00-0000-4000-8000-000000000001");
  EXPECT_EQ(read_file(later.store_file()), expected);
}

// A file that stops making sense is read up to that line and never
// rewritten. Lines of the full REGEDIT format that slotrec does not use
// are such lines. The values set meanwhile are in force all the same, and
// the line is named once.
TEST(SettingsStoreTest, FileNotUnderstoodIsReadUpToTheFaultAndLeftAlone) {
  struct Case {
    std::string text;
    int bad_line;
    DWORD v;  // what "v" of key A reads as before anything is set; ~0u: absent
  };
  const std::string a = "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=dword:00000002\n";
  const Case cases[] = {
      {a + "\"w\"=dword:zz\n\"v\"=dword:00000005\n", 4, 2},
      {a + "\"blob\"=hex:01,02,\\\n  03\n", 4, 2},
      {a + "\"v\"=hex(4):05,00,00,00\n", 4, 2},
      {a + "@=\"default\"\n", 4, 2},
      {a + "\"v\"=-\n", 4, 2},
      {a + "[-HKEY_CURRENT_USER\\B]\n", 4, 2},
      {a + "[HKEY_LOCAL_MACHINE\\Software]\n", 4, 2},
      {a + "\"v\"=dword:123456789\n", 4, 2},
      {a + "\"t\"=\"unterminated\n", 4, 2},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"v\"=dword:00000002\n", 1, ~0u},
      {"REGEDIT4\n\"v\"=dword:1\n", 2, ~0u},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A\n", 2, ~0u},
      {std::string("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\0\"=dword:1\n", 42), 3, ~0u},
      {std::string("\x89PNG\r\n\x1a\n\0\0\0", 11), 1, ~0u},
      {std::string(100000, '['), 1, ~0u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    PrivateSettings store;
    write_file(store.store_file(), c.text);
    StoreMessages messages;
    HKEY key = open_key("A", KEY_READ | KEY_WRITE);
    if (c.v != ~0u) {
      EXPECT_NE(key, nullptr);
    }
    if (key != nullptr) {
      EXPECT_EQ(get_dword(key, "v"), c.v);
    }
    RegCloseKey(key);
    key = create_key(HKEY_CURRENT_USER, "A");
    EXPECT_EQ(set_dword(key, "v", 7), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(key, "v"), 7u);
    RegCloseKey(key);
    EXPECT_EQ(read_file(store.store_file()), c.text);
    expect_one_message(messages.lines(), store.store_file(),
                       "line " + std::to_string(c.bad_line) + " is not understood");
  }
}

// A relative XDG_CONFIG_HOME is not a base directory; the store is then
// under $HOME/.config.
TEST(SettingsStoreTest, StoreLivesUnderTheConfigHome) {
  PrivateSettings store;
  ScratchDir home;
  std::string saved_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  RegCloseKey(create_key(HKEY_CURRENT_USER, "Software"));
  EXPECT_GT(file_size(home.file(".config/slotrec/user.reg")), 0);
  setenv("HOME", saved_home.c_str(), 1);
}

// Recorders started together change the store at the same moment; every
// change survives and the file is never seen half-written.
TEST(SettingsStoreTest, ConcurrentWritersKeepEveryChange) {
  PrivateSettings store;
  // Written by hand, so that every query of it reads the file.
  write_file(store.store_file(), "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n\"base\"=dword:00000007\n");
  constexpr int kWriters = 4;
  constexpr int kRounds = 25;
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    children[w] = fork();
    if (children[w] == 0) {
      int failures = 0;
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\x264", 0, KEY_WRITE | KEY_READ, &key) != ERROR_SUCCESS)
        _exit(100);
      for (int r = 0; r < kRounds; ++r) {
        std::string name = WriterValueName(w, r);
        if (set_dword(key, name.c_str(), static_cast<DWORD>(r)) != ERROR_SUCCESS) ++failures;
        if (set_dword(key, "shared", static_cast<DWORD>(w * 1000 + r)) != ERROR_SUCCESS) ++failures;
        if (get_dword(key, "base") != 7u) ++failures;  // a whole file every time
      }
      _exit(failures > 0 ? 1 : 0);
    }
  }
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY key = open_key("Software\\GNU\\x264");
  ASSERT_NE(key, nullptr);
  for (int w = 0; w < kWriters; ++w)
    for (int r = 0; r < kRounds; ++r) {
      std::string name = WriterValueName(w, r);
      EXPECT_EQ(get_dword(key, name.c_str()), static_cast<DWORD>(r)) << name;
    }
  EXPECT_EQ(get_dword(key, "shared") % 1000, static_cast<DWORD>(kRounds - 1));
  RegCloseKey(key);
  // No temporary files are left behind.
  int files = 0;
  for (auto& entry : fs::directory_iterator(fs::path(store.store_file()).parent_path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2);  // the store and its lock file
}

// ---- faults ----------------------------------------------------------------------

// Whatever stands in the file's place, the run's settings are in force at
// once, nothing blocks, the thing in the way stays as it was, and its
// cause is named once however often the store is used.
TEST(SettingsStoreFaultTest, BrokenFileLeavesTheRunsSettingsInForce) {
  struct Case {
    const char* what;
    std::function<void(const PrivateSettings&)> make;
    std::function<std::string(const PrivateSettings&)> cause;  // "": it is the store file that is named
  };
  const std::string comments = [] {
    std::string text = "REGEDIT4\n";
    while (text.size() <= (2u << 20)) text += "; a settings file of two megabytes\n";
    return text;
  }();
  const Case cases[] = {
      {"FIFO", [](const PrivateSettings& s) { fs::create_directories(s.config_home() + "/slotrec");
                                               ASSERT_EQ(mkfifo(s.store_file().c_str(), 0600), 0); },
       [](const PrivateSettings&) { return std::string("is not a regular file"); }},
      {"directory", [](const PrivateSettings& s) { write_file(s.store_file() + "/inside", "x"); },
       [](const PrivateSettings&) { return std::string("is not a regular file"); }},
      {"random bytes", [](const PrivateSettings& s) {
         std::mt19937 random(1234);
         std::string bytes(4096, '\0');
         for (char& c : bytes) c = static_cast<char>(random());
         write_file(s.store_file(), bytes); },
       [](const PrivateSettings&) { return std::string("line 1 is not understood"); }},
      {"too large", [&comments](const PrivateSettings& s) { write_file(s.store_file(), comments); },
       [](const PrivateSettings&) { return std::string("is larger than 1 MiB"); }},
      {"slotrec is a file", [](const PrivateSettings& s) { write_file(s.config_home() + "/slotrec", "x"); },
       [](const PrivateSettings& s) { return "cannot be saved (" + s.config_home() + "/slotrec: Not a directory)"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PrivateSettings store;
    c.make(store);
    std::vector<std::pair<std::string, std::string>> before;  // every path below the config home, with its bytes
    auto snapshot = [&store] {
      std::vector<std::pair<std::string, std::string>> files;
      for (auto& e : fs::recursive_directory_iterator(store.config_home()))
        files.emplace_back(e.path().string() + (e.is_directory() ? "/" : e.is_fifo() ? "|" : ""),
                           e.is_regular_file() ? read_file(e.path().string()) : "");
      std::sort(files.begin(), files.end());
      return files;
    };
    before = snapshot();
    StoreMessages messages;
    Clock::time_point start = Clock::now();
    for (int round = 0; round < 3; ++round) {
      write_run_settings();
      expect_run_settings_in_force();
      HKEY key = open_key("Software\\GNU\\x264");
      EXPECT_EQ(get_dword(key, "passbitrate"), ~0u);
      RegCloseKey(key);
    }
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(snapshot(), before);
    expect_one_message(messages.lines(), store.store_file(), c.cause(store));
  }
}

// A read-only file system under the store: the user's values still apply,
// except where the run sets its own, and the file stays as it was.
TEST(SettingsStoreFaultTest, ReadOnlyStoreKeepsTheUsersFileAndTheRunsValues) {
  PrivateSettings store;
  std::string dir = store.config_home() + "/slotrec";
  fs::create_directories(dir);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "): needs CAP_SYS_ADMIN";
  // Gone however the test ends, so that the scratch directory can go too.
  struct Unmount {
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{dir};
  const std::string text =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n"
      "\"encoding_type\"=dword:00000000\n\"passbitrate\"=dword:00000001\n";
  write_file(store.store_file(), text);
  ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=64k"), 0) << std::strerror(errno);
  {
    StoreMessages messages;
    write_run_settings();
    write_run_settings();
    expect_run_settings_in_force();
    HKEY key = open_key("Software\\GNU\\x264");
    EXPECT_EQ(get_dword(key, "passbitrate"), 1u);
    RegCloseKey(key);
    EXPECT_EQ(read_file(store.store_file()), text);
    expect_one_message(messages.lines(), store.store_file(), "Read-only file system");
  }
  EXPECT_EQ(umount(dir.c_str()), 0) << std::strerror(errno);
}

// The run's start in a child process without root's privileges (root is
// refused nothing). Returns the child's standard error; *in_force tells
// whether the run's values were in force there.
std::string start_run_unprivileged(const std::string& scratch, bool* in_force) {
  std::string err_path = scratch + "/stderr";
  pid_t child = fork();
  if (child == 0) {
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || dup2(err, 2) < 0) _exit(2);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    write_run_settings();
    HKEY key = open_key("Software\\GNU\\x264");
    _exit(get_dword(key, "encoding_type") == 3 && get_dword(key, "log_level") == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  *in_force = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return read_file(err_path);
}

// A settings file the user may not read, and one they may read but not
// replace: the run's values are in force either way, and the refusal is
// named once.
TEST(SettingsStoreFaultTest, NoPermissionLeavesTheRunsSettingsInForce) {
  for (bool readable : {false, true}) {
    SCOPED_TRACE(readable ? "readable" : "unreadable");
    ScratchDir scratch;
    PrivateSettings store;
    const std::string text = "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n\"log_level\"=dword:00000002\n";
    write_file(store.store_file(), text);
    mode_t mode = readable ? 0755 : 0700;
    ASSERT_EQ(chmod(store.config_home().c_str(), mode), 0);
    ASSERT_EQ(chmod((store.config_home() + "/slotrec").c_str(), mode), 0);
    ASSERT_EQ(chmod(store.store_file().c_str(), readable ? 0644 : 0600), 0);
    bool in_force = false;
    std::vector<std::string> lines;
    std::istringstream err(start_run_unprivileged(scratch.path(), &in_force));
    for (std::string line; std::getline(err, line);) lines.push_back(line);
    EXPECT_TRUE(in_force);
    EXPECT_EQ(read_file(store.store_file()), text);
    expect_one_message(lines, store.store_file(),
                       readable ? store.store_file() + ".lock: Permission denied" : "cannot be read (Permission denied)");
  }
}

// Another process holds the store's lock and never lets go: the first save
// waits a bounded time, later ones do not wait again, the values are in
// force throughout, and once the lock is free changes are saved again.
TEST(SettingsStoreFaultTest, LockHeldElsewhereCostsOneBoundedWait) {
  PrivateSettings store;
  write_file(store.store_file(), "REGEDIT4\n");
  int holder = open((store.store_file() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);  // another open file: it excludes ours as another process's would
  StoreMessages messages;
  Clock::time_point start = Clock::now();
  write_run_settings();
  EXPECT_LT(seconds_since(start), 3.0);
  start = Clock::now();
  write_run_settings();
  HKEY key = create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264");
  EXPECT_EQ(set_text(key, "preset", "fast"), ERROR_SUCCESS);
  EXPECT_LT(seconds_since(start), 0.5);
  expect_run_settings_in_force();
  EXPECT_EQ(get_text(key, "preset"), "fast");
  EXPECT_EQ(read_file(store.store_file()), "REGEDIT4\n");
  expect_one_message(messages.lines(), store.store_file(), store.store_file() + ".lock is held by another process");

  close(holder);
  EXPECT_EQ(set_text(key, "preset", "slow"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_NE(read_file(store.store_file()).find("\"preset\"=\"slow\"\n"), std::string::npos);
}

// The cook thread reads the compressor's settings while the main thread
// sets them: every value it finds is one that was set, in the order set.
TEST(SettingsStoreThreadTest, ValuesSetOnOneThreadAreSeenOnAnother) {
  PrivateSettings store;
  write_run_settings();
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread cook([&] {
    DWORD last = 0;
    while (!done.load()) {
      HKEY key = open_key("Software\\GNU\\x264");
      if (key == nullptr) continue;
      EXPECT_EQ(get_dword(key, "encoding_type"), 3u);
      DWORD q = get_dword(key, "quantizer");
      if (q != ~0u) {
        EXPECT_GE(q, last);
        last = q;
      }
      RegCloseKey(key);
      ++reads;
    }
  });
  HKEY key = create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264");
  for (DWORD q = 0; q <= 51; ++q) EXPECT_EQ(set_dword(key, "quantizer", q), ERROR_SUCCESS);
  while (reads.load() < 10) std::this_thread::yield();
  done = true;
  cook.join();
  EXPECT_EQ(get_dword(key, "quantizer"), 51u);
  RegCloseKey(key);
}

}  // namespace
