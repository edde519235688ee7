// Proxies: a named proxy list and its bypass list chosen per target; the system-wide proxy
// functions, which this layer does not offer.

#include <cstring>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

// Bypass entries are separated by ";", "," or blanks; "<local>" matches names without a
// dot, "*" wildcards match any run of characters.
bool WildMatch(std::string_view Pattern, std::string_view Text) {
    if (Pattern.empty()) return Text.empty();
    if (Pattern[0] == '*') {
        for (std::size_t I = 0; I <= Text.size(); ++I)
            if (WildMatch(Pattern.substr(1), Text.substr(I))) return true;
        return false;
    }
    if (Text.empty()) return false;
    char A = Pattern[0], B = Text[0];
    if (A >= 'A' && A <= 'Z') A = static_cast<char>(A - 'A' + 'a');
    if (B >= 'A' && B <= 'Z') B = static_cast<char>(B - 'A' + 'a');
    return A == B && WildMatch(Pattern.substr(1), Text.substr(1));
}

std::vector<std::string_view> SplitList(std::string_view S) {
    std::vector<std::string_view> Out;
    std::size_t I = 0;
    while (I < S.size()) {
        while (I < S.size() && std::strchr(";, \t", S[I])) ++I;
        std::size_t J = I;
        while (J < S.size() && !std::strchr(";, \t", S[J])) ++J;
        if (J > I) Out.push_back(S.substr(I, J - I));
        I = J;
    }
    return Out;
}

bool Bypassed(std::string_view Bypass, std::string_view Host) {
    for (std::string_view E : SplitList(Bypass)) {
        if (E == "<local>" ? Host.find('.') == std::string_view::npos : WildMatch(E, Host))
            return true;
    }
    return false;
}

// The proxy for a scheme from a list such as "proxy:8080" or "http=a:1;https=b:2".
std::string PickProxy(std::string_view List, bool Secure) {
    std::string Generic;
    for (std::string_view E : SplitList(List)) {
        std::size_t Eq = E.find('=');
        if (Eq == std::string_view::npos) {
            if (Generic.empty()) Generic = std::string(E);
            continue;
        }
        std::string_view Scheme = E.substr(0, Eq);
        if (SameText(Scheme, Secure ? "https" : "http")) return std::string(E.substr(Eq + 1));
    }
    return Generic;
}

}  // namespace

std::string TRequest::SetProxy(const std::string& Host, bool ToSecure) {
    TSession& S = Session();
    if (S.AccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return {};
    std::string Proxy = Bypassed(S.ProxyBypass, Host) ? "" : PickProxy(S.ProxyList, ToSecure);
    curl_easy_setopt(FSlot->Easy, CURLOPT_PROXY, Proxy.c_str());
    return Proxy;
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

// Outside what this layer offers (automatic proxy discovery, the system's proxy settings):
// present so that a whole-table binding finds them, and failing with "not implemented".
WINHTTPAPI BOOL WINAPI WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI WinHttpSetDefaultProxyConfiguration(WINHTTP_PROXY_INFO*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI WinHttpDetectAutoProxyConfigUrl(DWORD, LPWSTR*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI WinHttpGetProxyForUrl(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                             WINHTTP_PROXY_INFO*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI
WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // extern "C"
