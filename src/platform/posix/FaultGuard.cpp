// Faults become a jump back into the guard: SIGSEGV, SIGBUS and SIGFPE raised
// inside a guarded call return there through siglongjmp. Outside a guard the
// signal goes to the handler that was installed before ours, so a host's own
// handling is untouched.
#include "platform/FaultGuard.h"

#include <csetjmp>
#include <csignal>
#include <mutex>

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

// Installs the handler at the first guarded call and takes it out again when
// the library is unloaded, unless someone has replaced it since.
class HandlerInstallation {
public:
    void EnsureInstalled() {
        std::call_once(m_once, [this] {
            struct sigaction action {};
            action.sa_sigaction = OnFault;
            action.sa_flags = SA_SIGINFO | SA_NODEFER;
            sigemptyset(&action.sa_mask);
            for (int i = 0; i < kSignalCount; ++i)
                sigaction(kFaultSignals[i], &action, &g_previous[i]);
            m_installed = true;
        });
    }

    ~HandlerInstallation() {
        if (!m_installed)
            return;
        for (int i = 0; i < kSignalCount; ++i) {
            struct sigaction current {};
            sigaction(kFaultSignals[i], nullptr, &current);
            if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == OnFault)
                sigaction(kFaultSignals[i], &g_previous[i], nullptr);
        }
    }

private:
    std::once_flag m_once;
    bool m_installed = false;
};

HandlerInstallation g_installation;

} // namespace

bool CallGuarded(void (*body)(void*), void* context) {
    g_installation.EnsureInstalled();
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
