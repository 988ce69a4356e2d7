// The Windows RunGuarded, run under Wine: which faults it takes, that
// handlers inside the body keep their exceptions, and that it stays usable
// after faults, also on several threads at once.
// Prints one line per failed check and exits 1 if any failed.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/guarded_call.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::printf("FAILED: %s\n", what);
  ++g_failures;
}

// Not constants, so the compiler keeps every faulting access.
volatile ULONG_PTR g_bad_address = 16;
volatile int g_zero = 0;

void WriteBadPointer(void*) { *reinterpret_cast<volatile int*>(g_bad_address) = 1; }
void ReadBadPointer(void* out) {
  *static_cast<int*>(out) = *reinterpret_cast<volatile int*>(g_bad_address);
}
void DivideByZero(void* out) { *static_cast<int*>(out) = 7 / g_zero; }
void IllegalInstruction(void*) { __builtin_trap(); }
void RaiseOwnCode(void*) { RaiseException(0xE0000001, 0, 0, nullptr); }
void ThrowRuntimeError(void*) { throw std::runtime_error("thrown in the body"); }
void ThrowBadAlloc(void*) { throw std::bad_alloc(); }
void Increment(void* counter) { ++*static_cast<int*>(counter); }

// Counts destructions: of an object alive in the body while a C++
// exception leaves it, and of the exception object itself.
struct Destructions {
  int local = 0;
  int thrown = 0;
};
struct CountsDestruction {
  int* count;
  ~CountsDestruction() { ++*count; }
};
void ThrowWithObjectAlive(void* context) {
  auto* destructions = static_cast<Destructions*>(context);
  CountsDestruction alive{&destructions->local};
  throw CountsDestruction{&destructions->thrown};
}

// A body that meets a fault and a C++ exception and handles both itself.
void HandlesItsOwn(void* result) {
  bool inner_fault_caught = !RunGuarded(WriteBadPointer, nullptr);
  bool inner_throw_caught = false;
  try {
    throw std::logic_error("handled inside");
  } catch (const std::logic_error&) {
    inner_throw_caught = true;
  }
  *static_cast<bool*>(result) = inner_fault_caught && inner_throw_caught;
}

// A body whose own guard takes a fault, after which the body faults itself:
// the inner guard must have left the outer one at the head of the chain.
void FaultsAfterInnerGuard(void* inner_caught) {
  int sink = 0;
  *static_cast<bool*>(inner_caught) = !RunGuarded(DivideByZero, &sink);
  WriteBadPointer(nullptr);
}

void FaultsAreTakenAndReported() {
  int counter = 0;
  Check(RunGuarded(Increment, &counter), "a body that returns gives true");
  Check(counter == 1, "the body ran once");
  int sink = 0;
  Check(!RunGuarded(WriteBadPointer, nullptr), "write access violation gives false");
  Check(!RunGuarded(ReadBadPointer, &sink), "read access violation gives false");
  Check(!RunGuarded(DivideByZero, &sink), "integer division by zero gives false");
  Check(!RunGuarded(IllegalInstruction, nullptr), "illegal instruction gives false");
  Check(!RunGuarded(RaiseOwnCode, nullptr), "a raised exception of any code gives false");
  Check(!RunGuarded(ThrowRuntimeError, nullptr), "a C++ exception gives false");
  Check(!RunGuarded(ThrowBadAlloc, nullptr), "std::bad_alloc gives false");
  Check(RunGuarded(Increment, &counter) && counter == 2, "the guard works after faults");
}

// A C++ exception leaves the body the C++ way: the body's objects are
// destroyed, and so is the exception object once it is caught.
void CxxExceptionsUnwindAndAreFreed() {
  Destructions destructions;
  Check(!RunGuarded(ThrowWithObjectAlive, &destructions), "a thrown object gives false");
  Check(destructions.local == 1, "the body's object was destroyed once");
  Check(destructions.thrown == 1, "the exception object was destroyed once");
}

void InnerHandlersKeepTheirExceptions() {
  bool handled = false;
  Check(RunGuarded(HandlesItsOwn, &handled), "a body that handles its own exceptions returns");
  Check(handled, "the inner guard and the inner catch saw their exceptions");
  bool inner_caught = false;
  Check(!RunGuarded(FaultsAfterInnerGuard, &inner_caught) && inner_caught,
        "a fault after an inner guard's fault reaches the outer guard");
}

