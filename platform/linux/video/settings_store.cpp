// The settings store: the registry calls the Linux program makes, over one
// small REGEDIT4 file of the current user that people may read and edit,
// $XDG_CONFIG_HOME/slotrec/user.reg (~/.config/slotrec/user.reg by default).
// It is not a registry, just that file:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\GNU\x264]
//   "encoding_type"=dword:00000003
//   "preset"="ultrafast"
//
// - It reads [HKEY_CURRENT_USER\...] sections, "name"=dword:xxxxxxxx and
//   "name"="text" values, comments and blank lines. Any other line makes the
//   file "not understood": it is read up to that line and never rewritten.
//   Only a regular file of at most 1 MiB is read, opened non-blocking, so a
//   FIFO in its place cannot stall us.
// - It keeps the run's values in memory whatever happens to the file: what
//   this process sets is in force for it at once and the call succeeds, so the
//   run's own settings never hang on a file that the user, a full disk or a
//   read-only mount can break. The rest is read from the file on every query,
//   so the user's edits apply at once.
// - It replaces the file atomically: the change is made to the file's lines,
//   every other line kept as it was, written to a temporary file and renamed
//   over the old one, so readers need no lock.
// - It waits for the lock that serialises writers a bounded time: 1.5 s at
//   first, and once a wait has run out only tries until it has the lock again.
// - It names the cause of a failure once, on standard error.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/common/handle_table.h"
#include "platform/linux/video/registry_api.h"

namespace {

constexpr char kSignature[] = "REGEDIT4";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";  // editors may put it first
constexpr std::string_view kHive = "HKEY_CURRENT_USER";
constexpr std::size_t kMaxStoreBytes = 1u << 20;  // a settings file is a few lines
constexpr auto kLockWait = std::chrono::milliseconds(1500);

// Key and value names compare as on Windows: without regard to ASCII case.
std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}
bool same_name(std::string_view a, std::string_view b) { return folded(a) == folded(b); }

// True when path is ancestor itself or a key below it.
bool is_within(std::string_view path, std::string_view ancestor) {
  return path.size() >= ancestor.size() && same_name(path.substr(0, ancestor.size()), ancestor) &&
         (path.size() == ancestor.size() || path[ancestor.size()] == '\\');
}

// Components are non-empty, at most 255 characters, without control
// characters; "" is the hive itself.
bool valid_key_path(std::string_view path) {
  std::size_t part = 0;  // characters of the component so far
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || (c == '\\' && part == 0) || part > 255) return false;
    part = c == '\\' ? 0 : part + 1;
  }
  return path.empty() || (part != 0 && part <= 255);
}

bool one_line(std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

struct Value {
  DWORD type = REG_NONE;  // REG_DWORD or REG_SZ; REG_NONE in a Change: the key itself
  DWORD number = 0;       // REG_DWORD
  std::string text;       // REG_SZ, without its zero
  bool operator==(const Value& o) const { return type == o.type && number == o.number && text == o.text; }
};

// One line of the file, as written and as understood.
struct Line {
  enum Kind { kOther, kSection, kValue } kind = kOther;  // kOther: signature, comment, blank
  std::string text;  // as in the file, without its line end
  std::string key;   // kSection: its path below the hive; kValue: its section's
  std::string name;  // kValue
  Value value;       // kValue
};

struct Document {
  std::vector<Line> lines;  // lines[0] is the signature; stops before a line not understood
  bool crlf = false;        // the file's lines end with CR LF
  std::string fault;        // why the file must be left alone, as said; "" when it may be rewritten
};

// Takes "..." (\\ and \" are the only escapes) from the front of s.
bool take_quoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (s[i] == '\\' && (i + 1 == s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))) return false;
    if (s[i] == '\\') ++i;
    out.push_back(s[i]);
  }
  return false;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + '"';
}

