#pragma once

#include <string>
#include <vector>

#include "app/KrListenerEndpoint.h"
#include "app/KrNuxelApplication2.h"

class KrPersistentAppStorage;

// The game's application: the framework's application in which every new browser session
// starts with the GET game page.
class KrSpielApp : public KrNuxelApplication2 {
public:
    // The storage is not owned; the application name is not kept.
    KrSpielApp(KrPersistentAppStorage* storage, const std::string& applicationName,
               std::vector<KrListenerEndpoint> endpoints, Settings settings);
    ~KrSpielApp() override;

    // A new GET game page under a new identifier built on keyName ("nuxelid"), registered,
    // reading the application's own settings.
    KrHTMLKontextN* createContext(const std::string& keyName) override;
};
