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
// Every read parses the file afresh, so edits take effect at once. Every
// change is a read-modify-write under an exclusive flock on user.reg.lock,
// and the new text goes to a temporary file that is then renamed over the
// old one: readers see the old file or the new one, never half of either,
// and two processes changing values at once both keep their change.
//
// A file we do not fully understand is read up to its first line that makes
// no sense and is never rewritten: changes are refused with ERROR_BADDB, so
// whatever the user wrote stays as it was. Lines we understand but do not use
// (comments, other hives, binary values) are kept as they are.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/avifile_handles.h"
#include "platform/platform.h"

namespace {

constexpr char kStoreDir[] = "slotrec";
constexpr char kStoreFile[] = "user.reg";
constexpr char kLockFile[] = "user.reg.lock";
constexpr char kSignature[] = "REGEDIT4";
constexpr char kSignature5[] = "Windows Registry Editor Version 5.00";
constexpr char kHive[] = "HKEY_CURRENT_USER";
// A settings file is a few lines; anything this large is not ours.
constexpr std::size_t kMaxStoreBytes = 4u << 20;
constexpr std::size_t kMaxKeyNameLength = 255;

// ---- the file as text ------------------------------------------------------

struct StoredValue {
  std::string name;  // "" is the key's default value ("@" in the file)
  DWORD type = REG_NONE;
  std::string data;  // REG_SZ without its terminating zero
};

// One line of a section, or several for a hex value continued with "\".
struct Entry {
  std::vector<std::string> lines;  // as in the file, without line ends
  bool is_value = false;           // false: comment, blank line, deletion
  StoredValue value;
};

struct Section {
  std::string header;      // the "[...]" line as in the file
  bool user_key = false;   // a key of HKEY_CURRENT_USER (not another hive)
  std::string path;        // below HKEY_CURRENT_USER; "" for the hive itself
  std::vector<Entry> entries;
};

struct Document {
  bool valid = true;        // every line understood
  std::size_t bad_line = 0; // 1-based number of the first line that is not
  bool crlf = false;        // the file's lines end with CR LF
  std::string signature = kSignature;
  std::vector<std::string> preamble;  // lines before the first section
  std::vector<Section> sections;
};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Key and value names compare as on Windows: without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

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

// Path components are non-empty, at most 255 characters, without control
// characters. Returns false for anything else.
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

// A section header's contents (between the brackets). Keys of other hives
// and deletions ("[-...]") are kept but are not ours to read.
bool parse_section_header(std::string_view inner, Section& section) {
  if (inner.empty()) return false;
  if (inner.front() == '-') return true;
  std::size_t slash = inner.find('\\');
  std::string_view hive = inner.substr(0, slash);
  if (!same_name(hive, kHive)) return !hive.empty();
  std::string_view path = slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
  if (slash != std::string_view::npos && path.empty()) return false;
  if (!valid_key_path(path)) return false;
  section.user_key = true;
  section.path = std::string(path);
  return true;
}

// Parses "hex:..." / "hex(N):..." data, continued over the following lines
// while a line ends with a backslash. Consumes those lines from lines[i+1..].
bool parse_hex_value(std::string_view data, const std::vector<std::string>& lines, std::size_t& i,
                     Entry& entry) {
  DWORD type = 3;  // REG_BINARY
  if (data.substr(0, 4) == "hex(") {
    std::size_t close = data.find("):");
    if (close == std::string_view::npos || close == 4 || close > 12) return false;
    type = 0;
    for (char c : data.substr(4, close - 4)) {
      int d = hex_digit(c);
      if (d < 0) return false;
      type = type * 16 + static_cast<DWORD>(d);
    }
    data.remove_prefix(close + 2);
  } else if (data.substr(0, 4) == "hex:") {
    data.remove_prefix(4);
  } else {
    return false;
  }
  std::string bytes;
  while (true) {
    data = trim(data);
    bool more = !data.empty() && data.back() == '\\';
    if (more) data.remove_suffix(1);
    std::size_t pos = 0;
    while (pos < data.size()) {
      std::size_t comma = data.find(',', pos);
      std::string_view item = trim(data.substr(pos, comma == std::string_view::npos ? comma : comma - pos));
      if (item.empty()) {
        // Only a trailing comma before the continuation may leave an empty item.
        if (comma != std::string_view::npos || !more) return false;
      } else {
        if (item.size() > 2) return false;
        int value = 0;
        for (char c : item) {
          int d = hex_digit(c);
          if (d < 0) return false;
          value = value * 16 + d;
        }
        bytes.push_back(static_cast<char>(value));
      }
      if (comma == std::string_view::npos) break;
      pos = comma + 1;
    }
    if (!more) break;
    if (i + 1 >= lines.size()) return false;
    ++i;
    entry.lines.push_back(lines[i]);
    data = lines[i];
  }
  entry.value.type = type;
  entry.value.data = std::move(bytes);
  return true;
}

// One value line (and its continuations) of a section.
bool parse_value(const std::vector<std::string>& lines, std::size_t& i, Entry& entry) {
  std::string_view s = trim(lines[i]);
  entry.lines.push_back(lines[i]);
  if (s.front() == '@') {
    entry.value.name.clear();
    s.remove_prefix(1);
  } else if (!take_quoted(s, entry.value.name)) {
    return false;
  }
  s = trim(s);
  if (s.empty() || s.front() != '=') return false;
  s = trim(s.substr(1));
  if (s == "-") return true;  // a deletion: kept, but no value
  if (!s.empty() && s.front() == '"') {
    if (!take_quoted(s, entry.value.data) || !trim(s).empty()) return false;
    entry.value.type = REG_SZ;
  } else if (s.substr(0, 6) == "dword:") {
    s.remove_prefix(6);
    if (s.empty() || s.size() > 8) return false;
    DWORD v = 0;
    for (char c : s) {
      int d = hex_digit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<DWORD>(d);
    }
    entry.value.type = REG_DWORD;
    entry.value.data.assign(reinterpret_cast<const char*>(&v), sizeof v);
  } else if (!parse_hex_value(s, lines, i, entry)) {
    return false;
  }
  entry.is_value = true;
  return true;
}

// Parses the lines after the signature into doc. Returns the index of the
// first line that is not understood, or 0 when all are.
std::size_t parse_body(const std::vector<std::string>& lines, Document& doc) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find('\0') != std::string::npos) return i;
    std::string_view s = trim(line);
    Entry entry;
    if (s.empty() || s.front() == ';') {
      entry.lines.push_back(line);
      if (doc.sections.empty())
        doc.preamble.push_back(line);
      else
        doc.sections.back().entries.push_back(std::move(entry));
    } else if (s.front() == '[') {
      Section section;
      section.header = line;
      if (s.back() != ']' || !parse_section_header(s.substr(1, s.size() - 2), section)) return i;
      doc.sections.push_back(std::move(section));
    } else {
      if ((s.front() != '"' && s.front() != '@') || doc.sections.empty()) return i;
      std::size_t first_line = i;
      if (!parse_value(lines, i, entry)) return first_line;
      doc.sections.back().entries.push_back(std::move(entry));
    }
  }
  return 0;
}

