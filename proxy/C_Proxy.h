// Finds out whether the user's settings route the update's downloads through
// a proxy, and which server: the https entry of a per-protocol list, or a
// shared server. The settings are read as they apply to the update URL, so
// that the server shown and asked for is the one the library will use.
#pragma once

#include <string>

class C_IniFileTools;

class C_Proxy
{
public:
    C_Proxy() = default;
    virtual ~C_Proxy() = default;

    // true when a proxy is in use and its server list could be read; proxy is
    // written only by the choice of a server from that list.
    bool getProxyConfiguration(std::wstring& proxy);

    // Stores the credentials the user confirmed (PROXY/UserProxy, and the
    // password scrambled as PROXY/PswdProxy). When the file cannot take
    // them an ERROR says so and the run goes on with them all the same (the
    // store keeps unwritten values for the run). true when both were stored.
    static bool storeCredentials(C_IniFileTools& ini, const std::wstring& login,
                                 const std::wstring& password);
};
