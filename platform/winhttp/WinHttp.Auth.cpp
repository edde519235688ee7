// Authentication. WinHttpQueryAuthSchemes reads the challenges of a 401 or 407 answer;
// WinHttpSetCredentials and the credential options give a request credentials for its server
// or its proxy, which curl then uses: at once for Basic, after the challenge for the others
// (curl answers that challenge itself, on the same transfer, so a caller sees the answer to the
// authenticated request). Credentials belong to the request they were set on, go only to the
// origin it was sent to (never after a redirect to another one), and a proxy's only to a proxy.

#include "WinHttp.Auth.h"

#include <curl/curl.h>

#include <mutex>

#include "WinHttp.Api.h"
#include "WinHttp.Headers.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

// The scheme a challenge names, as WINHTTP_AUTH_SCHEME_*; 0 for one WinHTTP does not know.
DWORD SchemeOf(std::string_view Name) {
    static const struct {
        const char* Name;
        DWORD Scheme;
    } Schemes[] = {
        {"Basic", WINHTTP_AUTH_SCHEME_BASIC},          {"NTLM", WINHTTP_AUTH_SCHEME_NTLM},
        {"Passport1.4", WINHTTP_AUTH_SCHEME_PASSPORT}, {"Digest", WINHTTP_AUTH_SCHEME_DIGEST},
        {"Negotiate", WINHTTP_AUTH_SCHEME_NEGOTIATE},
    };
    for (const auto& S : Schemes)
        if (SameText(Name, S.Name)) return S.Scheme;
    return 0;
}

// The schemes the challenges in the lines of that header name offer, and the first of them.
// A line may hold several challenges separated by commas ("Basic realm="a", Digest realm="b",
// nonce="c""): a piece that starts with a word not followed by "=" starts a challenge.
[[maybe_unused]] void ReadChallenges(const std::vector<std::string>& Lines, std::string_view Header,
                                     DWORD& Supported, DWORD& First) {
    for (const auto& L : Lines) {
        if (!SameText(HeaderName(L), Header)) continue;
        const std::string_view V = HeaderValue(L);
        std::size_t Start = 0;
        bool Quoted = false;
        for (std::size_t I = 0; I <= V.size(); ++I) {
            if (I < V.size() && V[I] == '"') Quoted = !Quoted;
            if (I < V.size() && (V[I] == '\\' && Quoted)) {
                ++I;
                continue;
            }
            if (I < V.size() && (Quoted || V[I] != ',')) continue;
            const std::string_view Piece = Trim(V.substr(Start, I - Start));
            Start = I + 1;
            std::size_t End = 0;
            while (End < Piece.size() && Piece[End] != ' ' && Piece[End] != '\t' &&
                   Piece[End] != '=')
                ++End;
            if (End == 0 || (End < Piece.size() && Piece[End] == '=' &&
                             (End + 1 >= Piece.size() || Piece[End + 1] != '=')))
                continue;  // a parameter of the challenge before it
            const DWORD Scheme = SchemeOf(Piece.substr(0, End));
            if (Scheme && !Supported) First = Scheme;
            Supported |= Scheme;
        }
    }
}

bool IsOneScheme(DWORD Scheme) {
    return Scheme == WINHTTP_AUTH_SCHEME_BASIC || Scheme == WINHTTP_AUTH_SCHEME_NTLM ||
           Scheme == WINHTTP_AUTH_SCHEME_DIGEST || Scheme == WINHTTP_AUTH_SCHEME_NEGOTIATE;
}

// What curl is asked to do: the one scheme set, or, for credentials from the options alone,
// whichever of those curl can do the challenge offers.
unsigned long CurlSchemes(DWORD Scheme) {
    switch (Scheme) {
        case WINHTTP_AUTH_SCHEME_BASIC:
            return CURLAUTH_BASIC;
        case WINHTTP_AUTH_SCHEME_DIGEST:
            return CURLAUTH_DIGEST;
        case WINHTTP_AUTH_SCHEME_NTLM:
            return CURLAUTH_NTLM;
        case WINHTTP_AUTH_SCHEME_NEGOTIATE:
            return CURLAUTH_NEGOTIATE;
        default:
            return CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM;
    }
}

std::string* CredentialField(TRequest& R, DWORD Option) {
    switch (Option) {
        case WINHTTP_OPTION_USERNAME:
            return &R.ServerCredentials.User;
        case WINHTTP_OPTION_PASSWORD:
            return &R.ServerCredentials.Password;
        case WINHTTP_OPTION_PROXY_USERNAME:
            return &R.ProxyCredentials.User;
        case WINHTTP_OPTION_PROXY_PASSWORD:
            return &R.ProxyCredentials.Password;
        default:
            return nullptr;
    }
}

}  // namespace

// curl keeps on an easy handle, from one transfer to the next, which scheme it picked and a
// Digest server's nonce; a request with credentials must not start from what another one
// negotiated. A handle that carried credentials is exchanged for a copy of its settings alone
// before it carries new ones (its connections stay in the slot's multi handle).
void TRequest::FreshAuthState() {
    if (!FSlot->Applied.AuthUsed ||
        (ServerCredentials.User.empty() && ProxyCredentials.User.empty()))
        return;
    CURL* Copy = curl_easy_duphandle(FSlot->Easy);
    if (!Copy) throw std::bad_alloc();
    curl_easy_cleanup(FSlot->Easy);
    FSlot->Easy = Copy;
    curl_easy_setopt(Copy, CURLOPT_SHARE, Session().Share);
    FSlot->Applied.AuthUsed = false;
}

