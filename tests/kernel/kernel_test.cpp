// The Linux kernel services behave as the Windows ones do where slotrec
// relies on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/kernel/kernel_internal.h"
#include "platform/platform.h"

namespace {

std::mutex g_events_lock;
std::condition_variable g_events_changed;
std::vector<DWORD> g_events;
std::atomic<bool> g_handler_on_main_thread{false};
pthread_t g_main_thread;

BOOL WINAPI RecordEvent(DWORD event) {
  if (pthread_equal(pthread_self(), g_main_thread)) g_handler_on_main_thread = true;
  std::lock_guard<std::mutex> lock(g_events_lock);
  g_events.push_back(event);
  g_events_changed.notify_all();
  return TRUE;
}

std::vector<DWORD> WaitForEvents(size_t count) {
  std::unique_lock<std::mutex> lock(g_events_lock);
  g_events_changed.wait_for(lock, std::chrono::seconds(5), [&] { return g_events.size() >= count; });
  return g_events;
}

TEST(ConsoleControl, SignalsArriveAsEventsOnTheHandlersOwnThread) {
  g_main_thread = pthread_self();
  ASSERT_TRUE(SetConsoleCtrlHandler(RecordEvent, TRUE));
  raise(SIGINT);
  raise(SIGHUP);
  raise(SIGTERM);
  raise(SIGQUIT);
  EXPECT_TRUE(slotrec_deliver_console_event(CTRL_LOGOFF_EVENT));
  std::vector<DWORD> expected{CTRL_C_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT,
                              CTRL_BREAK_EVENT, CTRL_LOGOFF_EVENT};
  EXPECT_EQ(WaitForEvents(5), expected);
  EXPECT_FALSE(g_handler_on_main_thread);
  ASSERT_TRUE(SetConsoleCtrlHandler(RecordEvent, FALSE));
  EXPECT_FALSE(slotrec_deliver_console_event(CTRL_LOGOFF_EVENT));
}

BOOL WINAPI Decline(DWORD) { return FALSE; }

// Runs one test of this program in a fresh process (no threads inherited)
// and returns its wait status.
int RunInChild(const char* test_name) {
  pid_t child = fork();
  if (child == 0) {
    std::string filter = std::string("--gtest_filter=") + test_name;
    setenv("SLOTREC_KERNEL_CHILD", "1", 1);
    execl("/proc/self/exe", "kernel_test", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

bool InChild() { return getenv("SLOTREC_KERNEL_CHILD") != nullptr; }

TEST(ConsoleControlChild, DeclinesSigterm) {
  if (!InChild()) GTEST_SKIP() << "runs in a child of AnUnhandledSignalTakesItsDefaultCourse";
  SetConsoleCtrlHandler(Decline, TRUE);
  raise(SIGTERM);
  sleep(5);
}

TEST(ConsoleControl, AnUnhandledSignalTakesItsDefaultCourse) {
  if (InChild()) GTEST_SKIP();
  int status = RunInChild("ConsoleControlChild.DeclinesSigterm");
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(PrioritiesChild, IdleClassMakesTheProcessNice) {
  if (!InChild()) GTEST_SKIP() << "runs in a child of IdleLevelsMakeTheThreadIdleAndTheProcessNice";
  ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS));
  EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 19);
}

bool IsClosed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// Writes to a pipe whose reader has gone; returns the write's errno (or 0).
// Without kProcessWriteErrors SIGPIPE ends the process here.
int WriteToAbandonedPipe() {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  close(fds[0]);
  errno = 0;
  const bool failed = write(fds[1], "x", 1) < 0;
  const int error = failed ? errno : 0;
  close(fds[1]);
  return error;
}

// The process has only what it asks for: nothing before the call, each item
// on its own after it. Runs in a child whose standard input it closes.
TEST(ProcessChild, PreparesOnlyWhatIsAskedFor) {
  if (!InChild()) GTEST_SKIP() << "runs in a child of StartUpIsWhatTheProgramAsksFor";
  ASSERT_EQ(close(0), 0);
  struct sigaction pipe_action {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &pipe_action), 0);
  EXPECT_EQ(pipe_action.sa_handler, SIG_DFL);
  EXPECT_EQ(prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), 0);

  PrepareProcess(kProcessWriteErrors);
  EXPECT_TRUE(IsClosed(0));
  EXPECT_EQ(WriteToAbandonedPipe(), EPIPE);
  EXPECT_EQ(prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), 0);

  PrepareProcess(kProcessStandardStreams);
  struct stat stdin_stat {}, null_stat {};
  ASSERT_EQ(fstat(0, &stdin_stat), 0);
  ASSERT_EQ(stat("/dev/null", &null_stat), 0);
  EXPECT_EQ(stdin_stat.st_rdev, null_stat.st_rdev);
  const int next = open("/dev/null", O_RDONLY);
  EXPECT_GT(next, 2);
  close(next);

  PrepareProcess(kProcessFlatMemory);
  EXPECT_EQ(prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), 1);
}

TEST(Process, StartUpIsWhatTheProgramAsksFor) {
  if (InChild()) GTEST_SKIP();
  int status = RunInChild("ProcessChild.PreparesOnlyWhatIsAskedFor");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Timer, SleepLastsAtLeastItsTimeAndTheTimerFollows) {
  DWORD before = timeGetTime();
  Sleep(30);
  DWORD elapsed = timeGetTime() - before;
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 5000u);
}

std::int64_t ClockMs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// In a time namespace whose boot clock is a day ahead of its monotonic
// clock, as after a day's suspend: the timer is the boot clock.
TEST(TimerChild, FollowsTheBootClock) {
  if (!InChild()) GTEST_SKIP() << "runs in a child of CountsTheTimeTheMachineSlept";
  const std::int64_t boot = ClockMs(CLOCK_BOOTTIME);
  const DWORD timer = timeGetTime();
  ASSERT_GE(boot - ClockMs(CLOCK_MONOTONIC), 86400000) << "the namespace's offset did not apply";
  EXPECT_LE(static_cast<DWORD>(timer - static_cast<DWORD>(boot)), 2u);
}

TEST(Timer, CountsTheTimeTheMachineSlept) {
  if (InChild()) GTEST_SKIP();
  pid_t child = fork();
  if (child == 0) {
    // Children made after this see the offsets written below.
    if (unshare(CLONE_NEWTIME) != 0) _exit(77);
    FILE* offsets = std::fopen("/proc/self/timens_offsets", "w");
    if (offsets == nullptr) _exit(77);
    std::fprintf(offsets, "boottime 86400 0\n");
    if (std::fclose(offsets) != 0) _exit(77);
    const int status = RunInChild("TimerChild.FollowsTheBootClock");
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "no time namespace here (needs root and Linux 5.6)";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Priorities, IdleLevelsMakeTheThreadIdleAndTheProcessNice) {
  if (InChild()) GTEST_SKIP();
  std::thread([] {
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE));
    EXPECT_EQ(sched_getscheduler(0), SCHED_IDLE);
  }).join();
  int status = RunInChild("PrioritiesChild.IdleClassMakesTheProcessNice");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(SetThreadPriority(reinterpret_cast<HANDLE>(1), THREAD_PRIORITY_IDLE));
}

TEST(GlobalMemory, ZeroFilledBlocksStayPutWhileLocked) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  ASSERT_NE(block, nullptr);
  auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
  ASSERT_NE(bytes, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(GlobalLock(block), bytes);
  EXPECT_EQ(GlobalFree(block), nullptr);
}

}  // namespace
