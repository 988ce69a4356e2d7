// The settings store: the current user's registry as a REGEDIT4 file that
// people read and edit, and that two recorders may change at once.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
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
  BYTE three[3] = {};
  EXPECT_EQ(RegSetValueExA(again, "short", 0, REG_DWORD, three, 3), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(set_text(again, "two lines", "a\nb"), ERROR_INVALID_PARAMETER);
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

// What a person wrote into the file stays: comments, other hives, binary
// values, Windows line ends. A changed value is changed where it stands.
TEST(SettingsStoreTest, HandEditedFileKeepsEverythingButTheChange) {
  PrivateSettings store;
  const std::string before =
      "REGEDIT4\r\n"
      "; settings for the recorder's compressor\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
      "\"x\"=dword:00000001\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\GNU\\x264]\r\n"
      "\"log_level\"=dword:4\r\n"
      "  ; quieter later\r\n"
      "\"blob\"=hex:01,02,\\\r\n"
      "  03,ff\r\n"
      "@=\"default\"\r\n"
      "\"encoding_type\"=dword:00000001\r\n"
      "\r\n";
  write_file(store.store_file(), before);
  HKEY key = create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264");
  EXPECT_EQ(get_dword(key, "log_level"), 4u);
  EXPECT_EQ(get_text(key, nullptr), "default");
  DWORD type = 0, size = 8;
  BYTE blob[8] = {};
  ASSERT_EQ(RegQueryValueExA(key, "blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, 3u);  // REG_BINARY
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(blob[3], 0xFF);

  EXPECT_EQ(set_dword(key, "log_level", 0), ERROR_SUCCESS);
  EXPECT_EQ(set_dword(key, "encoding_type", 1), ERROR_SUCCESS);  // unchanged: not rewritten
  EXPECT_EQ(set_text(key, "preset", "fast"), ERROR_SUCCESS);
  std::string after = before;
  after.replace(after.find("\"log_level\"=dword:4"), 19, "\"log_level\"=dword:00000000");
  after.insert(after.rfind("\r\n\r\n") + 2, "\"preset\"=\"fast\"\r\n");
  EXPECT_EQ(read_file(store.store_file()), after);
  RegCloseKey(key);
}

// A file that stops making sense is read up to that line and never
// rewritten: changes are refused, the bytes stay as they were, and nothing
// breaks whatever the file holds.
TEST(SettingsStoreTest, MalformedFileIsReadUpToTheFaultAndLeftAlone) {
  PrivateSettings store;
  const std::string text =
      "REGEDIT4\n"
      "[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n"
      "\"encoding_type\"=dword:00000002\n"
      "\"log_level\"=dword:zz\n"
      "\"quantizer\"=dword:00000010\n";
  write_file(store.store_file(), text);
  HKEY key = create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264");  // exists: nothing to write
  EXPECT_EQ(get_dword(key, "encoding_type"), 2u);
  EXPECT_EQ(get_dword(key, "log_level"), ~0u);
  EXPECT_EQ(get_dword(key, "quantizer"), ~0u);
  EXPECT_EQ(set_dword(key, "encoding_type", 3), ERROR_BADDB);
  EXPECT_EQ(set_dword(key, "encoding_type", 2), ERROR_SUCCESS);  // already so
  HKEY other = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, nullptr, 0, KEY_WRITE, nullptr, &other, nullptr),
            ERROR_BADDB);
  EXPECT_EQ(read_file(store.store_file()), text);
  RegCloseKey(key);

  // Whatever else the file may hold is read without harm.
  std::string junk[] = {
      std::string("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=\"unterminated\n"),
      std::string("REGEDIT4\n\"v\"=dword:1\n"),
      std::string("REGEDIT4\n[HKEY_CURRENT_USER\\A\n"),
      std::string("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=hex:01,\\\n"),
      std::string("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=hex(zz):01\n"),
      std::string("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\0\"=dword:1\n", 42),
      std::string("\x89PNG\r\n\x1a\n\0\0\0", 11),
      std::string(100000, '['),
  };
  for (const std::string& j : junk) {
    write_file(store.store_file(), j);
    HKEY a = open_key("A", KEY_READ | KEY_WRITE);
    if (a != nullptr) {
      get_dword(a, "v");
      EXPECT_EQ(set_dword(a, "v", 7), ERROR_BADDB);
      RegCloseKey(a);
    }
    EXPECT_EQ(read_file(store.store_file()), j);
  }
}

// Where the store cannot be written the calls say so and hand out nothing;
// keys that exist already still open.
TEST(SettingsStoreTest, UnwritableStoreIsReportedNotHidden) {
  ScratchDir dir;
  write_file(dir.file("not-a-dir"), "x");
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  std::string restore = saved != nullptr ? saved : "";
  setenv("XDG_CONFIG_HOME", dir.file("not-a-dir").c_str(), 1);
  HKEY key = nullptr;
  EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);

  if (geteuid() != 0) {  // root writes into read-only directories anyway
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    RegCloseKey(create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264"));
    chmod(dir.file("slotrec").c_str(), 0500);
    key = create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264");
    EXPECT_EQ(set_dword(key, "encoding_type", 3), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
  }
  if (saved != nullptr)
    setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
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
  RegCloseKey(create_key(HKEY_CURRENT_USER, "Software\\GNU\\x264"));
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
        std::string name = "w" + std::to_string(w) + "_" + std::to_string(r);
        if (set_dword(key, name.c_str(), static_cast<DWORD>(r)) != ERROR_SUCCESS) ++failures;
        if (set_dword(key, "shared", static_cast<DWORD>(w * 1000 + r)) != ERROR_SUCCESS) ++failures;
        // Every read meanwhile sees a whole file.
        if (get_dword(key, "w0_0") == ~0u && w == 0) ++failures;
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
      std::string name = "w" + std::to_string(w) + "_" + std::to_string(r);
      EXPECT_EQ(get_dword(key, name.c_str()), static_cast<DWORD>(r)) << name;
    }
  EXPECT_EQ(get_dword(key, "shared") % 1000, static_cast<DWORD>(kRounds - 1));
  RegCloseKey(key);
  // No temporary files are left behind.
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(std::filesystem::path(store.store_file()).parent_path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2);  // the store and its lock file
}

}  // namespace
