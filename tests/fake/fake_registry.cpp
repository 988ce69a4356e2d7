// The fake's registry: keys and DWORD values in memory, with failures per key
// or value.
#include <cstring>

#include "tests/fake/fake_internal.h"

using namespace fake_internal;

namespace {

struct FakeHandleKey {
  std::string path;
};

std::string KeyPathOf(HKEY key) {
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  return reinterpret_cast<FakeHandleKey*>(key)->path;
}

}  // namespace

namespace fake {

void FailKeyCreate(const std::string& path, LONG code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.key_failures[path] = code;
}

void FailValueSet(const std::string& value_name, LONG code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.value_failures[value_name] = code;
}

void SetRegistryDword(const std::string& key_path, const std::string& name, DWORD value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.registry[key_path][name] = value;
}

bool RegistryDword(const std::string& key_path, const std::string& name, DWORD* value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto key = g_state.registry.find(key_path);
  if (key == g_state.registry.end()) return false;
  auto v = key->second.find(name);
  if (v == key->second.end()) return false;
  *value = v->second;
  return true;
}

bool RegistryKeyExists(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.registry.count(key_path) != 0;
}

}  // namespace fake

// The settings key is created for writing only: no class, a key that is kept
// on disk, write access, no security attributes. Anything else is refused.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (Reserved != 0 || lpClass != nullptr || dwOptions != REG_OPTION_NON_VOLATILE ||
      samDesired != KEY_WRITE || lpSecurityAttributes != nullptr) {
    RefuseLocked("RegCreateKeyExA: reserved " + std::to_string(Reserved) + ", class " +
                 (lpClass != nullptr ? "\"" + std::string(lpClass) + "\"" : "none") +
                 ", options " + std::to_string(dwOptions) + ", access " +
                 std::to_string(samDesired) + ", security " +
                 (lpSecurityAttributes != nullptr ? "given" : "none"));
    return ERROR_INVALID_PARAMETER;
  }
  std::string path = KeyPathOf(hKey) + "\\" + lpSubKey;
  auto failure = g_state.key_failures.find(path);
  if (failure != g_state.key_failures.end()) return failure->second;
  bool existed = g_state.registry.count(path) != 0;
  g_state.registry[path];
  *phkResult = reinterpret_cast<HKEY>(new FakeHandleKey{path});
  ++g_state.counted.open_registry_keys;
  if (lpdwDisposition) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string path = KeyPathOf(hKey) + "\\" + lpSubKey;
  if (g_state.registry.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  *phkResult = reinterpret_cast<HKEY>(new FakeHandleKey{path});
  ++g_state.counted.open_registry_keys;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto failure = g_state.value_failures.find(lpValueName);
  if (failure != g_state.value_failures.end()) return failure->second;
  if (dwType != REG_DWORD || cbData != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
  DWORD value;
  std::memcpy(&value, lpData, sizeof value);
  std::string path = KeyPathOf(hKey);
  g_state.registry[path][lpValueName] = value;
  g_state.counted.registry_writes.push_back(path + "\\" + lpValueName);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto& key = g_state.registry[KeyPathOf(hKey)];
  auto v = key.find(lpValueName);
  if (v == key.end()) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = REG_DWORD;
  if (lpData && lpcbData && *lpcbData >= sizeof(DWORD)) {
    std::memcpy(lpData, &v->second, sizeof(DWORD));
  }
  if (lpcbData) *lpcbData = sizeof(DWORD);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hKey == nullptr || hKey == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  delete reinterpret_cast<FakeHandleKey*>(hKey);
  --g_state.counted.open_registry_keys;
  return ERROR_SUCCESS;
}
