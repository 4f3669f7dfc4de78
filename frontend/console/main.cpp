// The console program Gridlo: the game's server, ended by the line "quit" on standard input
// (or by its end).
#include <memory>

#include "app/KrAppViewportBase.h"
#include "frontend/console/KrNuxelCLAppAddOn.h"
#include "game/ApplicationFactory.h"
#include "game/ProgramEntry.h"

int main(int argc, char** argv) {
    return kr::runProgram([argc, argv] {
        std::unique_ptr<KrAppViewportBase> host = kr::createViewport(argc, argv, false);
        if (host == nullptr) {
            return 0;
        }
        KrNuxelCLAppAddOn frontEnd(host.get(), argc, argv);
        frontEnd.beforeRun();
        frontEnd.run();
        frontEnd.afterRun();
        // The application, its page contexts and the storage go before the front end.
        host.reset();
        return 0;
    });
}
