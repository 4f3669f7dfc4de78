#include "http/KrTransceiverClient.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "foundation/Diagnostics.h"
#include "foundation/Strings.h"
#include "http/KrCommandTarget.h"
#include "http/KrHTML_ErrorMsg404.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "http/KrXServerHeader.h"
#include "http/RequestPath.h"
#include "jobs/KrIdGenerator.h"
#include "net/KrProtocol.h"
#include "net/KrTransceiver.h"
#include "platform/FileSystem.h"

namespace {

constexpr std::string_view kNotFoundTitle = "Error 404 - not found";
constexpr std::string_view kNotFoundBody =
    "<h1>Error 404 - not found</h1>The requested page was not found or the project was timed "
    "out.";
constexpr std::string_view kNotFoundLinkTarget = "/";
constexpr std::string_view kNotFoundLinkText = "Startseite";
// The page of a file that exists but cannot be sent now: no room for it in the connection
// limit, or no descriptor or memory to open it with.
constexpr std::string_view kUnavailableTitle = "Error 503 - service unavailable";
constexpr std::string_view kUnavailableBody =
    "<h1>Error 503 - service unavailable</h1>The server is busy. Please try again in a moment.";

constexpr std::string_view kIndexScript = "index.php";
constexpr std::string_view kIndexPage = "index.html";
constexpr std::string_view kDefaultContentType = "application/x-www-form-urlencoded";

bool isHttp(std::uint32_t protocol) {
    return protocol == kr::kProtocolHTTP || protocol == kr::kProtocolHTTPS;
}

// A header field that becomes no CGI variable: the first line's entry, a name that would
// cut the environment entry short, and "Proxy", whose variable HTTP_PROXY programs take as
// the proxy for their own outgoing requests.
bool isWithheldField(const std::string& name) {
    return name.empty() || name.front() == ':' || name.find('=') != std::string::npos ||
           name == "proxy";
}

}  // namespace

KrTransceiverClient::KrTransceiverClient(KrServerStatusCallback callback, const Settings& settings,
                                         KrCommandTarget* application)
    : callback_(std::move(callback)),
      application_(application),
      baseDirectory_(kr::valueOrDefault(settings, std::string(kBaseDirectorySetting), "")),
      commandUrl_(kr::valueOrDefault(settings, std::string(kCommandUrlSetting), "")),
      phpProgram_(
          kr::valueOrDefault(settings, std::string(kPhpProgramSetting), kDefaultPhpProgram)) {}

KrTransceiverClient::~KrTransceiverClient() = default;

// ---- the hub's side ----

bool KrTransceiverClient::attachSender(KrTransceiver* hub) {
    std::lock_guard lock(sendMutex_);
    if (sender_ != nullptr || hub == nullptr) {
        return false;
    }
    sender_ = hub;
    return true;
}

void KrTransceiverClient::detachSender(KrTransceiver* hub) {
    std::lock_guard lock(sendMutex_);
    if (sender_ == hub) {
        sender_ = nullptr;
    }
}

bool KrTransceiverClient::handleMessage(const std::string& serverName,
                                        const std::shared_ptr<KrTransceiverMessage>& message) {
    const auto header = std::dynamic_pointer_cast<KrXHeader>(message);
    if (!header) {
        return false;
    }
    if (!serves(serverName)) {
        return true;
    }
    const std::uint32_t protocol = header->protocol();
    switch (header->messageKind()) {
        case KrXHeader::kRequest:
            if (protocol == kr::kProtocolSocket) {
                return true;  // raw data is not answered
            }
            if (isHttp(protocol)) {
                return serveHttp(serverName, *header);
            }
            if (protocol == kr::kProtocolNUXEL) {
                if (!handleCommand(serverName, *header)) {
                    sendEmptyNotFound(*header);
                }
                return true;
            }
            return false;
        case KrXHeader::kAnswer:
            if (isHttp(protocol)) {
                header->setAnswerReceived(true);
                return true;
            }
            return protocol == kr::kProtocolNUXEL || protocol == kr::kProtocolSocket;
        default: return false;
    }
}

