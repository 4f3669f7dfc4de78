#include "frontend/console/KrNuxelCLAppAddOn.h"

#include "app/KrAppViewportBase.h"

KrNuxelCLAppAddOn::KrNuxelCLAppAddOn(KrAppViewportBase* host, int argumentCount,
                                     char** argumentVector, std::istream& input)
    : appName_(host->appName(true)), argumentVector_(argumentVector), host_(host), input_(input) {
    host_->setArguments(argumentCount, argumentVector_);
}

KrNuxelCLAppAddOn::~KrNuxelCLAppAddOn() = default;

bool KrNuxelCLAppAddOn::eventLoop() {
    // A stream that has ended or failed gives no more lines: reading on would spin, and
    // nobody could type "quit" any more.
    for (std::string line; std::getline(input_, line);) {
        if (line == kQuitLine) {
            break;
        }
    }
    quit_ = true;
    return true;
}

void KrNuxelCLAppAddOn::run() {
    host_->run(false);
    while (!quit_) {
        eventLoop();
    }
    host_->stop();
}
