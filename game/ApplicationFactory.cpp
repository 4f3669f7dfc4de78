#include "game/ApplicationFactory.h"

#include <vector>

#include "app/KrAppViewportBase.h"
#include "app/KrListenerEndpoint.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrLogStreams.h"
#include "foundation/Strings.h"
#include "foundation/Version.h"
#include "game/BuiltInFiles.h"
#include "game/KrSpielApp.h"
#include "net/KrProtocol.h"

namespace kr {

namespace {

constexpr std::string_view kApplicationName = "innerappname";
constexpr std::string_view kListenerAddress = "127.0.0.1";

}  // namespace

std::string startBanner() {
    return joinParts("Fesko++ ", kApplicationVersion, " based on NuxelFrame ", kFrameworkVersion,
                     " release#: ", releaseNumber());
}

std::unique_ptr<KrNuxelApplication2> makeApplication(KrAppViewportBase* host, bool /*windowed*/) {
    outLine(startBanner());
    KrNuxelApplication2::Settings settings{
        {"startpath", "."},
        {"_app_context_commandurl", "/"},
        {"_baseDirectoryHTTP", "."},
    };
    std::vector<KrListenerEndpoint> endpoints;
    endpoints.emplace_back(std::string(kListenerAddress), 0, kProtocolHTTP);
    auto application = std::make_unique<KrSpielApp>(host != nullptr ? host->storage() : nullptr,
                                                    std::string(kApplicationName),
                                                    std::move(endpoints), std::move(settings));
    KrLogStreams::stream(1) << "going to run\n";
    outLine("App Constructed");
    return application;
}

std::unique_ptr<KrAppViewportBase> createViewport(int /*argumentCount*/, char** /*argumentVector*/,
                                                  bool /*windowed*/) {
    return std::make_unique<KrAppViewportBase>(
        std::string(kWindowedProgramName), std::string(kConsoleProgramName),
        [](KrAppViewportBase* host, bool windowed) { return makeApplication(host, windowed); },
        [](KrPersistentAppStorage& storage) { initStorage(storage); });
}

}  // namespace kr
