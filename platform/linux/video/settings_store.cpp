// The current user's registry on Linux: one REGEDIT4 text file,
// $XDG_CONFIG_HOME/slotrec/user.reg (~/.config/slotrec/user.reg by default),
// which the user may read and edit by hand.
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\GNU\x264]
//   "encoding_type"=dword:00000003
//   "preset"="ultrafast"
//
// What this process sets is in force for this process at once, whatever
// becomes of the file: the run's own settings (lossless compression, a quiet
// compressor) must never hang on a file that the user, a full disk or a
// read-only mount can break. Each change is then saved to the file when the
// file can take it; when it cannot, the cause is named once on standard
// error and the call still succeeds. Values this process has not set are
// read from the file afresh on every query, so the user's edits apply at
// once.
//
// The file holds only what slotrec needs: the "REGEDIT4" line, comments and
// blank lines, [HKEY_CURRENT_USER\...] sections, "name"=dword:xxxxxxxx and
// "name"="text" values. Any other line makes the file "not understood": it
// is read up to that line and never rewritten, so the user's text stays.
//
// No call blocks without a bound. Only regular files are read (opened
// non-blocking and checked before reading, so a FIFO or a device in the
// file's place cannot stall us), and the lock that serialises writers is
// waited for a bounded time. Changes go to a temporary file that is then
// renamed over the old one, so readers need no lock: they see the old file
// or the new one, never half of either.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

constexpr char kStoreDir[] = "slotrec";
constexpr char kStoreFile[] = "user.reg";
constexpr char kLockSuffix[] = ".lock";
constexpr char kSignature[] = "REGEDIT4";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";  // editors may put it first
constexpr std::string_view kHive = "HKEY_CURRENT_USER";
// A settings file is a few lines; anything larger is not ours.
constexpr std::size_t kMaxStoreBytes = 1u << 20;
constexpr char kMaxStoreText[] = "1 MiB";
constexpr std::size_t kMaxKeyNameLength = 255;
// How long the first save waits for another writer's lock. A writer holds
// it for one small read-modify-write; longer means a stuck process.
constexpr auto kLockWait = std::chrono::milliseconds(1500);
constexpr auto kLockPoll = std::chrono::milliseconds(10);

// ---- names and values -------------------------------------------------------

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Key and value names compare as on Windows: without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

// True when path is ancestor itself or a key below it.
bool is_within(std::string_view path, std::string_view ancestor) {
  if (path.size() < ancestor.size() || !same_name(path.substr(0, ancestor.size()), ancestor)) return false;
  return path.size() == ancestor.size() || path[ancestor.size()] == '\\';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Path components are non-empty, at most 255 characters, without control
// characters; "" is the key itself.
bool valid_key_path(std::string_view path) {
  if (path.empty()) return true;
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty() || part.size() > kMaxKeyNameLength) return false;
    for (char c : part)
      if (static_cast<unsigned char>(c) < 0x20) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// A REGEDIT4 text sits on one line.
bool one_line(std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; }

// A REG_DWORD (its 4 bytes as in memory) or a REG_SZ (without its zero).
struct Value {
  DWORD type = REG_NONE;
  std::string data;
};

Value dword_value(DWORD v) {
  Value value;
  value.type = REG_DWORD;
  value.data.assign(reinterpret_cast<const char*>(&v), sizeof v);
  return value;
}

bool same_value(const Value& a, const Value& b) { return a.type == b.type && a.data == b.data; }

// ---- the file as text -------------------------------------------------------

// One line of the file, as written and as understood.
struct Line {
  enum Kind { kOther, kSection, kValue };
  Kind kind = kOther;  // kOther: the signature, a comment or a blank line
  std::string text;    // as in the file, without its line end
  std::string key;     // kSection: its path below HKEY_CURRENT_USER; kValue: its section's
  std::string name;    // kValue
  Value value;         // kValue
};

struct Document {
  std::vector<Line> lines;  // lines[0] is the signature; stops before a line not understood
  bool crlf = false;        // the file's lines end with CR LF
  // Why the file must be left as it is, as said on standard error ("" when
  // it may be rewritten). Lines read before the fault still apply.
  std::string fault;
};

// Reads a quoted text at the start of s ("..." with \\ and \" as the only
// escapes) into out and removes it from s. False when s holds no such text.
bool take_quoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      c = s[++i];
    }
    out.push_back(c);
  }
  return false;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// "[HKEY_CURRENT_USER\path]"
