// Finds out whether the user's settings route traffic through a proxy, and
// which server: the https entry of a per-protocol list, or a shared server.
#pragma once

#include <string>

class C_Proxy
{
public:
    C_Proxy() = default;
    virtual ~C_Proxy() = default;

    // true when a proxy is in use and its server list could be read; proxy is
    // written only by the choice of a server from that list.
    bool getProxyConfiguration(std::wstring& proxy);
};
