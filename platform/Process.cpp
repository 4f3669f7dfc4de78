#include "platform/Process.h"

#include <signal.h>
#include <stdio.h>

namespace platform {

void ignoreBrokenPipeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void lineBufferStandardOutput() { ::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

}  // namespace platform