Document parse_document(const std::string& text) {
  Document doc;
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      if (lines.empty()) doc.crlf = true;
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (lines.empty()) return doc;  // an empty file is an empty store

  std::string first = lines[0];
  if (first.compare(0, 3, "\xEF\xBB\xBF") == 0) first.erase(0, 3);
  std::string_view sig = trim(first);
  std::size_t bad = 0;  // the signature line
  bool signed_file = sig == kSignature || sig == kSignature5;
  if (signed_file) {
    doc.signature = std::string(sig);
    bad = parse_body(lines, doc);
  }
  if (!signed_file || bad != 0) {
    doc.valid = false;
    doc.bad_line = bad + 1;
  }
  return doc;
}

std::string format_value_line(const StoredValue& v) {
  std::string line = v.name.empty() ? std::string("@") : quoted(v.name);
  line += '=';
  if (v.type == REG_SZ) {
    line += quoted(v.data);
  } else if (v.type == REG_DWORD) {
    DWORD d = 0;
    std::memcpy(&d, v.data.data(), sizeof d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
    line += buf;
  } else {
    char buf[16];
    if (v.type == 3)
      line += "hex:";
    else
      std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type)), line += buf;
    for (std::size_t i = 0; i < v.data.size(); ++i) {
      std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : ",%02x", static_cast<unsigned char>(v.data[i]));
      line += buf;
    }
  }
  return line;
}

std::string serialize(const Document& doc) {
  const char* eol = doc.crlf ? "\r\n" : "\n";
  std::string out = doc.signature + eol;
  for (const std::string& line : doc.preamble) out += line + eol;
  for (const Section& section : doc.sections) {
    out += section.header + eol;
    for (const Entry& entry : section.entries)
      for (const std::string& line : entry.lines) out += line + eol;
  }
  return out;
}

// ---- queries and changes on the document ----------------------------------

bool is_below(std::string_view path, std::string_view ancestor) {
  if (ancestor.empty()) return true;
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         same_name(path.substr(0, ancestor.size()), ancestor);
}

