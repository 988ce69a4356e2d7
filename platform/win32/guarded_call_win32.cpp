// RunGuarded on Windows: a structured exception handler around the body,
// with the meaning of __try { body } __except (EXCEPTION_EXECUTE_HANDLER).
//
// MinGW's g++ has no __try/__except, so the handler frame is built by hand.
// It is a frame-based handler, not a vectored one, on purpose: the system
// offers it an exception only when no frame inside the body handled it, so
// a compressor that raises and catches exceptions of its own keeps working,
// and the frames between the fault and the guard are unwound by the system
// (their termination handlers run) before execution resumes here. (Frames
// compiled by g++ run no destructors for a structured exception; that is
// g++'s rule, the same with or without this guard.)
//
// - x86_64: exception handling is table-driven. A small assembly routine
//   calls the body; its unwind information names GuardHandler as its
//   exception handler. The handler unwinds to that routine's frame with
//   RtlUnwindEx and resumes at the routine's fault exit.
// - i686: exception handling walks the chain of registration records that
//   starts at fs:[0]. RunGuarded pushes a record of its own for the time of
//   the call; the handler unwinds the inner records with RtlUnwind, removes
//   its own and jumps back into RunGuarded.
//
// C++ exceptions that leave the body are caught with catch (...). On x86_64
// g++ throws them as structured exceptions too; the handler lets those pass
// to the catch, which also frees the exception object.
#include "platform/guarded_call.h"

#include <windows.h>

namespace {

// Exception codes with which g++'s runtime throws and unwinds C++
// exceptions on x86_64 ("GCC" with a leading 0x20, 0x21, 0x22).
constexpr DWORD kGccThrow = 0x20474343;
constexpr DWORD kGccUnwind = 0x21474343;
constexpr DWORD kGccForcedUnwind = 0x22474343;

bool IsCxxExceptionOfOurs(DWORD code) {
  return code == kGccThrow || code == kGccUnwind || code == kGccForcedUnwind;
}

}  // namespace

#if defined(__x86_64__)

extern "C" {

// Calls body(context). Returns 1 when the body returned, 0 when a structured
// exception escaped it (GuardHandler then resumes at slotrec_guard_fault).
int slotrec_guard_call(void (*body)(void*), void* context);
void slotrec_guard_fault();

// The language handler of slotrec_guard_call's frame. Called by the system
// on the faulting thread, once while it looks for a handler (then it takes
// the exception and never returns) and again while frames are unwound.
EXCEPTION_DISPOSITION slotrec_guard_handler(EXCEPTION_RECORD* record, void* establisher_frame,
                                            CONTEXT* context, DISPATCHER_CONTEXT* dispatch);
}

// The frame: 40 bytes of stack keep rsp 16-byte aligned at the call and
// give the body its 32-byte home area. Both exits leave through the same
// epilogue; RtlUnwindEx restores rsp to the frame's value and rax to 0
// before it jumps to slotrec_guard_fault.
asm(R"(
    .text
    .p2align 4
    .globl slotrec_guard_call
    .def slotrec_guard_call; .scl 2; .type 32; .endef
    .seh_proc slotrec_guard_call
slotrec_guard_call:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl $1, %eax
    addq $40, %rsp
    ret
    .globl slotrec_guard_fault
slotrec_guard_fault:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_handler slotrec_guard_handler, @except
    .seh_endproc
)");

EXCEPTION_DISPOSITION slotrec_guard_handler(EXCEPTION_RECORD* record, void* establisher_frame,
                                            CONTEXT* /*context*/, DISPATCHER_CONTEXT* dispatch) {
  if (IS_UNWINDING(record->ExceptionFlags)) return ExceptionContinueSearch;
  if (IsCxxExceptionOfOurs(record->ExceptionCode)) return ExceptionContinueSearch;
  // Runs the unwind handlers of every frame inside ours, then continues at
  // the fault exit with our frame's registers. Does not return.
  RtlUnwindEx(establisher_frame, reinterpret_cast<void*>(&slotrec_guard_fault), record, nullptr,
              dispatch->ContextRecord, dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

bool RunGuarded(void (*body)(void* context), void* context) {
  try {
    return slotrec_guard_call(body, context) != 0;
  } catch (...) {
    return false;
  }
}

#elif defined(__i386__)

namespace {

// One registration record on RunGuarded's stack. The system sees only the
// first two words (Next, Handler); the resume point follows them.
struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD registration;
  void* resume[5];  // __builtin_setjmp buffer: frame, resume address, stack
};

// The thread's information block; fs:[0x18] holds its own linear address.
// (Read here rather than with NtCurrentTeb, whose segment intrinsic trips
// g++ 12's array-bounds check.)
NT_TIB* ThreadInformation() {
  NT_TIB* tib;
  asm("movl %%fs:0x18, %0" : "=r"(tib));
  return tib;
}

// Called by the system on the faulting thread with a pointer to our record.
// Takes every exception that reaches it; while frames are being unwound it
// only lets the unwinding pass.
extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record,
                                                      void* establisher_frame,
                                                      CONTEXT* /*context*/,
                                                      void* /*dispatcher_context*/) {
  if (IS_UNWINDING(record->ExceptionFlags)) return ExceptionContinueSearch;
  if (IsCxxExceptionOfOurs(record->ExceptionCode)) return ExceptionContinueSearch;
  auto* frame = static_cast<GuardFrame*>(establisher_frame);
  // Unwinds every record inside ours (their handlers run with the unwinding
  // flag) and returns with ours at the head of the chain.
  RtlUnwind(&frame->registration, nullptr, record, nullptr);
  ThreadInformation()->ExceptionList = frame->registration.Next;
  __builtin_longjmp(frame->resume, 1);
}

// The body inside a C++ catch-all; kept out of RunGuarded so that the
// function holding the resume point has no exception tables of its own.
__attribute__((noinline)) bool CallCatchingCxx(void (*body)(void*), void* context) {
  try {
    body(context);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool RunGuarded(void (*body)(void* context), void* context) {
  GuardFrame frame;
  if (__builtin_setjmp(frame.resume) != 0) return false;  // back from GuardHandler
  NT_TIB* tib = ThreadInformation();
  frame.registration.Next = tib->ExceptionList;
  frame.registration.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&GuardHandler);
  tib->ExceptionList = &frame.registration;
  bool returned = CallCatchingCxx(body, context);
  tib->ExceptionList = frame.registration.Next;
  return returned;
}

#else
#error "RunGuarded needs a handler frame for this processor"
#endif
