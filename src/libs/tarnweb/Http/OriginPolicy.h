#pragma once

#include <string_view>

namespace TarnWeb {

// Which browser requests may reach the engine: only those of the page this
// server itself served, so that a page of another site open in the same
// browser cannot steer the host.
//
// A browser names the page that sends a request in its "Origin" header
// (always on a POST, and on any request to another origin) and the server
// it sends it to in "Host". A request is the page's own when:
// - "Host" names the server by an IP address or "localhost", optionally
//   with a port: a site could point a name of its own at this machine (DNS
//   rebinding) and then be "same origin" with it, so names are refused;
// - "Origin", when present, is exactly "http://" followed by "Host";
// - and, where bOriginRequired, "Origin" is present (the command endpoint:
//   browsers send it on every POST, and tools can set it).
bool IsOwnPageRequest(std::string_view kOrigin, bool bHasOrigin, std::string_view kHost, bool bOriginRequired);

// Whether the host part of a "Host" header value ("127.0.0.1:8080",
// "[::1]:80", "localhost") is an IP address literal or "localhost".
bool IsAddressHost(std::string_view kHost);

}  // namespace TarnWeb
