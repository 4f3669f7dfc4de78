#include "app/KrNuxelApplication2.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/KrHTMLKontextN.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "foundation/Strings.h"
#include "http/KrTransceiverClient.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "http/KrXServerHeader.h"
#include "http/ServerLayers.h"
#include "jobs/KrJob.h"
#include "net/KrProtocol.h"
#include "net/KrTransceiver.h"
#include "platform/Random.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

constexpr std::string_view kStartPageType = "text/html";

// Built-in files of these kinds are text that may hold template keys.
bool isTemplateKind(std::uint32_t kind) { return kind == 1 || kind == 3; }

void tellWhereThePageIs(const std::string& address) {
    kr::outLine("\nplease, open document at ", address, "\n");
}

// Hands the address to the browser launcher; when it cannot, now or once the launcher has
// refused it, the user is told where the page is.
void openOrTellWhere(const KrBrowserLauncher& launcher, const std::string& address) {
    const auto toldOnRefusal = [address](bool opened) {
        if (!opened) {
            tellWhereThePageIs(address);
        }
    };
    if (!kr::openUrlInBrowser(launcher, address, kStartPageType, toldOnRefusal)) {
        tellWhereThePageIs(address);
    }
}

}  // namespace

KrNuxelApplication2::KrNuxelApplication2(KrPersistentAppStorage* storage,
                                         std::vector<KrListenerEndpoint> endpoints,
                                         Settings settings)
    : launcher_{&scheduler_},
      transceiverOwner_(kr::makeUniqueJob<KrTransceiver>(scheduler_)),
      transceiver_(transceiverOwner_.get()),
      storage_(storage),
      endpoints_(std::move(endpoints)),
      settings_(std::move(settings)) {
    kr::installServerLayers(*transceiver_);
}

KrNuxelApplication2::~KrNuxelApplication2() {
    shutdown();
    std::lock_guard lock(sessionMutex_);
    retired_.clear();
    // Deleted one by one in key order, each taken out of the registry first.
    while (!sessions_.empty()) {
        std::vector<std::string> ids;
        ids.reserve(sessions_.size());
        for (const auto& entry : sessions_) {
            ids.push_back(entry.first);
        }
        std::sort(ids.begin(), ids.end());
        for (const std::string& id : ids) {
            const auto entry = sessions_.find(id);
            if (entry == sessions_.end()) {
                continue;
            }
            const std::unique_ptr<KrHTMLKontextN> context = std::move(entry->second.context);
            registered_.erase(context.get());
            useOrder_.erase(entry->second.use);
            sessions_.erase(entry);
        }
    }
}

void KrNuxelApplication2::shutdown() {
    // A buffer job that waits for a CGI or PHP child would hold the hub's end up until the
    // child's time limit: the children go first.
    for (const KrListenerEndpoint& endpoint : endpoints_) {
        if (endpoint.client) {
            endpoint.client->stopChildren();
        }
    }
    // The hub's jobs report through onServerEvent until its destructor has stopped them;
    // they reach it through transceiver_, which stays set meanwhile.
    transceiverOwner_.reset();
}

void KrNuxelApplication2::start() {
    for (KrListenerEndpoint& endpoint : endpoints_) {
        auto client = kr::makeJob<KrTransceiverClient>(serverCallback(), settings_.copy(), this);
        transceiver_->addClient(client);
        endpoint.client = client;

        auto description = kr::makeJob<KrXServerHeader>(true, endpoint.kind);
        description->setParameter("tcp_port", std::to_string(endpoint.port));
        description->setParameter("tcp_address", endpoint.address);
        if (endpoint.kind == kr::kProtocolHTTPS) {
            description->setParameter(
                "cacertificate",
                kr::valueOrDefault(endpoint.parameters, "cacertificate", "cacert.pem"));
            description->setParameter(
                "privatekey", kr::valueOrDefault(endpoint.parameters, "privatekey", "privkey.pem"));
        }
        client->createServer(description);
    }
}

KrHTMLKontextN* KrNuxelApplication2::createContext(const std::string& /*keyName*/) {
    return nullptr;
}

// ---- sessions ----