bool parse_section(std::string_view s, Line& line) {
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return false;
  s = s.substr(1, s.size() - 2);
  if (s.size() <= kHive.size() + 1 || !same_name(s.substr(0, kHive.size()), kHive) || s[kHive.size()] != '\\')
    return false;
  s.remove_prefix(kHive.size() + 1);
  if (!valid_key_path(s)) return false;
  line.kind = Line::kSection;
  line.key = std::string(s);
  return true;
}

// "name"=dword:xxxxxxxx (1 to 8 hex digits) or "name"="text"
bool parse_value(std::string_view s, Line& line) {
  if (!take_quoted(s, line.name)) return false;
  s = trim(s);
  if (s.empty() || s.front() != '=') return false;
  s = trim(s.substr(1));
  if (!s.empty() && s.front() == '"') {
    if (!take_quoted(s, line.value.data) || !s.empty()) return false;
    line.value.type = REG_SZ;
  } else {
    if (s.substr(0, 6) != "dword:") return false;
    s.remove_prefix(6);
    DWORD v = 0;
    auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (s.size() > 8 || err != std::errc() || end != s.data() + s.size()) return false;
    line.value = dword_value(v);
  }
  line.kind = Line::kValue;
  return true;
}

// One line (number counts from 1); false when it is not understood.
bool parse_line(std::size_t number, std::string_view raw, const std::string& section, Line& line) {
  line.text = std::string(raw);
  if (raw.find('\0') != std::string_view::npos) return false;
  if (number == 1) {
    if (raw.substr(0, kUtf8Mark.size()) == kUtf8Mark) raw.remove_prefix(kUtf8Mark.size());
    return trim(raw) == kSignature;
  }
  std::string_view s = trim(raw);
  if (s.empty() || s.front() == ';') return true;
  if (s.front() == '[') return parse_section(s, line);
  line.key = section;
  return !section.empty() && parse_value(s, line);
}

// The lines of text up to the first one not understood; *bad_line is its
// number, or 0 when every line is understood.
Document parse_document(std::string_view text, std::size_t* bad_line) {
  Document doc;
  *bad_line = 0;
  std::string section;  // the key of the latest section line
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    bool cr = !raw.empty() && raw.back() == '\r';
    if (cr) raw.remove_suffix(1);
    if (++number == 1) doc.crlf = cr;
    Line line;
    if (!parse_line(number, raw, section, line)) {
      *bad_line = number;
      break;
    }
    if (line.kind == Line::kSection) section = line.key;
    doc.lines.push_back(std::move(line));
  }
  if (doc.lines.empty()) {  // an empty file is an empty store
    Line signature;
    signature.text = kSignature;
    doc.lines.push_back(std::move(signature));
  }
  return doc;
}

std::string serialize(const Document& doc) {
  const char* eol = doc.crlf ? "\r\n" : "\n";
  std::string out;
  for (const Line& line : doc.lines) out += line.text + eol;
  return out;
}

// ---- queries and changes on the document -----------------------------------

// A key exists when it has a section of its own or a key below it has one.
bool key_exists(const Document& doc, std::string_view path) {
  for (const Line& line : doc.lines)
    if (line.kind == Line::kSection && is_within(line.key, path)) return true;
  return false;
}

// The value as a reader of the whole file sees it: a later line wins.
const Value* find_value(const Document& doc, std::string_view path, std::string_view name) {
  const Value* found = nullptr;
  for (const Line& line : doc.lines)
    if (line.kind == Line::kValue && same_name(line.key, path) && same_name(line.name, name)) found = &line.value;
  return found;
}

bool is_blank(const Line& line) { return line.kind == Line::kOther && trim(line.text).empty(); }

// Appends a section for path after an empty line, followed by an empty line.
void add_section(Document& doc, std::string_view path) {
  if (!is_blank(doc.lines.back())) doc.lines.push_back(Line());
  Line header;
  header.kind = Line::kSection;
  header.key = std::string(path);
  header.text = "[" + std::string(kHive) + "\\" + header.key + "]";
  doc.lines.push_back(std::move(header));
  doc.lines.push_back(Line());
}

