#include "foundation/KrException.h"

KrException::KrException(std::string_view message, int /*number*/, std::string_view /*sourceTag*/)
    : message_(message) {}

KrException::KrException(const KrException& caught, int /*number*/, std::string_view /*sourceTag*/)
    : message_(caught.message_) {}