KrHTMLKontextN* KrNuxelApplication2::registerContext(std::unique_ptr<KrHTMLKontextN> context) {
    if (context == nullptr) {
        return nullptr;
    }
    KrHTMLKontextN* const added = context.get();
    const std::string id = added->sessionId();
    std::lock_guard lock(sessionMutex_);
    discard(fileContext(id, std::move(context)));
    evictOverLimit(id);
    deleteRetired();
    return added;
}

std::string KrNuxelApplication2::makeSessionId(const std::string& prefix) {
    for (;;) {
        std::string id = prefix + drawSessionDigits();
        if (!hasContext(id)) {
            return id;
        }
    }
}

std::string KrNuxelApplication2::drawSessionDigits() {
    // Rejection keeps the digits uniform: 18 * 10^18 is the largest multiple of 10^18 that
    // 64 bits hold.
    constexpr std::uint64_t kRange = 1'000'000'000'000'000'000ULL;
    constexpr std::uint64_t kAccepted = 18 * kRange;
    std::uint64_t value = 0;
    do {
        if (!platform::fillRandom(&value, sizeof value).ok()) {
            throw KrException("the system's random source failed", 41011, "src");
        }
    } while (value >= kAccepted);
    char digits[kSessionDigits + 1];
    std::snprintf(digits, sizeof digits, "%018llu",
                  static_cast<unsigned long long>(value % kRange));
    return digits;
}

bool KrNuxelApplication2::hasContext(const std::string& sessionId) {
    std::lock_guard lock(sessionMutex_);
    return sessions_.contains(sessionId);
}

std::size_t KrNuxelApplication2::contextCount() {
    std::lock_guard lock(sessionMutex_);
    return sessions_.size();
}

void KrNuxelApplication2::setSessionLimit(std::size_t limit) {
    std::lock_guard lock(sessionMutex_);
    sessionLimit_ = limit;
}

void KrNuxelApplication2::dispatchToContext(const std::string& sessionId, KrXHeader& request,
                                            KrXResponseHeader& response,
                                            const std::string& command) {
    std::lock_guard lock(sessionMutex_);
    const auto found = sessions_.find(sessionId);
    if (found != sessions_.end() && found->second.context != nullptr) {
        touch(found->second);
        // The context takes over a successor its hook named (adoptNextContext); one that the
        // switch replaced goes once no hook of it runs any more.
        try {
            found->second.context->handleRequest(request, response, command);
        } catch (...) {
            deleteRetired();
            throw;
        }
    }
    adoptNextContext(sessionId, response);
    deleteRetired();
}

void KrNuxelApplication2::adoptNextContext(const std::string& sessionId,
                                           KrXResponseHeader& response) {
    std::lock_guard lock(sessionMutex_);
    KrHTMLKontextN* const next = response.nextContext();
    const std::string nextSession = response.nextContextSession();
    if (next == nullptr) {
        return;
    }
    response.setNextContext("", nullptr);
    if (isRegistered(next)) {
        return;
    }
    std::unique_ptr<KrHTMLKontextN> owned(next);
    if (nextSession != sessionId) {
        // The registry stays as it is, and a context nobody can reach is not kept.
        discard(std::move(owned));
        return;
    }
    discard(fileContext(sessionId, std::move(owned)));
}

std::unique_ptr<KrHTMLKontextN> KrNuxelApplication2::fileContext(
    const std::string& sessionId, std::unique_ptr<KrHTMLKontextN> context) {
    const auto [entry, opened] = sessions_.try_emplace(sessionId);
    Session& session = entry->second;
    if (opened) {
        session.use = useOrder_.insert(useOrder_.end(), Use{&entry->first, &session});
    } else {
        touch(session);
    }
    if (context != nullptr) {
        registered_.insert(context.get());
    }
    std::unique_ptr<KrHTMLKontextN> replaced = std::exchange(session.context, std::move(context));
    registered_.erase(replaced.get());
    return replaced;
}

bool KrNuxelApplication2::isRegistered(const KrHTMLKontextN* context) const {
    return registered_.contains(context);
}

void KrNuxelApplication2::touch(Session& session) {
    useOrder_.splice(useOrder_.end(), useOrder_, session.use);
}

