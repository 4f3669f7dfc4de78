#pragma once

#include <string>

class KrXHeader;
class KrXResponseHeader;

// What the request dispatch (KrTransceiverClient) needs of a session's page context: run the
// hook of the request's path, which writes the answer into the response. The application's
// page context implements it.
class KrCommandContext {
public:
    KrCommandContext(const KrCommandContext&) = delete;
    KrCommandContext& operator=(const KrCommandContext&) = delete;
    virtual ~KrCommandContext() = default;

    virtual void handleRequest(KrXHeader& request, KrXResponseHeader& response,
                               const std::string& command) = 0;

protected:
    KrCommandContext() = default;
};

// What the request dispatch needs of the application, its command and hook target. The
// application implements it; the dispatch never owns it. Every operation is called on the
// thread of the server that read the request, several servers at a time.
class KrCommandTarget {
public:
    KrCommandTarget(const KrCommandTarget&) = delete;
    KrCommandTarget& operator=(const KrCommandTarget&) = delete;
    virtual ~KrCommandTarget() = default;

    // Runs the request on the context of that session; an unknown session leaves the
    // response's status at 500.
    virtual void dispatchToContext(const std::string& sessionId, KrXHeader& request,
                                   KrXResponseHeader& response, const std::string& command) = 0;
    // A new session's context, made and registered under a new identifier built on keyName
    // ("nuxelid"); null when the application makes none. The application keeps it.
    virtual KrCommandContext* createContext(const std::string& keyName) = 0;
    virtual bool hasBuiltInFile(const std::string& name) = 0;
    // Writes the built-in file's content into the response with status 200.
    virtual bool serveBuiltInFile(const std::string& name, KrXHeader& response) = 0;

protected:
    KrCommandTarget() = default;
};
