// The fault guard of the 64-bit DLL. x64 has no exception list to link a
// frame into: a frame's handler comes from the unwind tables of its
// function. Of the ways to catch a processor fault, this one works the same
// on Windows and under wine64:
// - GCC's catch (...) sees C++ exceptions only; a fault passes it by (and
//   its tables cover calls, not every instruction that may fault).
// - A handler in our own unwind data (mingw-w64's __try1/__except1, or
//   .seh_handler in assembly) would unwind through GCC's frames with a
//   foreign exception, whose personality routine may end the process when
//   the fault lies outside a call site.
// - A vectored exception handler runs before any frame's handler and needs
//   no unwind data. It sends the faulting thread to a function that jumps
//   back into CallGuarded through the thread's own jump buffer; the frames
//   in between are dropped, as on the 32-bit DLL. The handler does not jump
//   itself but returns to the system, which must finish its dispatch (it
//   keeps a count on every registered handler while calling it).
// Each guarded call registers the handler and removes it again, so nothing
// of the library stays registered once the DLL is unloaded, and a fault on
// a thread outside any guarded call goes on to the host's own handlers.
#include "platform/platform.h"
#include "platform/win32/RunCatchingExceptions.h"

namespace {

struct GuardFrame {
    GuardFrame* outer;
    void* jump[5]; // __builtin_setjmp's buffer
};

// The innermost guarded call of this thread.
thread_local GuardFrame* t_innermost = nullptr;

[[noreturn]] void ReturnFromFault() { __builtin_longjmp(t_innermost->jump, 1); }

// Errors only (access violation, division by zero, stack overflow, an
// exception of another compiler's C++): C++ exceptions of this compiler and
// the system's informational exceptions go on to their own handlers.
bool IsError(DWORD code) { return (code & 0xC0000000u) == 0xC0000000u; }

LONG CALLBACK OnFault(EXCEPTION_POINTERS* exception) {
    if (!t_innermost || !IsError(exception->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    // ReturnFromFault starts below the faulting frame's stack, aligned as
    // after a call, with room for its home area.
    CONTEXT* const context = exception->ContextRecord;
    context->Rsp = ((context->Rsp - 256) & ~DWORD64{15}) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ReturnFromFault);
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

__attribute__((noinline)) bool CallGuarded(void (*body)(void*), void* context) {
    GuardFrame frame;
    frame.outer = t_innermost;
    void* const handler = AddVectoredExceptionHandler(1, OnFault);
    if (__builtin_setjmp(frame.jump) != 0) {
        t_innermost = frame.outer;
        RemoveVectoredExceptionHandler(handler);
        return false;
    }
    t_innermost = &frame;
    const bool completed = RunCatchingExceptions(body, context);
    t_innermost = frame.outer;
    RemoveVectoredExceptionHandler(handler);
    return completed;
}
