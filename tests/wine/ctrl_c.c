/* Starts a console program, presses Ctrl-C on their shared console after a
 * while, the way a console user stops a program, and waits for it to end.
 *
 *   ctrl_c.exe MILLISECONDS PROGRAM [ARGUMENT...]
 *
 * The program shares a console with this one (a new one: under Wine a
 * program started from a shell holds a console that carries no events) and
 * gets this one's standard handles, so its output goes where this one's
 * goes. Exits with the program's exit status, or 100 when it had to be
 * killed because it did not end within 20 seconds of the event. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Appends one argument to a command line, quoted so that the C runtime
 * splits it back into the same argument. */
static void AppendArgument(char* line, size_t capacity, const char* argument) {
  size_t n = strlen(line);
  if (n > 0 && n + 1 < capacity) line[n++] = ' ';
  if (n + 1 < capacity) line[n++] = '"';
  for (const char* p = argument; *p != '\0'; ++p) {
    size_t backslashes = 0;
    while (p[backslashes] == '\\') ++backslashes;
    const char next = p[backslashes];
    size_t copies = (next == '"' || next == '\0') ? backslashes * 2 : backslashes;
    for (size_t i = 0; i < copies && n + 1 < capacity; ++i) line[n++] = '\\';
    p += backslashes;
    if (*p == '\0') break;
    if (*p == '"' && n + 1 < capacity) line[n++] = '\\';
    if (n + 1 < capacity) line[n++] = *p;
  }
  if (n + 1 < capacity) line[n++] = '"';
  line[n] = '\0';
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: ctrl_c MILLISECONDS PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  DWORD wait_ms = (DWORD)strtoul(argv[1], NULL, 10);
  static char line[8192];
  for (int i = 2; i < argc; ++i) AppendArgument(line, sizeof line, argv[i]);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  if (!AllocConsole()) {
    FreeConsole();
    AllocConsole();
  }
  PROCESS_INFORMATION process;
  if (!CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "ctrl_c: cannot start %s (%lu)\n", argv[2], GetLastError());
    return 3;
  }
  /* Ctrl-C reaches every process of the console; this one lets it pass.
   * (Only now: a child started afterwards would inherit the setting.) */
  SetConsoleCtrlHandler(NULL, TRUE);
  if (WaitForSingleObject(process.hProcess, wait_ms) == WAIT_TIMEOUT &&
      !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    fprintf(stderr, "ctrl_c: GenerateConsoleCtrlEvent failed (%lu)\n", GetLastError());
  }
  if (WaitForSingleObject(process.hProcess, 20000) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 100);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}
