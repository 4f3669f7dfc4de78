#pragma once

#include <string_view>

// Who may read what a listener on the loopback serves. A web page of any site can make the
// browser resolve its own host name to 127.0.0.1 (DNS rebinding) and then read the answers
// of a server on the loopback as answers of that site; such a request still names the
// site in its Host field. A listener bound to a loopback address therefore serves only
// requests whose Host names the loopback.
namespace kr {

// True for a listener address of the loopback only: a dotted quad in 127.0.0.0/8, "::1"
// (also in brackets) or "localhost" in any letter case. A wildcard address ("0.0.0.0",
// "::", "*", empty) or any other one is not.
bool isLoopbackAddress(std::string_view address);

// True for the value of a Host field that names the loopback: a dotted quad in
// 127.0.0.0/8, "[::1]" or "localhost" in any letter case, each with or without ":" and a
// port of digits.
bool isLoopbackHost(std::string_view host);

}  // namespace kr
