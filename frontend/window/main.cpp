// The windowed program XGridlo: the game's server with a small window, ended by the key
// "q", the menu's "Beenden" or closing the window.
#include <memory>

#include "app/KrAppViewportBase.h"
#include "frontend/window/KrNuxelXAppAddOn.h"
#include "game/ApplicationFactory.h"
#include "game/ProgramEntry.h"

int main(int argc, char** argv) {
    return kr::runProgram([argc, argv] {
        std::unique_ptr<KrAppViewportBase> host = kr::createViewport(argc, argv, true);
        if (host == nullptr) {
            return 0;
        }
        KrNuxelXAppAddOn frontEnd(host.get());
        frontEnd.beforeRun();
        frontEnd.run();
        frontEnd.afterRun();
        // The application, its page contexts and the storage go before the front end.
        host.reset();
        return frontEnd.exitCode();
    });
}