bool KrTransceiverClient::answersAtOnce(const KrTransceiverMessage& message) const {
    const auto* request = dynamic_cast<const KrXHeader*>(&message);
    if (request == nullptr || request->messageKind() != KrXHeader::kRequest ||
        !isHttp(request->protocol()) || request->methodCode() != KrXHeader::kMethodGet ||
        request->declaredLength() != 0) {
        return false;
    }
    // Parameters, and so a session or a command, come only with a query or a body.
    if (application_ != nullptr && (!request->query().empty() || request->path() == commandUrl_)) {
        return false;
    }
    const std::optional<std::string> form = kr::requestPathForm(request->path());
    if (!form) {
        return true;  // the 404 page
    }
    if (*form == "/") {
        return false;  // the index, which may be a script
    }
    const kr::PathKind kind = kr::pathKindOf(form->substr(1));
    return kind != kr::PathKind::cgiProgram && kind != kr::PathKind::phpScript;
}

bool KrTransceiverClient::onMessage(const KrJobMessage& message) {
    if (message.type == KrJobMessage::kPartnerLeft) {
        const auto task = message.parameters.find(std::string(KrJobMessage::kTaskParameter));
        if (task != message.parameters.end()) {
            unsubscribe(task->second);
        }
    }
    return true;
}

// ---- the application's side ----

std::string KrTransceiverClient::createServer(const std::shared_ptr<KrXServerHeader>& description) {
    std::lock_guard lock(sendMutex_);
    if (!description || sender_ == nullptr) {
        return "";
    }
    // The server may take its first request before the hub returns: its name must be
    // known by then.
    const std::string expected = description->descriptionId();
    addName(expected, kServedServer);
    std::string name = sender_->createServer(this, description, callback_);
    if (name != expected) {
        std::lock_guard names(namesMutex_);
        names_.erase(expected);
    }
    if (!name.empty()) {
        addName(name, kServedServer);
    }
    return name;
}

std::string KrTransceiverClient::send(const std::shared_ptr<KrXHeader>& message) {
    std::lock_guard lock(sendMutex_);
    if (!message || sender_ == nullptr) {
        return "";
    }
    const std::string replyName = registerJob("send_" + message->id());
    message->subscribe(replyName);
    std::string result = sender_->sendMessage(this, message, callback_, replyName);
    if (!result.empty() && result != kr::commonErrorName()) {
        addName(result, kSentMessage);
    }
    return result;
}

// ---- the request path ----

bool KrTransceiverClient::serveHttp(const std::string& serverName, KrXHeader& request) {
    if (handleCommand(serverName, request)) {
        return true;
    }
    if (!baseDirectory_.empty() && serveFile(serverName, request)) {
        return true;
    }
    sendNotFoundPage(request);
    return true;
}

bool KrTransceiverClient::handleCommand(const std::string& /*serverName*/, KrXHeader& request) {
    if (!isHttp(request.protocol()) || application_ == nullptr) {
        return false;
    }
    (void)request.parseBody();
    std::string sessionId;
    request.getParameter(std::string(kSessionParameter), sessionId);

    std::shared_ptr<KrXResponseHeader> answer;
    if (!sessionId.empty()) {
        std::string command;
        request.getParameter(std::string(kCommandParameter), command);
        answer = request.createAnswer();
        application_->dispatchToContext(sessionId, request, *answer, command);
    } else if (!commandUrl_.empty() && request.path() == commandUrl_) {
        KrCommandContext* context = application_->createContext(std::string(kSessionParameter));
        if (context == nullptr) {
            return false;  // no session was made: the request goes on to the files
        }
        answer = request.createAnswer();
        context->handleRequest(request, *answer, std::string(kNewSessionCommand));
    } else {
        return false;
    }
    // A command that left the status alone did not answer.
    if (answer->status() == KrXHeader::kInitialStatus) {
        return false;
    }
    return sendAnswer(request, answer);
}

