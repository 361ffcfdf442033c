// SPDX-License-Identifier: MIT
// Faults become a jump back into the guard: a SIGSEGV, SIGBUS or SIGFPE that
// the processor raises inside a guarded call returns there through
// siglongjmp. Every other delivery of these signals (a fault outside a guard,
// a signal sent with kill or raise, even inside a guard) goes to the
// disposition found when the handler was installed, as if the library were
// not there. The handler runs on the thread's alternate stack when the
// disposition it replaced asked for one (a host's stack overflow handler),
// or was the default: a handler that did not ask for it may need more stack
// than a language runtime's small alternate stack holds.
#include "platform/FaultGuard.h"
#include "platform/posix/FaultHandler.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cxxabi.h>
#include <pthread.h>

namespace {

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE};
constexpr int kSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

struct GuardScope {
    sigjmp_buf jump;
};

// initial-exec: reading it in a signal handler must not allocate.
__thread GuardScope* t_guard __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction g_previous[kSignalCount];
// Set when a previous one-shot handler (SA_RESETHAND) has been called: from
// then on the previous disposition is the default, as the kernel would have
// made it. Only the saved disposition changes; ours stays installed. A
// lock-free flag, so that the handler may test and set it.
std::atomic<bool> g_previousSpent[kSignalCount];

// The kernel's own faults carry a positive code (SEGV_MAPERR, FPE_INTDIV,
// SI_KERNEL ...); kill, raise, tgkill and sigqueue give SI_USER, SI_TKILL or
// SI_QUEUE, all of them zero or less.
bool IsSynchronousFault(const siginfo_t* info) { return info && info->si_code > 0; }

bool IsHandler(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) ||
           (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
}

// Our handler's stack: the one the replaced disposition's own handler would
// have run on; the alternate stack for the default and ignore dispositions.
int StackFlagReplacing(const struct sigaction& replaced) {
    return IsHandler(replaced) ? (replaced.sa_flags & SA_ONSTACK) : SA_ONSTACK;
}

void SetDefault(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

// Calls a handler as the kernel would have: its mask, and the signal itself
// unless SA_NODEFER, blocked around the call. The stack it runs on is the
// kernel's choice, made with the previous disposition's SA_ONSTACK when ours
// was entered.
void CallPrevious(const struct sigaction& previous, int signal, siginfo_t* info, void* context) {
    sigset_t blocked = previous.sa_mask;
    if (!(previous.sa_flags & SA_NODEFER))
        sigaddset(&blocked, signal);
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    if (previous.sa_flags & SA_SIGINFO)
        previous.sa_sigaction(signal, info, context);
    else
        previous.sa_handler(signal);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// The default action, or the kernel's for an ignored fault, which it never
// lets pass: a fault runs its instruction again and ends the process there;
// a sent signal is raised again and gets the default action once unblocked.
void TakeDefault(int signal, const siginfo_t* info) {
    SetDefault(signal);
    if (!IsSynchronousFault(info))
        raise(signal);
}

void PassOn(int signal, siginfo_t* info, void* context) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kFaultSignals[i] != signal)
            continue;
        const struct sigaction& previous = g_previous[i];
        // A one-shot handler runs once: the first delivery spends it, and
        // the default action takes every later one.
        const bool handler = IsHandler(previous);
        const bool spent =
            handler && (previous.sa_flags & SA_RESETHAND) && g_previousSpent[i].exchange(true);
        if (handler && !spent)
            CallPrevious(previous, signal, info, context);
        else if (spent || previous.sa_handler == SIG_DFL || IsSynchronousFault(info))
            TakeDefault(signal, info);
        // Otherwise a sent signal that the host ignores: nothing happens.
        return;
    }
}

void OnFault(int signal, siginfo_t* info, void* context) {
    GuardScope* const guard = t_guard;
    if (guard && IsSynchronousFault(info))
        siglongjmp(guard->jump, 1);
    PassOn(signal, info, context);
}

// The handler's state lives in plain globals that are never destroyed, so
// that it follows the library's load and unload, not the order in which
// static objects go: installed at the first guarded call, taken out by
// RemoveFaultHandler after the last guarded call of the detach.
enum InstallState : int { kNotInstalled, kInstalled, kRemoved };
std::atomic<int> g_state{kNotInstalled};
pthread_mutex_t g_installLock = PTHREAD_MUTEX_INITIALIZER;

void EnsureInstalled() {
    if (g_state.load(std::memory_order_acquire) != kNotInstalled)
        return;
    pthread_mutex_lock(&g_installLock);
    if (g_state.load(std::memory_order_relaxed) == kNotInstalled) {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < kSignalCount; ++i) {
            struct sigaction found {};
            sigaction(kFaultSignals[i], nullptr, &found);
            // SA_NODEFER: the signal stays unblocked in our handler, so that
            // CallPrevious blocks exactly what the previous handler asked for.
            action.sa_flags = SA_SIGINFO | SA_NODEFER | StackFlagReplacing(found);
            sigaction(kFaultSignals[i], &action, &g_previous[i]);
        }
        g_state.store(kInstalled, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_installLock);
}

} // namespace

// A forced unwind is no C++ object: its handler's reference is bound to
// nothing (and never used), which the undefined-behaviour sanitizer's null
// check would report.
__attribute__((no_sanitize("null"))) bool CallGuarded(void (*body)(void*), void* context) {
    EnsureInstalled();
    GuardScope scope;
    GuardScope* const outer = t_guard;
    if (sigsetjmp(scope.jump, 1) != 0) {
        t_guard = outer;
        return false;
    }
    t_guard = &scope;
    try {
        body(context);
    } catch (abi::__forced_unwind&) {
        // A thread's exit or cancellation unwinds through the body: it must
        // go on to the thread's start.
        t_guard = outer;
        throw;
    } catch (...) {
        t_guard = outer;
        return false;
    }
    t_guard = outer;
    return true;
}

// Puts back the handlers found at the installation (the default for a
// one-shot one that has run), unless someone has replaced ours since. A
// later guarded call does not install it again: once the library is
// detached nothing of it may stay in the host's signal table.
// A parent's thread that was installing the handler at the fork is not in
// the child: the child's unload must not wait for it.
void ResetFaultHandlerLockInForkedChild() { pthread_mutex_init(&g_installLock, nullptr); }

void RemoveFaultHandler() {
    pthread_mutex_lock(&g_installLock);
    if (g_state.load(std::memory_order_relaxed) == kInstalled) {
        for (int i = 0; i < kSignalCount; ++i) {
            struct sigaction current {};
            sigaction(kFaultSignals[i], nullptr, &current);
            if (!(current.sa_flags & SA_SIGINFO) || current.sa_sigaction != OnFault)
                continue;
            if (g_previousSpent[i].load())
                SetDefault(kFaultSignals[i]);
            else
                sigaction(kFaultSignals[i], &g_previous[i], nullptr);
        }
    }
    g_state.store(kRemoved, std::memory_order_release);
    pthread_mutex_unlock(&g_installLock);
}