// Sets a value where the file has it, or else right after the last line
// of its key (the key's section is made when there is none).
void put_value(Document& doc, std::string_view path, std::string_view name, const Value& value) {
  Line line;
  line.kind = Line::kValue;
  line.key = std::string(path);
  line.name = std::string(name);
  line.value = value;
  line.text = quoted(name) + "=";
  if (value.type == REG_SZ) {
    line.text += quoted(value.data);
  } else {
    DWORD v = 0;
    std::memcpy(&v, value.data.data(), sizeof v);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v));
    line.text += buf;
  }
  std::size_t existing = 0, after_key = 0;  // 0: none (line 0 is the signature)
  for (std::size_t i = 1; i < doc.lines.size(); ++i) {
    const Line& l = doc.lines[i];
    if (l.kind == Line::kOther || !same_name(l.key, path)) continue;
    after_key = i + 1;
    if (l.kind == Line::kValue && same_name(l.name, name)) existing = i;
  }
  if (existing != 0) {
    doc.lines[existing] = std::move(line);
    return;
  }
  if (after_key == 0) {
    add_section(doc, path);
    after_key = doc.lines.size() - 1;
  }
  doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(after_key), std::move(line));
}

// ---- what this process knows and has said -----------------------------------

// What this process has set in one store. Keys and names are folded.
struct InForce {
  std::set<std::string> keys;             // paths of keys created or written to
  std::map<std::string, Value> values;    // "path\nname" -> value
};

std::string value_slot(std::string_view path, std::string_view name) {
  return folded(path) + '\n' + folded(name);
}

// Shared by every thread that calls the registry operations (the main
// thread sets values at start, the cook thread reads them for each segment).
struct StoreState {
  std::mutex mutex;
  // By store file path: the program uses one store, tests move between
  // several. Written by RegCreateKeyExA/RegSetValueExA, read by every call.
  std::map<std::string, InForce> in_force;  // under mutex
  std::set<std::string> said;               // under mutex: texts already on standard error
  std::set<std::string> locks_given_up;     // under mutex: lock files waited for in vain
};

// Lives as long as the process, so that a thread still reading settings
// while the process exits finds it intact.
StoreState& state() {
  static StoreState* s = new StoreState;
  return *s;
}

// Names a fault on standard error, once per process for each text.
void say_once(const std::string& text) {
  StoreState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.said.insert(text).second) return;
  }
  std::fprintf(stderr, "slotrec: %s\n", text.c_str());
}

std::string error_text(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);  // the GNU strerror_r gives the text
}

// ---- the file on disk ---------------------------------------------------------

struct StorePaths {
  std::string dir;   // "" when neither XDG_CONFIG_HOME (absolute) nor a home is known
  std::string file;  // dir/user.reg; "" with dir
  std::string lock;  // dir/user.reg.lock; "" with dir
};

StorePaths store_paths() {
  StorePaths p;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    passwd pw{};
    char buf[4096];
    if (home == nullptr || home[0] != '/') {
      passwd* found = nullptr;
      if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return p;
      home = found->pw_dir;
    }
    if (home == nullptr || home[0] != '/') return p;
    base = std::string(home) + "/.config";
  }
  p.dir = base + "/" + kStoreDir;
  p.file = p.dir + "/" + kStoreFile;
  p.lock = p.file + kLockSuffix;
  return p;
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

constexpr char kNoHome[] =
    "no home directory for the settings file; this run's settings apply in memory only";

// Reads the open file fd into text when it is a regular file of sane size;
// otherwise returns the fault.
std::string read_store_text(int fd, const std::string& file, std::string& text) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return unreadable(file, errno);
  if (!S_ISREG(st.st_mode)) return left_alone(file, "is not a regular file");
  std::string too_large = left_alone(file, std::string("is larger than ") + kMaxStoreText);
  if (static_cast<unsigned long long>(st.st_size) > kMaxStoreBytes) return too_large;
  char buf[16384];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return unreadable(file, errno);
    if (n == 0) return {};
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxStoreBytes) return too_large;
  }
}

