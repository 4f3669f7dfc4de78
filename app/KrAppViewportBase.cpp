#include "app/KrAppViewportBase.h"

#include <utility>

#include "app/KrNuxelApplication2.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "storage/KrPersistentAppStorage.h"

KrAppViewportBase::KrAppViewportBase(std::string windowedName, std::string consoleName,
                                     ApplicationFactory factory, StorageInitialiser initialiser)
    : storage_(std::make_unique<KrPersistentAppStorage>()),
      initialiser_(std::move(initialiser)),
      windowedName_(std::move(windowedName)),
      consoleName_(std::move(consoleName)),
      factory_(std::move(factory)) {
    initialiser_(*storage_);
}

KrAppViewportBase::~KrAppViewportBase() {
    if (application_ != nullptr) {
        // No request thread may still call into the application while it is destroyed.
        application_->shutdown();
        application_.reset();
    }
    storage_.reset();
}

void KrAppViewportBase::createApp(bool windowed) {
    std::unique_ptr<KrNuxelApplication2> application = factory_(this, windowed);
    if (application == nullptr) {
        throw KrException("Can't create the app.", 41021, "src");
    }
    application_ = std::move(application);
}

void KrAppViewportBase::run(bool windowed) {
    createApp(windowed);
    if (application_ == nullptr) {
        throw KrException("application must be defined.", 41022, "src");
    }
    kr::outLine("going to run app");
    application_->init();
    application_->start();
}

void KrAppViewportBase::stop() {
    if (application_ != nullptr) {
        application_->stop();
    }
}

std::string KrAppViewportBase::appName(bool windowed) const {
    return windowed ? windowedName_ : consoleName_;
}

void KrAppViewportBase::setArguments(int count, char** vector) {
    argumentCount_ = count;
    argumentVector_ = vector;
}
