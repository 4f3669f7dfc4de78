#include "http/KrBrowserLauncher.h"

#include <memory>
#include <utility>

#include "jobs/KrRarediScheduler2.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"

namespace kr {

bool openUrlInBrowser(const KrBrowserLauncher& launcher, std::string_view address,
                      std::string_view mimeType) {
    if (mimeType != kBrowserMimeType || launcher.scheduler == nullptr) {
        return false;
    }
    if (!platform::findProgram(kBrowserLauncherProgram).ok()) {
        return false;
    }
    KrRarediJobDescriptor descriptor;
    descriptor.name = kBrowserJobName;
    launcher.scheduler->submitJob(
        [address = std::string(address)](std::unique_ptr<KrRarediJobParametersAndResult> record) {
            openInBrowser(address);
            return record;
        },
        nullptr, std::move(descriptor));
    return true;
}

void openInBrowser(const std::string& address) { shellOpenUrl(address); }

bool shellOpenUrl(const std::string& address) {
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
    // The child is not waited for: dropping its owner hands it to the background reaper.
    return platform::ChildProcess::spawn(options).ok();
}

}  // namespace kr