// Reads line number (from 1) of a file into line; section is the key of
// the latest section line. False when the line is not understood.
bool parse_line(std::size_t number, std::string_view raw, const std::string& section, Line& line) {
  line.text = std::string(raw);
  if (raw.find('\0') != std::string_view::npos) return false;
  if (number == 1) {
    if (raw.substr(0, kUtf8Mark.size()) == kUtf8Mark) raw.remove_prefix(kUtf8Mark.size());
    return trim(raw) == kSignature;
  }
  std::string_view s = trim(raw);
  if (s.empty() || s.front() == ';') return true;
  if (s.front() == '[') {  // [HKEY_CURRENT_USER\path]
    line.kind = Line::kSection;
    if (s.size() < kHive.size() + 4 || s.back() != ']' || !same_name(s.substr(1, kHive.size()), kHive) ||
        s[kHive.size() + 1] != '\\')
      return false;
    line.key = std::string(s.substr(kHive.size() + 2, s.size() - kHive.size() - 3));
    return valid_key_path(line.key);
  }
  // "name"=dword:xxxxxxxx (1 to 8 hex digits) or "name"="text"
  line.kind = Line::kValue;
  line.key = section;
  if (section.empty() || !take_quoted(s, line.name)) return false;
  s = trim(s);
  if (s.empty() || s.front() != '=') return false;
  s = trim(s.substr(1));
  line.value.type = REG_SZ;
  if (take_quoted(s, line.value.text)) return s.empty();
  line.value.type = REG_DWORD;
  if (s.substr(0, 6) != "dword:" || s.size() > 14) return false;
  auto [end, err] = std::from_chars(s.data() + 6, s.data() + s.size(), line.value.number, 16);
  return err == std::errc() && end == s.data() + s.size();
}

// Where a key and one of its values stand in a document.
struct Place {
  bool key_exists = false;       // the key has a section, or a key below it has one
  const Value* value = nullptr;  // as a reader of the whole file sees it: a later line wins
  std::size_t value_line = 0;    // its line; 0: none (line 0 is the signature)
  std::size_t after_key = 0;     // after the key's last line; 0: the key has no line
};

Place locate(const Document& doc, std::string_view path, std::string_view name) {
  Place at;
  for (std::size_t i = 1; i < doc.lines.size(); ++i) {
    const Line& l = doc.lines[i];
    if (l.kind == Line::kSection && is_within(l.key, path)) at.key_exists = true;
    if (l.kind == Line::kOther || !same_name(l.key, path)) continue;
    at.after_key = i + 1;
    if (l.kind == Line::kValue && same_name(l.name, name)) {
      at.value = &l.value;
      at.value_line = i;
    }
  }
  return at;
}

// A key made or a value set by this process.
struct Change {
  std::string path, name;  // below the hive, as the caller spelt them
  Value value;             // REG_NONE: the key itself
};

// Makes the change in doc, false when doc has it already. A new key is a
// section at the end, an empty line on either side; a value is set where
// the file has it, or else right after the last line of its key.
bool apply(Document& doc, const Change& c) {
  Place at = locate(doc, c.path, c.name);
  bool is_key = c.value.type == REG_NONE;
  if (is_key ? at.key_exists : at.value != nullptr && *at.value == c.value) return false;
  if (at.after_key == 0) {
    if (doc.lines.back().kind != Line::kOther || !trim(doc.lines.back().text).empty()) doc.lines.emplace_back();
    doc.lines.push_back(Line{Line::kSection, "[" + std::string(kHive) + "\\" + c.path + "]", c.path, {}, {}});
    doc.lines.emplace_back();
    at.after_key = doc.lines.size() - 1;
  }
  if (is_key) return true;
  char number[16];
  std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(c.value.number));
  Line line{Line::kValue, quoted(c.name) + "=" + (c.value.type == REG_SZ ? quoted(c.value.text) : number), c.path,
            c.name, c.value};
  if (at.value_line != 0)
    doc.lines[at.value_line] = std::move(line);
  else
    doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(at.after_key), std::move(line));
  return true;
}

