#include "frontend/window/KrNuxelXAppAddOn.h"

#include "app/KrAppViewportBase.h"
#include "frontend/window/KrXAppWindow.h"
#include "frontend/window/WindowTexts.h"

KrNuxelXAppAddOn::KrNuxelXAppAddOn(KrAppViewportBase* host)
    : appName_(host->appName(true)), host_(host), window_(std::make_unique<KrXAppWindow>()) {
    // Programs here carry no ".exe": the vector holds the bare title.
    argument_ = kr::kWindowTitle;
    argumentVector_ = {argument_.data(), nullptr};
    argumentCount_ = 1;
    host_->setArguments(argumentCount_, argumentVector_.data());
}

KrNuxelXAppAddOn::~KrNuxelXAppAddOn() = default;

bool KrNuxelXAppAddOn::pumpMessages() {
    exitCode_ = window_->pumpMessages();
    quit_ = true;
    return true;
}

void KrNuxelXAppAddOn::run() {
    host_->run(true);
    while (!quit_) {
        pumpMessages();
    }
    host_->stop();
}
