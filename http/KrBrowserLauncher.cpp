#include "http/KrBrowserLauncher.h"

#include <memory>
#include <utility>

#include "jobs/KrRarediScheduler2.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Poll.h"

namespace kr {

bool openUrlInBrowser(const KrBrowserLauncher& launcher, std::string_view address,
                      std::string_view mimeType, BrowserLaunchOutcome outcome) {
    if (mimeType != kBrowserMimeType || launcher.scheduler == nullptr) {
        return false;
    }
    if (!platform::findProgram(kBrowserLauncherProgram).ok()) {
        return false;
    }
    // The scheduler's stop reaches the waiting job through the event: the program does not
    // wait for a browser that stays in the foreground before it can end.
    const auto stop = std::make_shared<platform::WakeEvent>(platform::WakeEvent::open().value);
    KrRarediJobDescriptor descriptor;
    descriptor.name = kBrowserJobName;
    descriptor.stop = [stop] { stop->signal(); };
    launcher.scheduler->submitJob(
        [address = std::string(address), wait = launcher.wait, stop,
         outcome = std::move(outcome)](std::unique_ptr<KrRarediJobParametersAndResult> record) {
            openInBrowser(address, wait, stop.get(), outcome);
            return record;
        },
        nullptr, std::move(descriptor));
    return true;
}

void openInBrowser(const std::string& address, std::chrono::milliseconds wait,
                   const platform::WakeEvent* stop, const BrowserLaunchOutcome& outcome) {
    const bool opened = shellOpenUrl(address, wait, stop);
    if (outcome) {
        outcome(opened);
    }
}

bool shellOpenUrl(const std::string& address, std::chrono::milliseconds wait,
                  const platform::WakeEvent* stop) {
    const auto program = platform::findProgram(kBrowserLauncherProgram);
    if (!program.ok()) {
        return false;
    }
    platform::SpawnOptions options;
    options.program = program.value;
    options.arguments = {address};
    options.environment = platform::environmentSnapshot();
    options.input = platform::ChildStream::null();
    options.output = platform::ChildStream::null();
    options.error = platform::ChildStream::null();
    options.session = platform::Session::New;
    auto launcher = platform::ChildProcess::spawn(options);
    if (!launcher.ok()) {
        return false;
    }
    const auto exit = launcher.value.waitFor(wait, stop);
    // No exit status yet: the launcher runs on (it may be the browser itself), and dropping
    // its owner hands it to the background reaper.
    return !exit.ok() || !exit.value.has_value() || exit.value->exitCode == 0;
}

}  // namespace kr