// Shared by every thread that calls the registry operations (the main
// thread sets values at start, the cook thread reads them for each segment).
struct StoreState {
  struct Store {
    std::map<std::string, Change> changes;  // what this process has set, by folded key, name and kind
    bool lock_given_up = false;             // a wait for the lock ran out and it has not been had since
  };
  std::mutex mutex;
  std::map<std::string, Store> stores;  // under mutex, by file: the program uses one, tests several
  std::set<std::string> said;           // under mutex: texts already on standard error
};

// Lives as long as the process, so that a thread still reading settings
// while the process exits finds it intact.
StoreState& state() {
  static StoreState* s = new StoreState;
  return *s;
}

// Calls f(state()) under the state's lock and returns what it returns.
template <class F>
auto locked(F f) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return f(state());
}

void say_once(const std::string& text) {
  if (locked([&](StoreState& s) { return s.said.insert(text).second; }))
    std::fprintf(stderr, "slotrec: %s\n", text.c_str());
}

std::string error_text(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);  // the GNU strerror_r gives the text
}

struct StorePaths {
  std::string dir;   // "" when neither XDG_CONFIG_HOME (absolute) nor a home is known
  std::string file;  // dir/user.reg; "" with dir
};

StorePaths store_paths() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    passwd pw{}, *found = nullptr;
    char buf[4096];
    if ((home == nullptr || home[0] != '/') && getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found)
      home = found->pw_dir;
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.config";
  }
  return {base + "/slotrec", base + "/slotrec/user.reg"};
}

// The texts that name a fault, file path first.
std::string left_alone(const std::string& file, const std::string& why) {
  return file + ": " + why + "; its settings do not apply and it is left unchanged";
}
std::string unreadable(const std::string& file, int err) {
  return left_alone(file, "cannot be read (" + error_text(err) + ")");
}
std::string not_understood(const std::string& file, std::size_t line) {
  return file + ": line " + std::to_string(line) +
         " is not understood; settings are read up to it and the file is left unchanged";
}
std::string not_saved(const StorePaths& p, const std::string& why) {
  return p.file + ": cannot be saved (" + why + "); this run's settings apply in memory only";
}
constexpr char kNoHome[] = "no home directory for the settings file; this run's settings apply in memory only";

// Reads the whole file without blocking. A missing file (or directory) is an
// empty store; a file that cannot be used has a fault, named on standard
// error, and keeps only the lines before it. Any thread.
Document load_document(const std::string& file) {
  Document doc;
  std::string text;
  const std::string too_large = left_alone(file, "is larger than 1 MiB");
  int fd = file.empty() ? -1 : open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) {
    // (A directory that cannot be made shows when a change is saved.)
    if (!file.empty() && errno != ENOENT && errno != ENOTDIR) doc.fault = unreadable(file, errno);
  } else if (fstat(fd, &st) != 0) {
    doc.fault = unreadable(file, errno);
  } else if (!S_ISREG(st.st_mode)) {
    doc.fault = left_alone(file, "is not a regular file");
  } else if (static_cast<unsigned long long>(st.st_size) > kMaxStoreBytes) {
    doc.fault = too_large;
  } else {
    char buf[16384];
    ssize_t n = 0;  // the file may grow while we read it
    while (text.size() <= kMaxStoreBytes && ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
      if (n > 0) text.append(buf, static_cast<std::size_t>(n));
    if (n < 0)
      doc.fault = unreadable(file, errno);
    else if (text.size() > kMaxStoreBytes)
      doc.fault = too_large;
  }
  if (fd >= 0) close(fd);
  std::string section;  // the key of the latest section line
  for (std::size_t start = 0, number = 1; doc.fault.empty() && start < text.size(); ++number) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view raw = std::string_view(text).substr(start, end - start);
    start = end + 1;
    bool cr = !raw.empty() && raw.back() == '\r';
    if (cr) raw.remove_suffix(1);
    if (number == 1) doc.crlf = cr;
    Line line;
    if (!parse_line(number, raw, section, line)) {
      doc.fault = not_understood(file, number);
      break;
    }
    if (line.kind == Line::kSection) section = line.key;
    doc.lines.push_back(std::move(line));
  }
  if (doc.lines.empty()) doc.lines.push_back(Line{Line::kOther, kSignature, {}, {}, {}});  // an empty store
  if (!doc.fault.empty()) say_once(doc.fault);
  return doc;
}

