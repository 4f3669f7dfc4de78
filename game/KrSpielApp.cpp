#include "game/KrSpielApp.h"

#include <memory>
#include <utility>

#include "game/KrHTMLKontext_Game_Get.h"

KrSpielApp::KrSpielApp(KrPersistentAppStorage* storage, const std::string& /*applicationName*/,
                       std::vector<KrListenerEndpoint> endpoints, Settings settings)
    : KrNuxelApplication2(storage, std::move(endpoints), std::move(settings)) {}

KrSpielApp::~KrSpielApp() = default;

KrHTMLKontextN* KrSpielApp::createContext(const std::string& keyName) {
    return registerContext(std::make_unique<KrHTMLKontext_Game_Get>(this, makeSessionId(keyName),
                                                                    true, sharedSettings()));
}