// Reads the whole store without blocking. A missing file (or directory) is
// an empty store. A file that cannot be used has a fault, named on standard
// error, and keeps only the lines before it. Any thread.
Document load_document(const std::string& file) {
  std::string text, fault;
  if (!file.empty()) {
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      fault = read_store_text(fd, file, text);
      close(fd);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      // (A directory that cannot be made shows when a change is saved.)
      fault = unreadable(file, errno);
    }
  }
  std::size_t bad_line = 0;
  Document doc = parse_document(fault.empty() ? std::string_view(text) : std::string_view(), &bad_line);
  if (fault.empty() && bad_line != 0) fault = not_understood(file, bad_line);
  if (!fault.empty()) say_once(fault);
  doc.fault = std::move(fault);
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
// poll. The first wait lasts up to kLockWait; once one has run out, saves
// only try until the lock is had again, so that a lock kept by a stuck
// process costs this process one wait, not one per call. Any thread.
int take_lock(const StorePaths& p) {
  int fd = open(p.lock.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    say_once(not_saved(p, p.lock + ": " + error_text(err)));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    say_once(not_saved(p, p.lock + " is not a regular file"));
    return -1;
  }
  StoreState& s = state();
  bool wait;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    wait = s.locks_given_up.count(p.lock) == 0;
  }
  auto deadline = std::chrono::steady_clock::now();
  if (wait) deadline += kLockWait;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      close(fd);
      say_once(not_saved(p, p.lock + ": " + error_text(err)));
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.locks_given_up.insert(p.lock);
      }
      say_once(not_saved(p, p.lock + " is held by another process"));
      return -1;
    }
    std::this_thread::sleep_for(kLockPoll);
  }
  if (!wait) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.locks_given_up.erase(p.lock);
  }
  return fd;
}

// Returns 0 or an errno value.
int write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Replaces the store with text: a temporary file in the same directory,
// flushed to disk, renamed over the old one. Returns 0 or an errno value.
int replace_file(const StorePaths& p, const std::string& text) {
  std::string temp = p.file + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat old {};
  if (stat(p.file.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  int err = write_all(fd, text);
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), p.file.c_str()) != 0) err = errno;
  if (err != 0) unlink(temp.c_str());
  return err;
}

// Saves one change to the store's file when the file lacks it and can take
// it. change(doc) makes the change and returns true, or returns false when
// the file says so already. Why a change cannot be saved is named once; the
// caller has put the change in force already. Any thread.
template <class Change>
void save_change(const StorePaths& p, Change change) {
  // The run sets the same values every time: most changes are in the file
  // already and need neither the lock nor a writable directory.
  {
    Document doc = load_document(p.file);
    if (!change(doc) || !doc.fault.empty()) return;
  }
  if (p.dir.empty()) {
    say_once(kNoHome);
    return;
  }
  std::string failed;
  if (int err = make_dirs(p.dir, &failed)) {
    say_once(not_saved(p, failed + ": " + error_text(err)));
    return;
  }
  int lock_fd = take_lock(p);
  if (lock_fd < 0) return;
  Document doc = load_document(p.file);
  if (change(doc) && doc.fault.empty()) {
    if (int err = replace_file(p, serialize(doc))) say_once(not_saved(p, error_text(err)));
  }
  close(lock_fd);  // releases the lock
}

// ---- what this process has set ------------------------------------------------

void hold_key(const std::string& file, std::string_view path) {
  StoreState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.in_force[file].keys.insert(folded(path));
}

void hold_value(const std::string& file, std::string_view path, std::string_view name, const Value& value) {
  StoreState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  InForce& f = s.in_force[file];
  f.keys.insert(folded(path));
  f.values[value_slot(path, name)] = value;
}

// True when this process has created path or a key below it.
bool held_key(const std::string& file, std::string_view path) {
  StoreState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto f = s.in_force.find(file);
  if (f == s.in_force.end()) return false;
  for (const std::string& key : f->second.keys)
    if (is_within(key, path)) return true;
  return false;
}

bool held_value(const std::string& file, std::string_view path, std::string_view name, Value& out) {
  StoreState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto f = s.in_force.find(file);
  if (f == s.in_force.end()) return false;
  auto v = f->second.values.find(value_slot(path, name));
  if (v == f->second.values.end()) return false;
  out = v->second;
  return true;
}

// ---- key handles ----------------------------------------------------------------

struct OpenKey {
  std::string path;  // below HKEY_CURRENT_USER; "" for the hive itself
  REGSAM access = 0;
};

HandleTable<OpenKey>& keys() { return process_handle_table<OpenKey>(); }

// The path and access of a key handle, false when the handle is not open.
bool resolve_key(HKEY key, OpenKey& out) {
  if (key == HKEY_CURRENT_USER) {
    out.path.clear();
    out.access = ~REGSAM{0};
    return true;
  }
  std::shared_ptr<OpenKey> open_key = keys().find(handle_token(key));
  if (!open_key) return false;
  out = *open_key;
  return true;
}

