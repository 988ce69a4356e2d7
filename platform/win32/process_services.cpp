// slotrec's own platform services on Windows.
#include "platform/platform.h"

// Windows' AVIFile library completes its files itself and reports nothing.
DWORD IncompleteAviFiles() { return 0; }

void DescribeScreenCapture(BOOL, BOOL) {}

// FlushFileBuffers needs a handle with write access; backup semantics let
// the same call open a directory, which NTFS flushes too.
void FlushToDisk(LPCSTR path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(file);
  CloseHandle(file);
}

// A handle on the directory with the right to add files, sharing only
// reading: another hold (which asks for the same right) is refused with a
// sharing violation, while entering the directory, listing it and making
// files in it still work. FILE_FLAG_BACKUP_SEMANTICS is what opens a
// directory.
HANDLE HoldDirectory(LPCSTR directory) {
  HANDLE handle = CreateFileA(directory, FILE_ADD_FILE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void ReleaseDirectoryHold(HANDLE hold) {
  if (hold != nullptr) CloseHandle(hold);
}
