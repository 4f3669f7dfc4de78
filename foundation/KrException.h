#pragma once

#include <exception>
#include <string>
#include <string_view>

// The one exception type of the system. Each throw site passes a fixed number and the
// source tag "src"; both identify the site for a reader of the code and are not stored:
// only the message reaches a catch.
class KrException : public std::exception {
public:
    KrException(std::string_view message, int number, std::string_view sourceTag);

    // Passes a caught exception on from another throw site.
    KrException(const KrException& caught, int number, std::string_view sourceTag);

    KrException(const KrException&) = default;
    KrException& operator=(const KrException&) = default;
    ~KrException() override = default;

    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};
