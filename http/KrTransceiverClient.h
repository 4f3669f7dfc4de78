#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

#include "http/KrWinPipeExec.h"
#include "net/ByteBudget.h"
#include "net/KrRequestHandler.h"
#include "net/KrServerCallback_t.h"

namespace kr {
struct ServableFile;
}

class KrCommandTarget;
class KrTransceiver;
class KrXHeader;
class KrXResponseHeader;
class KrXServerHeader;

// The request handler of the protocol servers: it takes every complete message a server
// layer read and answers it through the hub. An HTTP request goes, in this order, to an
// application command (a session's context, or a new session on the command URL), then,
// when a base directory is set, to the index files of "/", the application's built-in
// files, a program under "cgi-bin/", a ".php" script or a static file, and last to the 404
// page. A NUXEL request always gets an empty 404.
//
// A path from a request reaches the file system only when it holds no ".." segment and no
// NUL byte, and only a regular file whose resolved path lies under the base directory, and
// whose own path there is of a kind the request's path may reach (kr::pathKindOf), is
// served or run. CGI programs and PHP scripts run as child processes, each with an
// environment of its own, never through a shell, and each within a time limit: one that
// runs past it is killed with everything it started and answered with status 500.
//
// handleMessage runs on the job of the server that read the request (for what it answers at
// once, possibly the hub's receive job); several servers may call it at once.
class KrTransceiverClient : public KrRequestHandler {
public:
    using Settings = std::map<std::string, std::string>;
    using Variables = KrWinPipeExec::Variables;

    // Settings read at construction.
    static constexpr std::string_view kBaseDirectorySetting = "_baseDirectoryHTTP";
    static constexpr std::string_view kCommandUrlSetting = "_app_context_commandurl";
    static constexpr std::string_view kPhpProgramSetting = "_phpbinname";
    static constexpr std::string_view kDefaultPhpProgram = "php-cgi";

    static constexpr std::string_view kSessionParameter = "nuxelid";
    static constexpr std::string_view kCommandParameter = "nuxelcommand";
    // The command a new session's first request is handled with.
    static constexpr std::string_view kNewSessionCommand = "&new";

    // The marks of the names in the table of names.
    static constexpr int kServedServer = 1;
    static constexpr int kSentMessage = 2;

    // callback: handed to the hub with every server made and every answer sent.
    // application: the command and hook target, not owned; null answers no command and
    // holds no built-in file.
    KrTransceiverClient(KrServerStatusCallback callback, const Settings& settings,
                        KrCommandTarget* application);
    ~KrTransceiverClient() override;

    // ---- the hub's side ----

    bool attachSender(KrTransceiver* hub) override;
    void detachSender(KrTransceiver* hub) override;
    // A complete message from the server named serverName. A message of a server this
    // client does not serve is taken and dropped. Requests of protocol 9 are taken
    // unanswered, 3 and 4 answered as HTTP, 6 with an empty 404; answers of 3, 4, 6 and 9
    // are taken (3 and 4 marked received). Anything else is not taken.
    bool handleMessage(const std::string& serverName,
                       const std::shared_ptr<KrTransceiverMessage>& message) override;
    // True for an HTTP GET without a query or a body that no application command takes and
    // that names no program, script or index (which may be a script): a static or built-in
    // file, or the 404 page.
    bool answersAtOnce(const KrTransceiverMessage& message) const override;
    // A type-6 message naming a task ("ctask") ends the subscription to that task.
    bool onMessage(const KrJobMessage& message) override;

    // ---- the application's side ----

    // Builds the server of the description through the attached hub and keeps its name
    // (the description's id) as one this client serves; "" without a hub.
    std::string createServer(const std::shared_ptr<KrXServerHeader>& description);
    // Hands a request of this client's own to the hub under a reply name registered for
    // it. The hub's result, which is kept as a sent message's name; "" without a message or
    // a hub.
    std::string send(const std::shared_ptr<KrXHeader>& message);

    // ---- the steps of the dispatch ----

    // The application command path of protocols 3 and 4: true when an answer went out.
    virtual bool handleCommand(const std::string& serverName, KrXHeader& request);

    // Run a "cgi-bin/" program, or the PHP program for a script, with the request's CGI
    // variables, its body on standard input, and the output as the answer's body behind
    // the answer's head. True when an answer went out; false for a path that names no
    // regular file or a method other than GET and POST.
    bool runCgi(const std::string& programPath, const std::string& serverName, KrXHeader& request);
    bool runPhp(const std::string& scriptPath, const std::string& serverName, KrXHeader& request);

    // Adds the request's CGI variables to the map: "HTTP_" + the upper-cased name of every
    // header field, and the method's variables. False for a method other than GET and POST.
    static bool cgiEnvironment(Variables& variables, const KrXHeader& request);

    // How long a CGI or PHP child may run (KrWinPipeExec::kDefaultTimeLimit unless set).
    void setChildTimeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds childTimeLimit() const;
    // Stops every child that runs now and every one that would start later: the server is
    // going away. Their requests are answered with status 500.
    void stopChildren();

    const std::string& baseDirectory() const { return baseDirectory_; }
    const std::string& commandUrl() const { return commandUrl_; }
    const std::string& phpProgram() const { return phpProgram_; }

private:
    bool serveHttp(const std::string& serverName, KrXHeader& request);
    bool serveFile(const std::string& serverName, KrXHeader& request);
    bool serveIndex(const std::string& serverName, KrXHeader& request);
    // Opens the file for the request and answers with it; false when there is no file to
    // send (the caller's 404 page follows). Without room for it in the hub's connection
    // limit, or without a descriptor or the memory to open it, a 503 answers instead.
    bool serveStaticFile(const KrXHeader& request, std::string_view relative);
    // A place in the hub's connection limit for a file to open; empty without room.
    kr::ByteBudget::Reservation reserveFileDescriptor();
    // A file that is there but cannot be opened now (no room in the limit, no descriptor or
    // memory left) is no missing one: answered with the 503 page. False, for the 404 page,
    // when the path names no file to send.
    bool answerUnavailable(const KrXHeader& request, std::string_view relative);
    void sendNotFoundPage(const KrXHeader& request);
    void sendUnavailablePage(const KrXHeader& request);
    // An error page with the status, the title and the body's markup, and the link home.
    void sendErrorPage(const KrXHeader& request, std::int64_t status, std::string_view title,
                       std::string_view bodyMarkup);
    void sendEmptyNotFound(const KrXHeader& request);
    bool runChild(const std::string& command, const std::string& path, KrXHeader& request);
    // Hands the answer to the hub with the request's connection name as the reply name;
    // false when no hub is attached.
    bool sendAnswer(const KrXHeader& request, const std::shared_ptr<KrXResponseHeader>& answer);
    bool serves(const std::string& serverName) const;
    void addName(const std::string& name, int mark);

    const KrServerStatusCallback callback_;
    KrCommandTarget* const application_;
    const std::string baseDirectory_;
    const std::string commandUrl_;
    const std::string phpProgram_;

    // Guards sender_ and is held for every hand-over to the hub, so this client's answers
    // go out one at a time. The hub's locks and namesMutex_ are taken under it. Recursive:
    // the status callback runs under it and may reach this client again.
    std::recursive_mutex sendMutex_;
    KrTransceiver* sender_ = nullptr;

    std::atomic<std::chrono::milliseconds::rep> childTimeLimit_{
        KrWinPipeExec::kDefaultTimeLimit.count()};
    std::stop_source childrenStop_;

    // Guards names_; nothing is locked under it.
    mutable std::mutex namesMutex_;
    std::map<std::string, int> names_;  // server and message names with their marks
};