// The store as this process sees it: the file with this process's changes.
Document view(const std::string& file) {
  Document doc = load_document(file);
  for (const auto& change : locked([&](StoreState& s) { return s.stores[file].changes; }))
    apply(doc, change.second);
  return doc;
}

// Makes dir and its missing parents. Returns 0, or an errno value and in
// *failed the path it concerns.
int make_dirs(const std::string& dir, std::string* failed) {
  *failed = dir;
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
      std::string part = dir.substr(0, slash);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        *failed = part;
        return errno;
      }
      if (slash == std::string::npos) break;
    }
    if (stat(dir.c_str(), &st) != 0) return errno;
  }
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Takes the store's lock for one read-modify-write and returns its
// descriptor, or -1 after naming why not. flock has no timed wait, so we
// poll. Any thread.
int take_lock(const StorePaths& p) {
  std::string lock = p.file + ".lock", why;
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  struct stat st {};
  if (fd < 0)
    why = lock + ": " + error_text(errno);
  else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    why = lock + " is not a regular file";
  auto given_up = [&](bool now) { locked([&](StoreState& s) { s.stores[p.file].lock_given_up = now; }); };
  auto deadline = std::chrono::steady_clock::now();
  if (!locked([&](StoreState& s) { return s.stores[p.file].lock_given_up; })) deadline += kLockWait;
  while (why.empty() && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      why = lock + ": " + error_text(errno);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      given_up(true);
      why = lock + " is held by another process";
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (why.empty()) {
    given_up(false);
    return fd;
  }
  if (fd >= 0) close(fd);
  say_once(not_saved(p, why));
  return -1;
}

// Replaces the file with doc: a temporary file in the same directory,
// flushed to disk, renamed over the old one. Returns 0 or an errno value.
int replace_file(const StorePaths& p, const Document& doc) {
  std::string text, temp = p.file + ".XXXXXX";
  for (const Line& line : doc.lines) text += line.text + (doc.crlf ? "\r\n" : "\n");
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat old {};
  if (stat(p.file.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  int err = 0;
  for (std::size_t done = 0; err == 0 && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      err = n < 0 ? errno : EIO;
    else
      done += static_cast<std::size_t>(n);
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), p.file.c_str()) != 0) err = errno;
  if (err != 0) unlink(temp.c_str());
  return err;
}

// Puts c in force for this process, then saves it to the file when the file
// lacks it and can take it; why it cannot is named once. Any thread.
void make_change(const Change& c) {
  StorePaths p = store_paths();
  std::string slot = folded(c.path) + '\n' + folded(c.name) + (c.value.type == REG_NONE ? "\n" : "");
  locked([&](StoreState& s) { s.stores[p.file].changes[slot] = c; });
  // The run sets the same values every time: most changes are in the file
  // already and need neither the lock nor a writable directory.
  Document doc = load_document(p.file);
  if (!apply(doc, c) || !doc.fault.empty()) return;
  std::string failed;
  if (p.dir.empty()) {
    say_once(kNoHome);
  } else if (int err = make_dirs(p.dir, &failed)) {
    say_once(not_saved(p, failed + ": " + error_text(err)));
  } else if (int lock_fd = take_lock(p); lock_fd >= 0) {
    doc = load_document(p.file);
    if (apply(doc, c) && doc.fault.empty())
      if (int err = replace_file(p, doc)) say_once(not_saved(p, error_text(err)));
    close(lock_fd);  // releases the lock
  }
}

struct OpenKey {
  std::string path;  // below HKEY_CURRENT_USER; "" for the hive itself
  REGSAM access = 0;
};

HandleTable<OpenKey>& keys() { return process_handle_table<OpenKey>(); }

// The path and access of a key handle, false when the handle is not open.
bool resolve_key(HKEY key, OpenKey& out) {
  if (key == HKEY_CURRENT_USER) {
    out = OpenKey{"", ~REGSAM{0}};
    return true;
  }
  std::shared_ptr<OpenKey> open_key = keys().find(handle_token(key));
  if (open_key) out = *open_key;
  return open_key != nullptr;
}

// Sets *path to sub below hKey for RegCreateKeyExA and RegOpenKeyExA;
// returns ERROR_SUCCESS or the error for them to return.
LONG key_path(HKEY hKey, LPCSTR sub, PHKEY result, std::string* path) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenKey parent;
  if (!resolve_key(hKey, parent)) return ERROR_INVALID_HANDLE;
  std::string_view s = sub == nullptr ? std::string_view() : std::string_view(sub);
  if (!valid_key_path(s)) return ERROR_INVALID_PARAMETER;
  *path = parent.path + (!parent.path.empty() && !s.empty() ? "\\" : "") + std::string(s);
  return ERROR_SUCCESS;
}