// A key exists when it has a section of its own or a descendant has one.
bool key_exists(const Document& doc, std::string_view path) {
  if (path.empty()) return true;
  for (const Section& s : doc.sections)
    if (s.user_key && (same_name(s.path, path) || is_below(s.path, path))) return true;
  return false;
}

// The value as a reader of the whole file sees it: a later line wins.
const StoredValue* find_value(const Document& doc, std::string_view path, std::string_view name) {
  const StoredValue* found = nullptr;
  for (const Section& s : doc.sections) {
    if (!s.user_key || !same_name(s.path, path)) continue;
    for (const Entry& e : s.entries)
      if (e.is_value && same_name(e.value.name, name)) found = &e.value;
  }
  return found;
}

bool is_blank(const Entry& e) { return !e.is_value && e.lines.size() == 1 && trim(e.lines[0]).empty(); }

// Appends an empty section for path, after an empty line.
void add_section(Document& doc, std::string_view path) {
  bool blank_before;
  if (doc.sections.empty())
    blank_before = !doc.preamble.empty() && trim(doc.preamble.back()).empty();
  else
    blank_before = !doc.sections.back().entries.empty() && is_blank(doc.sections.back().entries.back());
  if (!blank_before) {
    Entry blank;
    blank.lines.emplace_back();
    if (doc.sections.empty())
      doc.preamble.emplace_back();
    else
      doc.sections.back().entries.push_back(std::move(blank));
  }
  Section section;
  section.header = std::string("[") + kHive + (path.empty() ? "" : "\\") + std::string(path) + "]";
  section.user_key = true;
  section.path = std::string(path);
  Entry blank;
  blank.lines.emplace_back();
  section.entries.push_back(std::move(blank));
  doc.sections.push_back(std::move(section));
}

// Sets a value: in place where the file has it, otherwise after the last
// value of the key's last section (before its trailing blank lines).
void put_value(Document& doc, std::string_view path, const StoredValue& value) {
  Entry* existing = nullptr;
  Section* last_section = nullptr;
  for (Section& s : doc.sections) {
    if (!s.user_key || !same_name(s.path, path)) continue;
    last_section = &s;
    for (Entry& e : s.entries)
      if (e.is_value && same_name(e.value.name, value.name)) existing = &e;
  }
  Entry entry;
  entry.is_value = true;
  entry.value = value;
  entry.lines.push_back(format_value_line(value));
  if (existing != nullptr) {
    *existing = std::move(entry);
    return;
  }
  if (last_section == nullptr) {
    add_section(doc, path);
    last_section = &doc.sections.back();
  }
  std::size_t at = last_section->entries.size();
  while (at > 0 && is_blank(last_section->entries[at - 1])) --at;
  last_section->entries.insert(last_section->entries.begin() + static_cast<std::ptrdiff_t>(at),
                               std::move(entry));
}

// ---- the file on disk ------------------------------------------------------

// The store's directory, or "" when neither XDG_CONFIG_HOME (absolute) nor a
// home directory is known.
std::string store_dir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      passwd pw{};
      passwd* found = nullptr;
      char buf[4096];
      if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return {};
      home = found->pw_dir;
    }
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.config";
  }
  return base + "/" + kStoreDir;
}

LONG error_from_errno(int err) {
  return (err == EACCES || err == EPERM || err == EROFS) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
}

// Reads the whole store. A missing file is an empty store; an unreadable or
// oversized one reads as a file of which nothing is understood.
Document load_document() {
  std::string dir = store_dir();
  Document doc;
  if (dir.empty()) return doc;
  std::string path = dir + "/" + kStoreFile;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) doc.valid = false, doc.bad_line = 1;
    return doc;
  }
  std::string text;
  char buf[16384];
  bool ok = true;
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxStoreBytes) {
      ok = false;
      break;
    }
  }
  close(fd);
  if (!ok) {
    doc.valid = false;
    doc.bad_line = 1;
    return doc;
  }
  return parse_document(text);
}

