// slotrec's own platform services on Windows.
#include "platform/platform.h"

// Windows' AVIFile library completes its files itself and reports nothing.
DWORD IncompleteAviFiles() { return 0; }

// A handle on the directory that shares nothing: no other process can open
// it meanwhile (FILE_FLAG_BACKUP_SEMANTICS is what opens a directory).
HANDLE HoldDirectory(LPCSTR directory) {
  HANDLE handle = CreateFileA(directory, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void ReleaseDirectoryHold(HANDLE hold) {
  if (hold != nullptr) CloseHandle(hold);
}
