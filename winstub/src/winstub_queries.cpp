// winstub-queries: the helper that asks file systems that may not answer
// for libwinstub (linux_slow_queries.h). The library starts it with the
// abstract name of its listening socket as the one argument; it connects
// there and answers until the library's end closes.
#include <signal.h>
#include <unistd.h>

#include "linux_slow_queries.h"
#include "linux_probes.h"

int main(int argc, char **argv) {
    if (argc != 2) {
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

    const bool served = winstub::this_machine::ServeQuestions(argv[1], winstub::this_machine::QueryPathUnder);
    // Threads that still wait on a file system end with the process, or,
    // in an uninterruptible wait, when that file system answers.
    _exit(served ? 0 : 1);
}