LONG open_handle(std::string path, REGSAM access, PHKEY result) {
  *result = handle_from_token<HKEY>(keys().add(std::make_shared<OpenKey>(OpenKey{std::move(path), access})));
  return ERROR_SUCCESS;
}

}  // namespace

// Every operation may be called from any thread. Creating a key or setting a
// value succeeds once it is in force for this process; whether the file could
// take it too is named on standard error, not returned.

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                     DWORD /*dwOptions*/, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  std::string path;
  if (LONG err = key_path(hKey, lpSubKey, phkResult, &path)) return err;
  // The hive itself always exists.
  bool existed = path.empty() || locate(view(store_paths().file), path, "").key_exists;
  if (!path.empty()) make_change(Change{path, "", Value{}});
  if (lpdwDisposition != nullptr) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return open_handle(std::move(path), samDesired, phkResult);
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                   PHKEY phkResult) {
  std::string path;
  if (LONG err = key_path(hKey, lpSubKey, phkResult, &path)) return err;
  if (!path.empty() && !locate(view(store_paths().file), path, "").key_exists) return ERROR_FILE_NOT_FOUND;
  return open_handle(std::move(path), samDesired, phkResult);
}

// Takes REG_DWORD (4 bytes) and REG_SZ (one line of text), the types the
// file holds, on keys below the hive.
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
  OpenKey key;
  if (!resolve_key(hKey, key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  Change c{key.path, lpValueName == nullptr ? "" : lpValueName, Value{}};
  if ((lpData == nullptr && cbData != 0) || key.path.empty() || !one_line(c.name)) return ERROR_INVALID_PARAMETER;
  c.value.type = dwType;
  if (dwType == REG_DWORD && cbData == 4) {
    std::memcpy(&c.value.number, lpData, 4);
  } else if (dwType == REG_SZ) {
    // The data counts the terminating zero; a text stops at the first one.
    const char* text = reinterpret_cast<const char*>(lpData);
    if (text != nullptr) c.value.text.assign(text, strnlen(text, cbData));
    if (!one_line(c.value.text)) return ERROR_INVALID_PARAMETER;
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  make_change(c);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  OpenKey key;
  if (!resolve_key(hKey, key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  Document doc = view(store_paths().file);
  const Value* value = locate(doc, key.path, lpValueName == nullptr ? "" : lpValueName).value;
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  // A text with its terminating zero, a number as its 4 bytes in memory.
  DWORD size = value->type == REG_SZ ? static_cast<DWORD>(value->text.size() + 1) : 4;
  LONG result = lpData != nullptr && *lpcbData < size ? ERROR_MORE_DATA : ERROR_SUCCESS;
  if (lpData != nullptr && result == ERROR_SUCCESS)
    std::memcpy(lpData, value->type == REG_SZ ? static_cast<const void*>(value->text.c_str()) : &value->number, size);
  if (lpType != nullptr) *lpType = value->type;
  if (lpcbData != nullptr) *lpcbData = size;
  return result;
}

LONG RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  return keys().take(handle_token(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