void KrNuxelApplication2::evictOverLimit(const std::string& keep) {
    while (sessions_.size() > sessionLimit_) {
        const auto oldest = std::find_if(useOrder_.begin(), useOrder_.end(), [&](const Use& use) {
            const KrHTMLKontextN* context = use.session->context.get();
            return *use.id != keep && (context == nullptr || context->isEvictable());
        });
        if (oldest == useOrder_.end()) {
            return;  // every other session is busy: over the limit until one can go
        }
        const auto entry = sessions_.find(*oldest->id);
        std::unique_ptr<KrHTMLKontextN> evicted = std::move(entry->second.context);
        registered_.erase(evicted.get());
        useOrder_.erase(oldest);
        sessions_.erase(entry);
        discard(std::move(evicted));
    }
}

void KrNuxelApplication2::discard(std::unique_ptr<KrHTMLKontextN> context) {
    if (context != nullptr && context->isRunning()) {
        retired_.push_back(std::move(context));
    }
}

void KrNuxelApplication2::deleteRetired() {
    std::erase_if(retired_, [](const std::unique_ptr<KrHTMLKontextN>& context) {
        return !context->isRunning();
    });
}

// ---- built-in files ----

bool KrNuxelApplication2::hasBuiltInFile(const std::string& name) {
    return storage_ != nullptr && storage_->builtInFiles().contains(name);
}

bool KrNuxelApplication2::serveBuiltInFile(const std::string& name, KrXHeader& response) {
    std::string content;
    if (storage_ != nullptr) {
        const auto& files = storage_->builtInFiles();
        const auto found = files.find(name);
        if (found != files.end()) {
            content = found->second.contentString();
            if (isTemplateKind(found->second.kind())) {
                storage_->expandTemplate(content, "");
            }
        }
    }
    response.writeAnswer(content);
    return true;
}

// ---- status events and the browser ----

KrServerStatusCallback KrNuxelApplication2::serverCallback() {
    return [this](KrServerCallback_t& event) { return onServerEvent(event); };
}

bool KrNuxelApplication2::onServerEvent(KrServerCallback_t& event) {
    transceiver_->printLog(event);
    if (event.state != KrServerCallback_t::kListening) {
        return true;
    }
    const std::string address = kr::valueOrDefault(event.values, "address", "");
    const std::string port = kr::valueOrDefault(event.values, "port", "");
    const std::string protocol = kr::valueOrDefault(event.values, "protocolstring", "");
    std::string commandUrl = settings_.value(std::string(KrTransceiverClient::kCommandUrlSetting));
    if (commandUrl.empty()) {
        commandUrl = "/";
    }
    // The address first: whoever waits for the port finds the address beside it.
    if (protocol == "http") {
        settings_.set("tcp_address_http", address);
        settings_.set("tcp_port_http", port);
    } else if (protocol == "https") {
        settings_.set("tcp_address_https", address);
        settings_.set("tcp_port_https", port);
    }
    if (settings_.value("no_browser_popup").empty() && protocol == "http" && !address.empty() &&
        !port.empty()) {
        const std::string startPage = protocol + "://" + address + ":" + port + commandUrl;
        openOrTellWhere(launcher_, startPage);
    }
    return true;
}

void KrNuxelApplication2::openInBrowser(const std::string& host, std::uint32_t port,
                                        const std::string& scheme) {
    std::string useHost = host;
    std::uint32_t usePort = port;
    if (useHost.empty() && usePort == 0 && !endpoints_.empty()) {
        useHost = endpoints_.front().address;
        usePort = endpoints_.front().port;
    }
    const std::string address = scheme + "://" + useHost + ":" + std::to_string(usePort);
    openOrTellWhere(launcher_, address);
}

// ---- accessors ----

KrPersistentAppStorage* KrNuxelApplication2::storage() { return storage_; }
KrTransceiver& KrNuxelApplication2::transceiver() { return *transceiver_; }
KrRarediScheduler2& KrNuxelApplication2::scheduler() { return scheduler_; }
KrNuxelApplication2::Settings KrNuxelApplication2::settings() { return settings_.copy(); }
