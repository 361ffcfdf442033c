// SPDX-License-Identifier: MIT
// The fault guard of the 64-bit DLL. x64 has no exception list to link a
// frame into: a frame's handler comes from the unwind tables of its
// function. Of the ways to catch a processor fault, this one works the same
// on Windows and under wine64:
// - GCC's catch (...) sees C++ exceptions only; a fault passes it by (and
//   its tables cover calls, not every instruction that may fault).
// - A vectored exception handler runs before every frame's handler, so it
//   would also take the exceptions that a callee handles itself (a fault
//   that IsBadReadPtr expects, a C++ exception thrown and caught inside).
// - mingw-w64's __try1/__except1 unwind through GCC's frames with a foreign
//   exception, whose personality routine may end the process when the fault
//   lies outside a call site.
// So each guarded call runs the body inside a small frame of our own
// (RunInGuardFrame, below) whose unwind data names an exception handler.
// The system asks that handler only about an exception that every inner
// frame passed on, in its search for a handler; the handler then sends the
// thread to a function that jumps back into CallGuarded through the call's
// own jump buffer, and nothing is unwound: the frames in between are
// dropped, as on the 32-bit DLL. The handler does not jump itself but
// returns to the system, which must finish its dispatch. The frame keeps the
// guarded call's address, so the handler needs no thread-local state, and
// nothing is registered anywhere: a fault on a thread outside any guarded
// call goes on to the host's own handlers.
#include "platform/platform.h"
#include "platform/win32/RunCatchingExceptions.h"

namespace {

struct GuardedCall {
    void (*body)(void*);
    void* context;
    void* jump[5]; // __builtin_setjmp's buffer
};

bool RunBody(void* call) {
    auto* const guarded = static_cast<GuardedCall*>(call);
    return RunCatchingExceptions(guarded->body, guarded->context);
}

[[noreturn]] void ReturnFromFault(GuardedCall* call) { __builtin_longjmp(call->jump, 1); }

// Errors only (access violation, division by zero, stack overflow, an
// exception of another compiler's C++): C++ exceptions of this compiler and
// the system's informational exceptions go on to their own handlers.
bool IsError(DWORD code) { return (code & 0xC0000000u) == 0xC0000000u; }

// Where RunInGuardFrame keeps the guarded call, from its stack pointer
// after the prologue, which is the frame's establisher frame.
constexpr DWORD64 kCallSlot = 32;

} // namespace

// RunInGuardFrame(run, call) returns run(call); the unwind data of its frame
// names OnGuardFrameException as the exception handler.
extern "C" bool RunInGuardFrame(bool (*run)(void*), void* call);

extern "C" [[gnu::used]] EXCEPTION_DISPOSITION OnGuardFrameException(EXCEPTION_RECORD* exception,
                                                                     void* establisherFrame,
                                                                     CONTEXT* context, void*) {
    if ((exception->ExceptionFlags & EXCEPTION_UNWIND) || !IsError(exception->ExceptionCode))
        return ExceptionContinueSearch;
    const DWORD64 frame = reinterpret_cast<DWORD64>(establisherFrame);
    // ReturnFromFault runs on the stack of the frames it drops, just below
    // the guard frame, aligned as after a call, with room for its home area.
    context->Rcx = *reinterpret_cast<DWORD64*>(frame + kCallSlot);
    context->Rsp = ((frame - 64) & ~DWORD64{15}) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ReturnFromFault);
    return ExceptionContinueExecution;
}

// 40 bytes of frame: the callee's 32-byte home area and, at kCallSlot, the
// guarded call, leaving the stack aligned to 16 at the call. The nop keeps the
// return address inside the function, not on its epilogue.
__asm__(R"(
    .text
    .p2align 4
    .def RunInGuardFrame; .scl 2; .type 32; .endef
RunInGuardFrame:
    .seh_proc RunInGuardFrame
    .seh_handler OnGuardFrameException, @except
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rdx, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");

__attribute__((noinline)) bool CallGuarded(void (*body)(void*), void* context) {
    GuardedCall call{body, context, {}};
    if (__builtin_setjmp(call.jump) != 0)
        return false;
    return RunInGuardFrame(RunBody, &call);
}