bool KrTransceiverClient::serveFile(const std::string& serverName, KrXHeader& request) {
    if (request.messageKind() != KrXHeader::kRequest) {
        return false;
    }
    // Every rule below sees the path in its one form, however the request spelled it
    // ("//.env", "/./cgi-bin/x"); a path without one is refused (the 404 page follows).
    // Commands and page hooks above match the path as it came: they name no file.
    const std::optional<std::string> form = kr::requestPathForm(request.path());
    if (!form) {
        return false;
    }
    if (*form == "/") {
        return serveIndex(serverName, request);
    }
    const std::string relative = form->substr(1);
    const kr::PathKind kind = kr::pathKindOf(relative);
    if (kind == kr::PathKind::hidden) {
        return false;
    }

    if (application_ != nullptr && application_->hasBuiltInFile(relative)) {
        const auto answer = request.createAnswer();
        if (!application_->serveBuiltInFile(relative, *answer)) {
            return false;
        }
        answer->setState(KrXHeader::kStateAnswerReady);
        sendAnswer(request, answer);
        return true;
    }

    // Whatever lies under the CGI directory is run, never sent as it is, and so is a script;
    // the file functions hold the file a link leads to to the same rules.
    std::string file;
    switch (kind) {
        case kr::PathKind::cgiProgram:
            return kr::findServableFile(baseDirectory_, relative, file) &&
                   runCgi(file, serverName, request);
        case kr::PathKind::phpScript:
            return kr::findServableFile(baseDirectory_, relative, file) &&
                   runPhp(file, serverName, request);
        case kr::PathKind::plain:
        case kr::PathKind::hidden: break;
    }
    return serveStaticFile(request, relative);
}

bool KrTransceiverClient::serveIndex(const std::string& serverName, KrXHeader& request) {
    std::string file;
    if (kr::findServableFile(baseDirectory_, kIndexScript, file)) {
        return runPhp(file, serverName, request);
    }
    return serveStaticFile(request, kIndexPage);
}

bool KrTransceiverClient::serveStaticFile(const KrXHeader& request, std::string_view relative) {
    // The place in the limit is held before the file is opened, so that no request can
    // bring the process to its descriptor limit.
    kr::ByteBudget::Reservation descriptor = reserveFileDescriptor();
    if (!descriptor) {
        return answerUnavailable(request, relative);
    }
    auto file = kr::openServableFile(baseDirectory_, relative);
    if (!file.ok()) {
        return platform::lacksResources(file.error) && answerUnavailable(request, relative);
    }
    file.value.descriptor = std::move(descriptor);
    // The answer carries the file that passed the checks, open: it is sent from that
    // descriptor, never opened again by name, which may stand for another file by then.
    // No content type: the head carries the status line, the server and the length only.
    const auto answer = request.createAnswer();
    answer->setFile(std::move(file.value));
    answer->setStatus(200);
    answer->setState(KrXHeader::kStateAnswerReady);
    sendAnswer(request, answer);
    return true;
}

void KrTransceiverClient::sendNotFoundPage(const KrXHeader& request) {
    sendErrorPage(request, 404, kNotFoundTitle, kNotFoundBody);
}

bool KrTransceiverClient::answerUnavailable(const KrXHeader& request, std::string_view relative) {
    // Finding out whether the file is there costs no descriptor.
    std::string named;
    if (!kr::findServableFile(baseDirectory_, relative, named)) {
        return false;
    }
    sendUnavailablePage(request);
    return true;
}

void KrTransceiverClient::sendUnavailablePage(const KrXHeader& request) {
    sendErrorPage(request, 503, kUnavailableTitle, kUnavailableBody);
}

void KrTransceiverClient::sendErrorPage(const KrXHeader& request, std::int64_t status,
                                        std::string_view title, std::string_view bodyMarkup) {
    const auto answer = request.createAnswer();
    answer->setStatus(status);
    const KrHTML_ErrorMsg404 page(title, bodyMarkup, kNotFoundLinkTarget, kNotFoundLinkText);
    answer->body().write(page.toMarkupString());
    answer->setState(KrXHeader::kStateAnswerReady);
    sendAnswer(request, answer);
}

kr::ByteBudget::Reservation KrTransceiverClient::reserveFileDescriptor() {
    // Under the send lock, so that the hub is not detached meanwhile.
    std::lock_guard lock(sendMutex_);
    return sender_ != nullptr ? sender_->reserveDescriptor() : kr::ByteBudget::Reservation{};
}

