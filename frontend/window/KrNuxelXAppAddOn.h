#pragma once

#include <array>
#include <memory>
#include <string>

class KrAppViewportBase;
class KrXAppWindow;

// The windowed program's front end: it shows the program's window, runs the host, runs the
// window's event loop on the calling thread until the user quits (the key "q", "Beenden",
// or closing the window), and stops the host. The application serves the browser on
// threads of its own meanwhile.
class KrNuxelXAppAddOn {
public:
    // Opens the window and hands the host a one-entry argument vector: the program's
    // title. Throws KrException "can't initialise instance" when there is no X server or
    // the window cannot be made. The host is not owned and must outlive the front end.
    explicit KrNuxelXAppAddOn(KrAppViewportBase* host);
    virtual ~KrNuxelXAppAddOn();

    KrNuxelXAppAddOn(const KrNuxelXAppAddOn&) = delete;
    KrNuxelXAppAddOn& operator=(const KrNuxelXAppAddOn&) = delete;

    // The event loop: returns true once it has ended, with the quit flag set.
    virtual bool pumpMessages();
    virtual void beforeRun() {}
    // The host's run (true), the event loop until the quit flag is set, the host's stop.
    virtual void run();
    virtual void afterRun() {}
    // The code the loop ended with: 0 when the user quit, 1 when the X server went away.
    virtual int exitCode() const { return exitCode_; }

private:
    std::string appName_;  // the host's windowed program name (kept, not used further)
    bool quit_ = false;
    int argumentCount_ = 0;
    std::string argument_;                   // the one argument's bytes
    std::array<char*, 2> argumentVector_{};  // { argument_, null }
    KrAppViewportBase* host_;
    int exitCode_ = 0;
    std::unique_ptr<KrXAppWindow> window_;
};
