// Faults become a jump back into the guard: SIGSEGV, SIGBUS and SIGFPE raised
// inside a guarded call return there through siglongjmp. Outside a guard the
// signal goes to the handler that was installed before ours, so a host's own
// handling is untouched.
#include "platform/FaultGuard.h"
#include "platform/posix/FaultHandler.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
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

void OnFault(int signal, siginfo_t* info, void* context) {
    if (GuardScope* guard = t_guard)
        siglongjmp(guard->jump, 1);
    for (int i = 0; i < kSignalCount; ++i) {
        if (kFaultSignals[i] != signal)
            continue;
        const struct sigaction& previous = g_previous[i];
        if (previous.sa_flags & SA_SIGINFO) {
            previous.sa_sigaction(signal, info, context);
        } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            previous.sa_handler(signal);
        } else {
            // Back to the default action; the faulting instruction runs again
            // and ends the process as it would have without us.
            struct sigaction fallback {};
            fallback.sa_handler = SIG_DFL;
            sigemptyset(&fallback.sa_mask);
            sigaction(signal, &fallback, nullptr);
        }
        return;
    }
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
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < kSignalCount; ++i)
            sigaction(kFaultSignals[i], &action, &g_previous[i]);
        g_state.store(kInstalled, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_installLock);
}

} // namespace

bool CallGuarded(void (*body)(void*), void* context) {
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
    } catch (...) {
        t_guard = outer;
        return false;
    }
    t_guard = outer;
    return true;
}

// Puts back the handlers found at the installation, unless someone has
// replaced ours since. A later guarded call does not install it again: once
// the library is detached nothing of it may stay in the host's signal table.
void RemoveFaultHandler() {
    pthread_mutex_lock(&g_installLock);
    if (g_state.load(std::memory_order_relaxed) == kInstalled) {
        for (int i = 0; i < kSignalCount; ++i) {
            struct sigaction current {};
            sigaction(kFaultSignals[i], nullptr, &current);
            if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == OnFault)
                sigaction(kFaultSignals[i], &g_previous[i], nullptr);
        }
    }
    g_state.store(kRemoved, std::memory_order_release);
    pthread_mutex_unlock(&g_installLock);
}
