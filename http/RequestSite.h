#pragma once

#include <span>
#include <string>

// Which site a request comes from, as the browser that sent it says. Any page of any site
// can make a browser send requests to a server on this machine: an image, a script, a style
// sheet, a frame, a fetch or a form posted at its address. Such a request names this
// machine as its Host, but the browser marks where it comes from: "Sec-Fetch-Site" (with
// the kind of request in "Sec-Fetch-Mode" and "Sec-Fetch-Dest"), and, in browsers older
// than those fields, "Origin" on posts. Of another site only a top-level navigation is
// served, so that a link from any page to the game still opens it.
namespace kr {

// The fields of a request that tell where it comes from: every value each field has, in
// the order they came (none when the request has no such field).
struct SiteFields {
    bool isGet = false;  // the method is GET
    std::span<const std::string> fetchSite;
    std::span<const std::string> fetchMode;
    std::span<const std::string> fetchDest;
    std::span<const std::string> origin;
    std::span<const std::string> host;
};

// Whether a request with these fields may be served as far as the site it comes from goes.
// - With "Sec-Fetch-Site": when every value is "same-origin" or "none" (an address the
//   user typed or a launcher opened); any other value, an unknown one included, is another
//   site's, served only as a top-level navigation that reads: GET, "Sec-Fetch-Mode" with
//   "navigate" as its every value, and "Sec-Fetch-Dest" with "document".
// - Without it, "Origin" refuses the request unless each value names the request's own
//   origin: "http://" and the Host ("null" names none; the scheme and the name match in
//   any letter case; a port of 80 may be written or left out on either side). An Origin
//   with no Host, or with Hosts of different origins, has no own origin to name.
// - With neither field a request is served.
bool acceptsSiteOf(const SiteFields& fields);

}  // namespace kr