int make_dirs(const std::string& path) {
  std::size_t pos = 1;
  while (true) {
    std::size_t slash = path.find('/', pos);
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces the store with text: a temporary file in the same directory,
// flushed to disk, renamed over the old one. Returns 0 or an errno value.
int replace_file(const std::string& dir, const std::string& text) {
  std::string final_path = dir + "/" + kStoreFile;
  std::string temp = final_path + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat old{};
  if (stat(final_path.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  int err = 0;
  if (!write_all(fd, text) || fsync(fd) != 0) err = errno ? errno : EIO;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), final_path.c_str()) != 0) err = errno;
  if (err != 0) unlink(temp.c_str());
  return err;
}

void report_bad_store_once(const Document& doc) {
  static std::once_flag once;
  std::call_once(once, [&doc] {
    std::fprintf(stderr,
                 "slotrec: %s/%s: line %zu is not understood; settings are read up to it and "
                 "the file is left unchanged\n",
                 store_dir().c_str(), kStoreFile, doc.bad_line);
  });
}

// Applies change to the store under the store's lock. change(doc) returns
// true when it altered doc, which is then written back. Any thread.
template <class Change>
LONG modify_store(Change change) {
  // Most calls change nothing (the key or value is there already); those
  // need neither the lock nor a writable directory.
  {
    Document doc = load_document();
    if (!change(doc)) return ERROR_SUCCESS;
  }
  std::string dir = store_dir();
  if (dir.empty()) return ERROR_CANTWRITE;
  if (int err = make_dirs(dir)) return error_from_errno(err);
  std::string lock_path = dir + "/" + kLockFile;
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd < 0) return error_from_errno(errno);
  while (flock(lock_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int err = errno;
      close(lock_fd);
      return error_from_errno(err);
    }
  }
  LONG result = ERROR_SUCCESS;
  Document doc = load_document();
  if (change(doc)) {
    if (!doc.valid) {
      report_bad_store_once(doc);
      result = ERROR_BADDB;
    } else if (int err = replace_file(dir, serialize(doc))) {
      result = error_from_errno(err);
    }
  }
  close(lock_fd);  // releases the lock
  return result;
}

// ---- key handles -----------------------------------------------------------

struct OpenKey {
  std::string path;  // below HKEY_CURRENT_USER
  REGSAM access = 0;
};

HandleTable<OpenKey>& keys() { return process_handle_table<OpenKey>(); }

bool is_current_user(HKEY key) { return key == HKEY_CURRENT_USER; }

// The path and access of a key handle, false when the handle is not open.
bool resolve_key(HKEY key, OpenKey& out) {
  if (is_current_user(key)) {
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

bool valid_text(std::string_view s) {
  for (char c : s)
    if (c == '\n' || c == '\r') return false;
  return true;
}

}  // namespace

// ---- the registry operations ------------------------------------------------

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
  bool created = false;
  LONG result = modify_store([&](Document& doc) {
    created = !key_exists(doc, path);
    if (created) add_section(doc, path);
    return created;
  });
  if (result != ERROR_SUCCESS) return result;
  if (lpdwDisposition != nullptr)
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
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
  if (!key_exists(load_document(), path)) return ERROR_FILE_NOT_FOUND;
  return open_handle(std::move(path), samDesired, phkResult);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
  OpenKey key;
  if (!resolve_key(hKey, key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  StoredValue value;
  value.name = lpValueName == nullptr ? "" : lpValueName;
  value.type = dwType;
  const char* bytes = reinterpret_cast<const char*>(lpData);
  if (dwType == REG_DWORD) {
    if (cbData != 4) return ERROR_INVALID_PARAMETER;
    value.data.assign(bytes, 4);
  } else if (dwType == REG_SZ) {
    // The data counts the terminating zero; a text stops at the first one.
    std::size_t n = 0;
    while (n < cbData && bytes[n] != '\0') ++n;
    value.data.assign(bytes, n);
    // REGEDIT4 holds a text on one line.
    if (!valid_text(value.data)) return ERROR_INVALID_PARAMETER;
  } else {
    value.data.assign(bytes == nullptr ? "" : bytes, cbData);
  }
  if (!valid_text(value.name)) return ERROR_INVALID_PARAMETER;
  return modify_store([&](Document& doc) {
    const StoredValue* old = find_value(doc, key.path, value.name);
    if (old != nullptr && old->type == value.type && old->data == value.data) return false;
    put_value(doc, key.path, value);
    return true;
  });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  OpenKey key;
  if (!resolve_key(hKey, key)) return ERROR_INVALID_HANDLE;
  if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  Document doc = load_document();
  const StoredValue* value = find_value(doc, key.path, lpValueName == nullptr ? "" : lpValueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  std::size_t size = value->data.size() + (value->type == REG_SZ ? 1 : 0);
  if (lpType != nullptr) *lpType = value->type;
  if (lpData != nullptr && *lpcbData < size) {
    *lpcbData = static_cast<DWORD>(size);
    return ERROR_MORE_DATA;
  }
  if (lpData != nullptr) {
    std::memcpy(lpData, value->data.data(), value->data.size());
    if (value->type == REG_SZ) lpData[value->data.size()] = 0;
  }
  if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(size);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (is_current_user(hKey)) return ERROR_SUCCESS;
  return keys().take(handle_token(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
