// URLs: WinHttpCrackUrl, WinHttpCreateUrl and the escaping of a request's object name.

#include "WinHttp.Url.h"

#include <cstring>

#include "WinHttp.Api.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

std::string EscapeObjectName(std::u16string_view Name, DWORD Flags) {
    std::string Raw = ToUtf8(Name);
    const bool EscapeDisable = (Flags & WINHTTP_FLAG_ESCAPE_DISABLE) != 0;
    const bool EscapeDisableQuery = (Flags & WINHTTP_FLAG_ESCAPE_DISABLE_QUERY) != 0;
    const bool EscapePercent = (Flags & WINHTTP_FLAG_ESCAPE_PERCENT) != 0;
    static const char Hex[] = "0123456789ABCDEF";
    // Written through a pointer into room for the worst case (every byte escaped).
    std::string Out(Raw.size() * 3 + 1, '\0');
    char* O = Out.data();
    if (Raw.empty() || Raw[0] != '/') *O++ = '/';
    bool InQuery = false;
    for (char Ch : Raw) {
        unsigned char C = static_cast<unsigned char>(Ch);
        if (C == '?') InQuery = true;
        const bool Minimal = EscapeDisable || (InQuery && EscapeDisableQuery);
        bool Escape;
        if (C == '\r' || C == '\n') {
            if (Minimal) continue;  // the "escaping disabled" modes drop line breaks
            Escape = true;
        } else if (C < 0x20 || C == 0x7F || C >= 0x80 || C == ' ' || C == '#') {
            // Never sent raw: they would end or split the request line, or cut the target.
            Escape = true;
        } else if (Minimal) {
            Escape = false;
        } else if (C == '%') {
            Escape = EscapePercent;
        } else {
            switch (C) {
                case '"':
                case '<':
                case '>':
                case '[':
                case '\\':
                case ']':
                case '^':
                case '{':
                case '|':
                case '}':
                case '`':
                    Escape = true;
                    break;
                default:
                    Escape = false;
            }
        }
        if (Escape) {
            *O++ = '%';
            *O++ = Hex[C >> 4];
            *O++ = Hex[C & 0x0F];
        } else {
            *O++ = static_cast<char>(C);
        }
    }
    Out.resize(static_cast<std::size_t>(O - Out.data()));
    return Out;
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpCrackUrl(LPCWSTR pwszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                       LPURL_COMPONENTS lpUrlComponents) {
    (void)dwFlags;  // decoding and escaping while cracking are not offered
    return Guard(
        [&]() -> BOOL {
            if (!pwszUrl || !lpUrlComponents ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS))
                return Fail(ERROR_INVALID_PARAMETER);
            const std::u16string_view Url(pwszUrl, dwUrlLength ? dwUrlLength : WLen(pwszUrl));
            std::size_t SchemeEnd = Url.find(u"://");
            if (SchemeEnd == std::u16string_view::npos)
                return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
            std::u16string_view Scheme = Url.substr(0, SchemeEnd);
            INTERNET_SCHEME N;
            if (SameText(ToUtf8(Scheme), "http"))
                N = INTERNET_SCHEME_HTTP;
            else if (SameText(ToUtf8(Scheme), "https"))
                N = INTERNET_SCHEME_HTTPS;
            else
                return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
            std::size_t AuthStart = SchemeEnd + 3;
            std::size_t AuthEnd = Url.find_first_of(u"/?#", AuthStart);
            if (AuthEnd == std::u16string_view::npos) AuthEnd = Url.size();
            std::u16string_view Auth = Url.substr(AuthStart, AuthEnd - AuthStart);
            std::u16string_view User, Pass, Host, PortText;
            std::size_t At = Auth.rfind(u'@');
            if (At != std::u16string_view::npos) {
                std::u16string_view UserInfo = Auth.substr(0, At);
                std::size_t Colon = UserInfo.find(u':');
                User = UserInfo.substr(0, Colon);
                if (Colon != std::u16string_view::npos) Pass = UserInfo.substr(Colon + 1);
                Auth = Auth.substr(At + 1);
            }
            if (!Auth.empty() && Auth[0] == u'[') {
                std::size_t Close = Auth.find(u']');
                if (Close == std::u16string_view::npos) return Fail(ERROR_WINHTTP_INVALID_URL);
                Host = Auth.substr(0, Close + 1);
                if (Close + 1 < Auth.size()) {
                    if (Auth[Close + 1] != u':') return Fail(ERROR_WINHTTP_INVALID_URL);
                    PortText = Auth.substr(Close + 2);
                }
            } else {
                std::size_t Colon = Auth.find(u':');
                Host = Auth.substr(0, Colon);
                if (Colon != std::u16string_view::npos) PortText = Auth.substr(Colon + 1);
            }
            if (Host.empty()) return Fail(ERROR_WINHTTP_INVALID_URL);
            INTERNET_PORT Port = N == INTERNET_SCHEME_HTTPS ? 443 : 80;
            if (!PortText.empty()) {
                std::uint64_t P = 0;
                if (!ParseDword(ToUtf8(PortText), 65535, P)) return Fail(ERROR_WINHTTP_INVALID_URL);
                Port = static_cast<INTERNET_PORT>(P);
            }
            std::u16string_view Rest = Url.substr(AuthEnd);
            std::size_t Extra = Rest.find_first_of(u"?#");
            std::u16string_view Path = Rest.substr(0, Extra);
            std::u16string_view ExtraInfo =
                Extra == std::u16string_view::npos ? std::u16string_view() : Rest.substr(Extra);

            URL_COMPONENTS& Uc = *lpUrlComponents;
            // Each part: a null pointer with a non-zero length asks for a pointer into the URL,
            // a buffer asks for a copy.
            auto Part = [&](LPWSTR& Ptr, DWORD& Len, std::u16string_view V) -> bool {
                if (Ptr) {
                    if (Len <= V.size()) {
                        Len = static_cast<DWORD>(V.size() + 1);
                        return false;
                    }
                    std::memcpy(Ptr, V.data(), V.size() * sizeof(WCHAR));
                    Ptr[V.size()] = 0;
                    Len = static_cast<DWORD>(V.size());
                } else if (Len) {
                    Ptr = const_cast<LPWSTR>(V.data());
                    Len = static_cast<DWORD>(V.size());
                }
                return true;
            };
            bool Ok = Part(Uc.lpszScheme, Uc.dwSchemeLength, Scheme);
            Ok = Part(Uc.lpszHostName, Uc.dwHostNameLength, Host) && Ok;
            Ok = Part(Uc.lpszUserName, Uc.dwUserNameLength, User) && Ok;
            Ok = Part(Uc.lpszPassword, Uc.dwPasswordLength, Pass) && Ok;
            Ok = Part(Uc.lpszUrlPath, Uc.dwUrlPathLength, Path) && Ok;
            Ok = Part(Uc.lpszExtraInfo, Uc.dwExtraInfoLength, ExtraInfo) && Ok;
            Uc.nScheme = N;
            Uc.nPort = Port;
            return Ok ? Succeed() : Fail(ERROR_INSUFFICIENT_BUFFER);
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpCreateUrl(LPURL_COMPONENTS lpUrlComponents, DWORD dwFlags,
                                        LPWSTR pwszUrl, LPDWORD pdwUrlLength) {
    (void)dwFlags;
    return Guard(
        [&]() -> BOOL {
            if (!lpUrlComponents || !pdwUrlLength ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS))
                return Fail(ERROR_INVALID_PARAMETER);
            const URL_COMPONENTS& Uc = *lpUrlComponents;
            auto Text = [](LPCWSTR P, DWORD Len) {
                return P ? std::u16string(P, Len ? Len : WLen(P)) : std::u16string();
            };
            std::u16string Scheme = Text(Uc.lpszScheme, Uc.dwSchemeLength);
            if (Scheme.empty()) {
                if (Uc.nScheme == INTERNET_SCHEME_HTTP)
                    Scheme = u"http";
                else if (Uc.nScheme == INTERNET_SCHEME_HTTPS)
                    Scheme = u"https";
                else
                    return Fail(ERROR_INVALID_PARAMETER);
            }
            std::u16string Host = Text(Uc.lpszHostName, Uc.dwHostNameLength);
            if (Host.empty()) return Fail(ERROR_INVALID_PARAMETER);
            std::u16string Url = Scheme + u"://";
            std::u16string User = Text(Uc.lpszUserName, Uc.dwUserNameLength);
            std::u16string Pass = Text(Uc.lpszPassword, Uc.dwPasswordLength);
            if (!User.empty()) {
                Url += User;
                if (!Pass.empty()) Url += u":" + Pass;
                Url += u"@";
            }
            Url += Host;
            const bool Https = SameText(ToUtf8(Scheme), "https");
            if (Uc.nPort && Uc.nPort != (Https ? 443 : 80))
                Url += Utf8ToUtf16(":" + std::to_string(Uc.nPort));
            std::u16string Path = Text(Uc.lpszUrlPath, Uc.dwUrlPathLength);
            if (!Path.empty() && Path[0] != u'/') Url += u"/";
            Url += Path;
            Url += Text(Uc.lpszExtraInfo, Uc.dwExtraInfoLength);
            if (!pwszUrl || *pdwUrlLength <= Url.size()) {
                *pdwUrlLength = static_cast<DWORD>(Url.size() + 1);
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
            std::memcpy(pwszUrl, Url.c_str(), (Url.size() + 1) * sizeof(WCHAR));
            *pdwUrlLength = static_cast<DWORD>(Url.size());
            return Succeed();
        },
        FALSE);
}

}  // extern "C"
