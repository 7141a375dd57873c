// comenum: reports the COM port database's size and the ports in use, and tests
// it by claiming the next free port number and releasing it at once.
#include <csignal>
#include <cstdio>

#include "run.h"

int main()
{
#ifdef SIGPIPE
    // A reader that goes away early must not kill the process: the exit
    // status stays 0 and the unwritable report is simply lost.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    return comenum_run(stdout, stdin);
}
