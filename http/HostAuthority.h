#pragma once

#include <optional>
#include <string_view>

namespace kr {

// The name and the port of a Host field's value, or of the authority of an origin: "name",
// "name:port", "[v6]" or "[v6]:port". Both as written: the name with its brackets, the port's
// digits, empty where none is written (also after a bare ":").
struct HostAuthority {
    std::string_view name;
    std::string_view port;
};

// Nothing for a text that is no such authority: an empty name, an unclosed bracket, or
// after the name anything but ":" and at most five digits.
std::optional<HostAuthority> hostAuthorityOf(std::string_view text);

}  // namespace kr
