// winstub-queries: the helper that asks file systems that may not answer
// for libwinstub (linux_slow_queries.h). The library starts it with the
// number of its end of a socket pair as the one argument; it answers there
// until the library's end closes.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "linux_slow_queries.h"
#include "linux_probes.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        return 2;
    }
    char *end = nullptr;
    const long socket = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || socket < 0 || socket > INT_MAX) {
        return 2;
    }
    // The application's signal settings came along: its mask (all blocked
    // while it started this program) and what it ignores.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        signal(signal_number, SIG_DFL);
    }
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    winstub::this_machine::ReleaseInherited(static_cast<int>(socket));
    winstub::this_machine::ServeQuestions(static_cast<int>(socket), winstub::this_machine::QueryPath);
    // Threads that still wait on a file system end with the process, or,
    // in an uninterruptible wait, when that file system answers.
    _exit(0);
}