// The same nesting, faults and C++ exceptions on a thread other than the
// main one, which has a handler chain of its own.
void NestedOnAnotherThread() {
  bool handled = false;
  bool nested = false;
  bool illegal = false;
  bool raised = false;
  bool thrown = false;
  std::thread thread([&] {
    bool returned = RunGuarded(HandlesItsOwn, &handled);
    handled = handled && returned;
    bool inner_caught = false;
    nested = !RunGuarded(FaultsAfterInnerGuard, &inner_caught) && inner_caught;
    illegal = !RunGuarded(IllegalInstruction, nullptr);
    raised = !RunGuarded(RaiseOwnCode, nullptr);
    thrown = !RunGuarded(ThrowRuntimeError, nullptr);
  });
  thread.join();
  Check(handled, "on a second thread: a body handles its own fault and throw");
  Check(nested, "on a second thread: a fault after an inner guard's fault reaches the outer one");
  Check(illegal && raised && thrown,
        "on a second thread: an illegal instruction, a raised code and a throw give false");
}

#if defined(__i386__)
// A handler frame of the body's own on the i686 chain, as a compressor's
// __try/__finally leaves one: when the guard takes a fault from deeper
// down, the system must call it once with the unwinding flag (that is when
// termination handlers run), and take it off the chain.
struct UnwindWitness {
  EXCEPTION_REGISTRATION_RECORD registration;
  int* unwound;
};

extern "C" EXCEPTION_DISPOSITION __cdecl WitnessHandler(EXCEPTION_RECORD* record, void* frame,
                                                        CONTEXT* /*context*/,
                                                        void* /*dispatcher_context*/) {
  if (IS_UNWINDING(record->ExceptionFlags)) ++*static_cast<UnwindWitness*>(frame)->unwound;
  return ExceptionContinueSearch;
}

NT_TIB* ThreadInformation() {
  NT_TIB* tib;
  asm volatile("movl %%fs:0x18, %0" : "=r"(tib));
  return tib;
}

void FaultUnderWitness(void* unwound) {
  UnwindWitness witness;
  witness.unwound = static_cast<int*>(unwound);
  NT_TIB* tib = ThreadInformation();
  witness.registration.Next = tib->ExceptionList;
  witness.registration.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&WitnessHandler);
  tib->ExceptionList = &witness.registration;
  asm volatile("" ::: "memory");
  WriteBadPointer(nullptr);
  asm volatile("" ::: "memory");
  tib->ExceptionList = witness.registration.Next;  // not reached
}

void InnerFramesAreUnwound() {
  int unwound = 0;
  EXCEPTION_REGISTRATION_RECORD* before = ThreadInformation()->ExceptionList;
  Check(!RunGuarded(FaultUnderWitness, &unwound), "a fault under the body's own handler frame");
  Check(unwound == 1, "the body's handler frame was unwound once");
  Check(ThreadInformation()->ExceptionList == before, "the handler chain is as it was before");
}
#else
void InnerFramesAreUnwound() {}
#endif

// Many faults in a row: the handler chain (i686) and the stack stay sound.
void RepeatedFaults() {
  int returned = 0;
  int faulted = 0;
  for (int i = 0; i < 500; ++i) {
    if (RunGuarded(i % 2 == 0 ? WriteBadPointer : DivideByZero, &returned)) continue;
    ++faulted;
  }
  Check(faulted == 500, "every one of 500 faults gave false");
  int counter = 0;
  Check(RunGuarded(Increment, &counter) && counter == 1, "the guard works after 500 faults");
}

// Threads fault and return in turn at the same time; each call must come
// back to its own thread's resume point with its own result.
void ThreadsKeepTheirOwnResumePoints() {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      int counter = 0;
      for (int i = 0; i < kRounds; ++i) {
        bool fault = (i + t) % 3 == 0;
        bool returned = RunGuarded(fault ? WriteBadPointer : Increment, &counter);
        if (returned == fault) ++wrong;
      }
      int expected = 0;
      for (int i = 0; i < kRounds; ++i) expected += (i + t) % 3 != 0;
      if (counter != expected) ++wrong;
    });
  }
  for (std::thread& thread : threads) thread.join();
  Check(wrong == 0, "every call on every thread gave its own result");
}

}  // namespace

int main() {
  FaultsAreTakenAndReported();
  CxxExceptionsUnwindAndAreFreed();
  InnerHandlersKeepTheirExceptions();
  NestedOnAnotherThread();
  InnerFramesAreUnwound();
  RepeatedFaults();
  ThreadsKeepTheirOwnResumePoints();
  std::printf("%s\n", g_failures == 0 ? "guard: all checks passed" : "guard: checks failed");
  return g_failures == 0 ? 0 : 1;
}
