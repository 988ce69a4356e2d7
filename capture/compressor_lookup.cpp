#include "capture/compressor_lookup.h"

#include <cstddef>
#include <string_view>

namespace {

constexpr std::u16string_view kWantedDescription = u"x264vfw";
constexpr std::size_t kDescriptionCapacity = 128;

constexpr const char* kSettingsKeyPath[] = {"Software", "GNU", "x264"};
constexpr const char* kEncodingTypeValue = "encoding_type";
constexpr DWORD kEncodingTypeLossless = 3;
constexpr const char* kLogLevelValue = "log_level";
constexpr DWORD kLogLevelNone = 0;

// A registry key closed once, when its owner goes.
struct OwnedKey {
  HKEY key = nullptr;
  OwnedKey() = default;
  OwnedKey(const OwnedKey&) = delete;
  OwnedKey& operator=(const OwnedKey&) = delete;
  ~OwnedKey() {
    if (key != nullptr) RegCloseKey(key);
  }
};

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

// Creates (or opens) each key of the path below the previous one; stops at
// the first that fails, and then writes nothing. A failed "encoding_type"
// leaves "log_level" unwritten as well.
void WriteCompressorSettings() {
  OwnedKey keys[3];
  HKEY parent = HKEY_CURRENT_USER;
  for (std::size_t i = 0; i < 3; ++i) {
    if (RegCreateKeyExA(parent, kSettingsKeyPath[i], 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &keys[i].key, nullptr) != ERROR_SUCCESS) {
      keys[i].key = nullptr;
      return;
    }
    parent = keys[i].key;
  }
  if (SetDword(parent, kEncodingTypeValue, kEncodingTypeLossless) != ERROR_SUCCESS) return;
  SetDword(parent, kLogLevelValue, kLogLevelNone);
}

}  // namespace

bool DescribesX264vfw(const WCHAR* description) {
  std::size_t length = 0;
  while (length < kDescriptionCapacity && description[length] != 0) ++length;
  std::u16string_view text(reinterpret_cast<const char16_t*>(description), length);
  return text.find(kWantedDescription) != std::u16string_view::npos;
}

ICINFO* FindCompressor(ICINFO* info) {
  bool found = false;
  for (DWORD index = 0; ICInfo(ICTYPE_VIDEO, index, info); ++index) {
    // A compressor that fails to open leaves the record as ICInfo filled it.
    HIC compressor = ICOpen(ICTYPE_VIDEO, info->fccHandler, ICMODE_QUERY);
    ICGetInfo(compressor, info, sizeof(ICINFO));
    ICClose(compressor);
    if (DescribesX264vfw(info->szDescription)) {
      found = true;
      break;
    }
  }
  WriteCompressorSettings();
  return found ? info : nullptr;
}
