#pragma once

#include <iostream>
#include <string>
#include <string_view>

class KrAppViewportBase;

// The console program's front end: it runs the host, reads lines from standard input on
// the calling thread until the line "quit", and stops the host. The application serves the
// browser on threads of its own meanwhile.
class KrNuxelCLAppAddOn {
public:
    // The line that ends the program, compared exactly.
    static constexpr std::string_view kQuitLine = "quit";

    // Hands the host the program's argument vector. The host is not owned and must outlive
    // the front end; so must the input, which is standard input but for tests.
    KrNuxelCLAppAddOn(KrAppViewportBase* host, int argumentCount, char** argumentVector,
                      std::istream& input = std::cin);
    virtual ~KrNuxelCLAppAddOn();

    KrNuxelCLAppAddOn(const KrNuxelCLAppAddOn&) = delete;
    KrNuxelCLAppAddOn& operator=(const KrNuxelCLAppAddOn&) = delete;

    // Reads lines until one is exactly "quit" or no more can come (end of input, or a read
    // that fails), then sets the quit flag. Other lines are read and ignored.
    virtual bool eventLoop();
    virtual void beforeRun() {}
    // The host's run (false), the event loop until the quit flag is set, the host's stop.
    virtual void run();
    virtual void afterRun() {}

private:
    std::string appName_;  // the host's first program name (kept, not used further)
    char** argumentVector_;
    KrAppViewportBase* host_;
    bool quit_ = false;
    std::istream& input_;
};
