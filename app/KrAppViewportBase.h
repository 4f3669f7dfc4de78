#pragma once

#include <functional>
#include <memory>
#include <string>

class KrNuxelApplication2;
class KrPersistentAppStorage;

// Hosts one application. It creates and owns the application's storage and fills it through
// the storage initialiser at once; when run it creates the application through the
// application factory, initialises and starts it; stop forwards to the application's stop.
// A front end drives it: its run calls run, its own event loop, then stop; the program's
// entry point deletes the host at the end.
//
// Deleting the host stops the application's network and waits for it, then deletes the
// application (its page contexts first), then the storage.
class KrAppViewportBase {
public:
    // Takes the host and the windowed flag; gives the new application, which the host owns.
    using ApplicationFactory =
        std::function<std::unique_ptr<KrNuxelApplication2>(KrAppViewportBase*, bool)>;
    using StorageInitialiser = std::function<void(KrPersistentAppStorage&)>;

    // Keeps the names and the callables, creates the storage and runs the initialiser on it
    // before returning. An empty initialiser throws std::bad_function_call.
    KrAppViewportBase(std::string windowedName, std::string consoleName, ApplicationFactory factory,
                      StorageInitialiser initialiser);
    KrAppViewportBase(const KrAppViewportBase&) = delete;
    KrAppViewportBase& operator=(const KrAppViewportBase&) = delete;
    virtual ~KrAppViewportBase();

    // Calls the factory and keeps the application; a factory that gives none throws
    // "Can't create the app.".
    virtual void createApp(bool windowed);
    // createApp, "going to run app", then the application's init and start. Called once.
    virtual void run(bool windowed);
    // The application's stop.
    virtual void stop();

    // The windowed program's name for true, the console program's for false.
    std::string appName(bool windowed) const;
    // The front end's argument vector; not owned.
    void setArguments(int count, char** vector);
    int argumentCount() const { return argumentCount_; }
    char** argumentVector() const { return argumentVector_; }

    KrPersistentAppStorage* storage() const { return storage_.get(); }
    // Null until run.
    KrNuxelApplication2* application() const { return application_.get(); }

private:
    // The storage outlives the application, which reads it until it is gone.
    std::unique_ptr<KrPersistentAppStorage> storage_;
    std::unique_ptr<KrNuxelApplication2> application_;
    StorageInitialiser initialiser_;
    std::string windowedName_;
    std::string consoleName_;
    int argumentCount_ = 0;
    char** argumentVector_ = nullptr;
    ApplicationFactory factory_;
};
