// Runs a program as a child process for a test, the way a user would start
// it: chosen argv, working directory and extra environment variables,
// standard input from /dev/null, standard output and standard error captured
// separately. It can send a signal once the child has printed a given text,
// and it kills a child that overruns its time limit.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

struct ChildCommand {
  // Path of the program (searched in PATH when it contains no '/').
  std::string program;
  // The argv the child sees, argv[0] included; empty means {program}. Lets a
  // test give a short or unusual program name.
  std::vector<std::string> argv;
  // Directory to start in; empty means the caller's.
  std::string working_directory;
  // "NAME=value" entries added to the caller's environment (replacing a
  // variable of the same name); "NAME" alone removes it.
  std::vector<std::string> environment;
  // When not empty: once standard output contains this text, the child is
  // given signal_grace_ms to end by itself and then sent signal_number.
  std::string signal_when_stdout_has;
  int signal_number = SIGINT;
  int signal_grace_ms = 0;
  // After this long in all the child is killed (SIGKILL) and timed_out set.
  int timeout_ms = 60000;

  // How the child starts, for fault tests: standard descriptors it finds
  // closed (0, 1, 2), a file size limit in bytes (RLIMIT_FSIZE; negative:
  // none), and signals it finds ignored (as under nohup).
  std::vector<int> closed_descriptors;
  long long file_size_limit = -1;
  std::vector<int> ignored_signals;
  // Called on a thread of its own with the child's pid once it runs; it may
  // signal the child (stop, continue, interrupt). RunChild waits for it to
  // return before it returns.
  std::function<void(pid_t)> while_running;
};

struct ChildResult {
  bool started = false;
  std::string start_error;  // why the child could not be started
  bool exited = false;      // ended by exit(); exit_status holds the status
  int exit_status = -1;
  bool signaled = false;    // ended by a signal; term_signal holds it
  int term_signal = 0;
  bool signal_sent = false;  // signal_number was sent after the text appeared
  bool timed_out = false;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error, byte for byte
};

// Runs the child to its end (or to the time limit) and reports how it ended.
// Blocks the calling thread; safe to call from several threads at once.
ChildResult RunChild(const ChildCommand& command);

// A new empty directory under the system's temporary directory, and its
// removal with everything in it. For tests that need a fresh working
// directory.
std::string MakeTempDirectory(const std::string& prefix);
void RemoveTree(const std::string& path);