void KrTransceiverClient::sendEmptyNotFound(const KrXHeader& request) {
    const auto answer = request.createAnswer();
    answer->setStatus(404);
    answer->setState(KrXHeader::kStateAnswerReady);
    sendAnswer(request, answer);
}

// ---- CGI and PHP ----

bool KrTransceiverClient::runCgi(const std::string& programPath, const std::string& /*serverName*/,
                                 KrXHeader& request) {
    return runChild(programPath, programPath, request);
}

bool KrTransceiverClient::runPhp(const std::string& scriptPath, const std::string& /*serverName*/,
                                 KrXHeader& request) {
    // The script reaches the PHP program through SCRIPT_FILENAME only.
    return runChild(phpProgram_, scriptPath, request);
}

bool KrTransceiverClient::runChild(const std::string& command, const std::string& path,
                                   KrXHeader& request) {
    const auto status = platform::fileStatus(path);
    if (!status.ok() || !status.value.isRegular) {
        return false;
    }
    Variables variables{{"REDIRECT_STATUS", "CGI"}, {"SCRIPT_FILENAME", path}};
    if (!cgiEnvironment(variables, request)) {
        return false;
    }
    const auto answer = request.createAnswer();
    KrWinPipeExec child(command);
    const auto ending = child.launch(variables, request.body(), answer->body(),
                                     {.time = childTimeLimit(), .stop = childrenStop_.get_token()});
    if (ending == KrWinPipeExec::Ending::kFinished) {
        // The child's own header block goes out behind the server's head; a status it
        // names is not read.
        answer->setStatus(200);
        answer->setCgi(true);
    } else {
        // A program that could not be started, or was stopped, answered nothing whole: the
        // server failed, and what output there is must not pass for the program's answer.
        (void)answer->takeBody();
        answer->setStatus(500);
    }
    if (ending == KrWinPipeExec::Ending::kTimedOut) {
        // The path comes from the request's target.
        kr::errLine("stopped ", kr::escapedText(command),
                    command == path ? "" : " running " + kr::escapedText(path),
                    ": still running after its time limit of ", childTimeLimit().count(), " ms");
    }
    answer->setState(KrXHeader::kStateAnswerReady);
    sendAnswer(request, answer);
    return true;
}

void KrTransceiverClient::setChildTimeLimit(std::chrono::milliseconds limit) {
    childTimeLimit_.store(limit.count());
}

std::chrono::milliseconds KrTransceiverClient::childTimeLimit() const {
    return std::chrono::milliseconds(childTimeLimit_.load());
}

void KrTransceiverClient::stopChildren() { childrenStop_.request_stop(); }

bool KrTransceiverClient::cgiEnvironment(Variables& variables, const KrXHeader& request) {
    for (const auto& [name, values] : request.headerMap()) {
        if (!isWithheldField(name) && !values.empty()) {
            variables["HTTP_" + kr::asciiUpper(name)] = values.front();
        }
    }
    switch (request.methodCode()) {
        case KrXHeader::kMethodGet:
            variables["REQUEST_METHOD"] = "GET";
            variables["QUERY_STRING"] = request.query();
            return true;
        case KrXHeader::kMethodPost: {
            variables["REQUEST_METHOD"] = "POST";
            const std::string type = request.headerValue("content-type");
            variables["CONTENT_TYPE"] =
                type.empty() ? std::string(kDefaultContentType) : kr::trimRight(type, "\r\n");
            if (std::string length = request.headerValue("content-length"); !length.empty()) {
                variables["CONTENT_LENGTH"] = std::move(length);
            }
            return true;
        }
        default: return false;
    }
}

// ---- sending and names ----

bool KrTransceiverClient::sendAnswer(const KrXHeader& request,
                                     const std::shared_ptr<KrXResponseHeader>& answer) {
    std::lock_guard lock(sendMutex_);
    if (sender_ == nullptr) {
        return false;
    }
    (void)sender_->sendMessage(this, answer, callback_, request.connectionName());
    return true;
}

bool KrTransceiverClient::serves(const std::string& serverName) const {
    std::lock_guard lock(namesMutex_);
    return names_.contains(serverName);
}

void KrTransceiverClient::addName(const std::string& name, int mark) {
    std::lock_guard lock(namesMutex_);
    names_[name] = mark;
}