// Credentials for this hop: the server's only where the hop goes to the origin the request
// was sent to. The easy handle outlives the request, so what another request left is cleared.
void TRequest::ApplyCredentials(bool SameOrigin) {
    const bool Server = SameOrigin && !ServerCredentials.User.empty();
    const bool Proxy = !ProxyCredentials.User.empty();
    FServerAuthNow = Server;
    FProxyAuthNow = Proxy;
    TSlot::TApplied& Ap = FSlot->Applied;
    if (!Server && !Proxy && !Ap.Credentials) return;
    CURL* E = FSlot->Easy;
    curl_easy_setopt(E, CURLOPT_USERNAME, Server ? ServerCredentials.User.c_str() : nullptr);
    curl_easy_setopt(E, CURLOPT_PASSWORD, Server ? ServerCredentials.Password.c_str() : nullptr);
    curl_easy_setopt(E, CURLOPT_HTTPAUTH,
                     Server ? CurlSchemes(ServerCredentials.Scheme) : CURLAUTH_BASIC);
    curl_easy_setopt(E, CURLOPT_PROXYUSERNAME, Proxy ? ProxyCredentials.User.c_str() : nullptr);
    curl_easy_setopt(E, CURLOPT_PROXYPASSWORD, Proxy ? ProxyCredentials.Password.c_str() : nullptr);
    curl_easy_setopt(E, CURLOPT_PROXYAUTH,
                     Proxy ? CurlSchemes(ProxyCredentials.Scheme) : CURLAUTH_BASIC);
    Ap.Credentials = Server || Proxy;
    Ap.AuthUsed = Ap.AuthUsed || Ap.Credentials;
}

// A 401 or 407 head that curl, holding credentials for it, may answer with another request on
// the same transfer.
bool TRequest::ChallengeMayBeAnswered() const {
    return (StatusCode == 401 && FServerAuthNow) || (StatusCode == 407 && FProxyAuthNow);
}

BOOL SetCredentialOption(TObject& Obj, DWORD Option, LPVOID Buffer, DWORD Length) {
    auto* R = KindOf<TRequest>(Obj, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!R) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    if (!Buffer && Length) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string_view Text;
    if (Buffer) {
        Text = std::u16string_view(static_cast<LPCWSTR>(Buffer), Length);
        Text = Text.substr(0, Text.find(u'\0'));
    }
    *CredentialField(*R, Option) = FromUtf16(Text);
    return Succeed();
}

BOOL QueryCredentialOption(TObject& Obj, DWORD Option, LPVOID Buffer, LPDWORD Length) {
    auto* R = KindOf<TRequest>(Obj, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!R) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return CopyText(ToUtf16(*CredentialField(*R, Option)), Buffer, Length);
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpSetCredentials(HINTERNET hRequest, DWORD AuthTargets,
                                             DWORD AuthScheme, LPCWSTR pwszUserName,
                                             LPCWSTR pwszPassword, LPVOID) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if ((AuthTargets != WINHTTP_AUTH_TARGET_SERVER &&
                 AuthTargets != WINHTTP_AUTH_TARGET_PROXY) ||
                !IsOneScheme(AuthScheme))
                return Fail(ERROR_INVALID_PARAMETER);
            // NTLM and Negotiate may go without (the logged-on user's, which this system does
            // not have); Basic and Digest need a user name, and a server's a password too.
            const bool Windows = AuthScheme == WINHTTP_AUTH_SCHEME_NTLM ||
                                 AuthScheme == WINHTTP_AUTH_SCHEME_NEGOTIATE;
            if (!Windows &&
                (!pwszUserName || (AuthTargets == WINHTTP_AUTH_TARGET_SERVER && !pwszPassword)))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            TRequest::TCredentials& C = AuthTargets == WINHTTP_AUTH_TARGET_SERVER
                                            ? R->ServerCredentials
                                            : R->ProxyCredentials;
            C.Scheme = AuthScheme;
            C.User = ToUtf8(pwszUserName);
            C.Password = ToUtf8(pwszPassword);
            return Succeed();
        },
        FALSE);
}

#ifndef WINHTTP_OMIT_QUERYAUTHSCHEMES  // the test build that lacks one export leaves this out
WINHTTPAPI BOOL WINAPI WinHttpQueryAuthSchemes(HINTERNET hRequest, LPDWORD lpdwSupportedSchemes,
                                               LPDWORD lpdwFirstScheme, LPDWORD pdwAuthTarget) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (!lpdwSupportedSchemes || !lpdwFirstScheme || !pdwAuthTarget)
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            // Before an answer, and after one without a challenge, there is nothing to say.
            if (!R->HeadReady()) return Fail(ERROR_INVALID_OPERATION);
            const bool ProxyFirst = R->StatusCode == 407;
            for (const DWORD Target :
                 {ProxyFirst ? WINHTTP_AUTH_TARGET_PROXY : WINHTTP_AUTH_TARGET_SERVER,
                  ProxyFirst ? WINHTTP_AUTH_TARGET_SERVER : WINHTTP_AUTH_TARGET_PROXY}) {
                DWORD Supported = 0, First = 0;
                ReadChallenges(
                    R->ResponseLines,
                    Target == WINHTTP_AUTH_TARGET_PROXY ? "Proxy-Authenticate" : "WWW-Authenticate",
                    Supported, First);
                if (!Supported) continue;
                *lpdwSupportedSchemes = Supported;
                *lpdwFirstScheme = First;
                *pdwAuthTarget = Target;
                return Succeed();
            }
            return Fail(ERROR_INVALID_OPERATION);
        },
        FALSE);
}
#endif

}  // extern "C"
