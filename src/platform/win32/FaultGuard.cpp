// SPDX-License-Identifier: MIT
// A processor fault on Windows is a structured exception, which this
// compiler's DWARF-2 C++ exceptions never see. So each guarded call links an
// i386 SEH frame of its own into the thread's exception list: its handler
// unwinds the frames above it and jumps back into CallGuarded, which takes
// the frame out of the list again. C++ exceptions are caught inside that
// frame by an ordinary catch-all.
#include "platform/platform.h"
#include "platform/win32/RunCatchingExceptions.h"

namespace {

// The system reads only the registration record, which must come first; the
// jump buffer rides along so that the handler finds its way back.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record;
    void* jump[5]; // __builtin_setjmp's buffer
};

// The thread's information block through its self pointer at fs:[0x18],
// which is what NtCurrentTeb reads; the header's inline form of it trips
// GCC 12's array-bounds warning.
NT_TIB* ThreadInformation() {
    NT_TIB* self;
    __asm__("movl %%fs:0x18, %0" : "=r"(self));
    return self;
}

EXCEPTION_DISPOSITION NTAPI OnFault(EXCEPTION_RECORD* exception, void* establisherFrame, CONTEXT*,
                                    void*) {
    if (exception->ExceptionFlags & EXCEPTION_UNWIND)
        return ExceptionContinueSearch;
    // Kept in memory: RtlUnwind need not preserve the registers.
    GuardFrame* volatile frame = static_cast<GuardFrame*>(establisherFrame);
    // Lets every frame above ours clean up and leaves ours at the head of
    // the list.
    RtlUnwind(establisherFrame, nullptr, exception, nullptr);
    __builtin_longjmp(frame->jump, 1);
}

} // namespace

__attribute__((noinline)) bool CallGuarded(void (*body)(void*), void* context) {
    GuardFrame frame;
    frame.record.Next = ThreadInformation()->ExceptionList;
    frame.record.Handler = OnFault;
    if (__builtin_setjmp(frame.jump) != 0) {
        ThreadInformation()->ExceptionList = frame.record.Next;
        return false;
    }
    ThreadInformation()->ExceptionList = &frame.record;
    const bool completed = RunCatchingExceptions(body, context);
    ThreadInformation()->ExceptionList = frame.record.Next;
    return completed;
}
