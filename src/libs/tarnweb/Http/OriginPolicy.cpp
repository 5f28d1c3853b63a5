#include "Http/OriginPolicy.h"

#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace TarnWeb {

namespace {

bool IsPort(std::string_view kText)
{
    if (kText.empty() || kText.size() > 5)
        return false;
    for (const char c : kText)
        if (c < '0' || c > '9')
            return false;
    return true;
}

}  // namespace

bool IsAddressHost(std::string_view kHost)
{
    std::string_view kName = kHost;
    if (!kName.empty() && kName.front() == '[')
    {
        // [IPv6]:port
        const size_t uiClose = kName.find(']');
        if (uiClose == std::string_view::npos)
            return false;
        const std::string_view kRest = kName.substr(uiClose + 1);
        if (!kRest.empty() && (kRest.front() != ':' || !IsPort(kRest.substr(1))))
            return false;
        const std::string kAddress(kName.substr(1, uiClose - 1));
        in6_addr kIp6;
        return inet_pton(AF_INET6, kAddress.c_str(), &kIp6) == 1;
    }
    const size_t uiColon = kName.rfind(':');
    if (uiColon != std::string_view::npos)
    {
        if (!IsPort(kName.substr(uiColon + 1)))
            return false;
        kName = kName.substr(0, uiColon);
    }
    if (kName == "localhost")
        return true;
    const std::string kAddress(kName);
    in_addr kIp4;
    return inet_pton(AF_INET, kAddress.c_str(), &kIp4) == 1;
}

bool IsOwnPageRequest(std::string_view kOrigin, bool bHasOrigin, std::string_view kHost, bool bOriginRequired)
{
    if (!IsAddressHost(kHost))
        return false;
    if (!bHasOrigin)
        return !bOriginRequired;
    constexpr std::string_view kScheme = "http://";
    return kOrigin.size() == kScheme.size() + kHost.size() && kOrigin.substr(0, kScheme.size()) == kScheme &&
           kOrigin.substr(kScheme.size()) == kHost;
}

}  // namespace TarnWeb