// The full path of sub below parent, or false when sub is not a valid path.
bool join_path(const std::string& parent, LPCSTR sub, std::string& out) {
  std::string_view s = sub == nullptr ? std::string_view() : std::string_view(sub);
  if (!valid_key_path(s)) return false;
  out = parent;
  if (!out.empty() && !s.empty()) out += '\\';
  out += s;
  return true;
}

LONG open_handle(std::string path, REGSAM access, PHKEY result) {
  auto key = std::make_shared<OpenKey>();
  key->path = std::move(path);
  key->access = access;
  *result = handle_from_token<HKEY>(keys().add(std::move(key)));
  return ERROR_SUCCESS;
}

}  // namespace

// ---- the registry operations ------------------------------------------------------
//
// Every operation may be called from any thread. Creating a key or setting
// a value succeeds once it is in force for this process; whether the file
// could take it too is named on standard error, not returned.

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                     DWORD /*dwOptions*/, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  OpenKey parent;
  if (!resolve_key(hKey, parent)) return ERROR_INVALID_HANDLE;
  std::string path;
  if (!join_path(parent.path, lpSubKey, path)) return ERROR_INVALID_PARAMETER;
  bool existed = path.empty();  // the hive itself always exists
  if (!existed) {
    StorePaths p = store_paths();
    existed = held_key(p.file, path);
    hold_key(p.file, path);
    save_change(p, [&](Document& doc) {
      if (!key_exists(doc, path)) {
        add_section(doc, path);
        return true;
      }
      existed = true;
      return false;
    });
  }
  if (lpdwDisposition != nullptr) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return open_handle(std::move(path), samDesired, phkResult);
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                   PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  OpenKey parent;
  if (!resolve_key(hKey, parent)) return ERROR_INVALID_HANDLE;
  std::string path;
  if (!join_path(parent.path, lpSubKey, path)) return ERROR_INVALID_PARAMETER;
  if (!path.empty()) {
    StorePaths p = store_paths();
    if (!held_key(p.file, path) && !key_exists(load_document(p.file), path)) return ERROR_FILE_NOT_FOUND;
  }
  return open_handle(std::move(path), samDesired, phkResult);
}

// Takes REG_DWORD (4 bytes) and REG_SZ (one line of text), the types the
// file holds, on keys below the hive.
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
  OpenKey key;
  if (!resolve_key(hKey, key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if ((lpData == nullptr && cbData != 0) || key.path.empty()) return ERROR_INVALID_PARAMETER;
  std::string name = lpValueName == nullptr ? "" : lpValueName;
  const char* bytes = reinterpret_cast<const char*>(lpData);
  Value value;
  value.type = dwType;
  if (dwType == REG_DWORD && cbData == 4) {
    value.data.assign(bytes, 4);
  } else if (dwType == REG_SZ) {
    // The data counts the terminating zero; a text stops at the first one.
    std::size_t n = 0;
    while (n < cbData && bytes[n] != '\0') ++n;
    value.data.assign(bytes == nullptr ? "" : bytes, n);
    if (!one_line(value.data)) return ERROR_INVALID_PARAMETER;
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  if (!one_line(name)) return ERROR_INVALID_PARAMETER;
  StorePaths p = store_paths();
  hold_value(p.file, key.path, name, value);
  save_change(p, [&](Document& doc) {
    const Value* old = find_value(doc, key.path, name);
    if (old != nullptr && same_value(*old, value)) return false;
    put_value(doc, key.path, name, value);
    return true;
  });
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  OpenKey key;
  if (!resolve_key(hKey, key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  std::string_view name = lpValueName == nullptr ? "" : lpValueName;
  StorePaths p = store_paths();
  Value value;
  if (!held_value(p.file, key.path, name, value)) {
    Document doc = load_document(p.file);
    const Value* found = find_value(doc, key.path, name);
    if (found == nullptr) return ERROR_FILE_NOT_FOUND;
    value = *found;
  }
  std::size_t size = value.data.size() + (value.type == REG_SZ ? 1 : 0);
  if (lpType != nullptr) *lpType = value.type;
  if (lpData != nullptr && *lpcbData < size) {
    *lpcbData = static_cast<DWORD>(size);
    return ERROR_MORE_DATA;
  }
  if (lpData != nullptr) {
    std::memcpy(lpData, value.data.data(), value.data.size());
    if (value.type == REG_SZ) lpData[value.data.size()] = 0;
  }
  if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(size);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  return keys().take(handle_token(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
