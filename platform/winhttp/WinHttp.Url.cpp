// URLs: WinHttpCrackUrl, WinHttpCreateUrl and the escaping of a request's object name.

#include "WinHttp.Url.h"

#include <cstring>

#include "WinHttp.Api.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

std::string EscapeObjectName(std::u16string_view Name, DWORD Flags) {
    std::string Raw = FromUtf16(Name);
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
        } else if (C >= 0x80 || C == ' ') {
            // Never sent raw: a blank would end the target on the request line.
            Escape = true;
        } else if (Minimal) {
            // The caller's text as given, other control characters and "#" included.
            Escape = false;
        } else if (C < 0x20 || C == 0x7F || C == '#') {
            Escape = true;
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

std::string UrlPath(std::string_view Path) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string Out;
    Out.reserve(Path.size());
    for (char Ch : Path) {
        const unsigned char C = static_cast<unsigned char>(Ch);
        if (C <= 0x20 || C == 0x7F || C == '#') {
            Out += '%';
            Out += Hex[C >> 4];
            Out += Hex[C & 0x0F];
        } else {
            Out += Ch;
        }
    }
    return Out;
}

namespace {

constexpr char16_t HexDigits[] = u"0123456789ABCDEF";

int HexValue(char16_t C) {
    if (C >= u'0' && C <= u'9') return C - u'0';
    if (C >= u'a' && C <= u'f') return C - u'a' + 10;
    if (C >= u'A' && C <= u'F') return C - u'A' + 10;
    return -1;
}

// ICU_DECODE: each %XX becomes the character of that value; a "%" not followed by two hex
// digits stays as it is.
std::u16string Unescape(std::u16string_view S) {
    std::u16string Out;
    Out.reserve(S.size());
    for (std::size_t I = 0; I < S.size(); ++I) {
        int Hi = -1, Lo = -1;
        if (S[I] == u'%' && I + 2 < S.size() && (Hi = HexValue(S[I + 1])) >= 0 &&
            (Lo = HexValue(S[I + 2])) >= 0) {
            Out += static_cast<char16_t>(Hi * 16 + Lo);
            I += 2;
        } else {
            Out += S[I];
        }
    }
    return Out;
}

// ICU_ESCAPE: control characters, blanks, DEL, what lies beyond ASCII (as its UTF-8 bytes) and
// the characters no URL carries raw become %XX; "%", "#" and "?" stay, so that escaped text and
// the separators of the extra information keep their meaning.
std::u16string Escape(std::u16string_view S) {
    std::u16string Out;
    Out.reserve(S.size());
    auto Put = [&](unsigned Byte) {
        Out += u'%';
        Out += HexDigits[(Byte >> 4) & 0x0F];
        Out += HexDigits[Byte & 0x0F];
    };
    for (std::size_t I = 0; I < S.size(); ++I) {
        const char16_t C = S[I];
        if (C >= 0x80) {
            std::size_t End = I + 1;
            if (C >= 0xD800 && C <= 0xDBFF && End < S.size() && S[End] >= 0xDC00 &&
                S[End] <= 0xDFFF)
                ++End;
            for (char B : FromUtf16(S.substr(I, End - I))) Put(static_cast<unsigned char>(B));
            I = End - 1;
        } else if (C <= 0x20 || C == 0x7F || std::strchr("\"<>[\\]^`{|}", static_cast<char>(C))) {
            Put(C);
        } else {
            Out += C;
        }
    }
    return Out;
}

bool IsSchemeChar(char16_t C) {
    return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z') || (C >= u'0' && C <= u'9') ||
           C == u'+' || C == u'-' || C == u'.';
}

// The port a scheme implies, which a URL leaves out; 0 for schemes without one.
INTERNET_PORT DefaultPort(std::u16string_view Scheme) {
    const std::string S = FromUtf16(Scheme);
    if (SameText(S, "http")) return INTERNET_DEFAULT_HTTP_PORT;
    if (SameText(S, "https")) return INTERNET_DEFAULT_HTTPS_PORT;
    if (SameText(S, "ftp")) return 21;
    if (SameText(S, "gopher")) return 70;
    if (SameText(S, "socks")) return 1080;
    return 0;
}

}  // namespace

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpCrackUrl(LPCWSTR pwszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                       LPURL_COMPONENTS lpUrlComponents) {
    return Guard(
        [&]() -> BOOL {
            if (!pwszUrl || !lpUrlComponents ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS))
                return Fail(ERROR_INVALID_PARAMETER);
            const std::u16string_view Url(pwszUrl, dwUrlLength ? dwUrlLength : WLen(pwszUrl));
            // "scheme://": without it, or with a scheme that is no scheme, this is no URL.
            const std::size_t SchemeEnd = Url.find(u':');
            if (SchemeEnd == std::u16string_view::npos || SchemeEnd == 0 ||
                Url.substr(SchemeEnd, 3) != u"://")
                return Fail(ERROR_WINHTTP_INVALID_URL);
            const std::u16string_view Scheme = Url.substr(0, SchemeEnd);
            for (char16_t C : Scheme)
                if (!IsSchemeChar(C)) return Fail(ERROR_WINHTTP_INVALID_URL);
            INTERNET_SCHEME N;
            if (SameText(FromUtf16(Scheme), "http"))
                N = INTERNET_SCHEME_HTTP;
            else if (SameText(FromUtf16(Scheme), "https"))
                N = INTERNET_SCHEME_HTTPS;
            else
                return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
            const std::size_t AuthStart = SchemeEnd + 3;
            std::size_t AuthEnd = Url.find_first_of(u"/?#", AuthStart);
            if (AuthEnd == std::u16string_view::npos) AuthEnd = Url.size();
            std::u16string_view Auth = Url.substr(AuthStart, AuthEnd - AuthStart);
            // Absent user name and password are null; absent path and extra information point
            // at the end of the URL.
            const std::u16string_view AtEnd = Url.substr(Url.size());
            std::u16string_view User, Pass, Host, PortText;
            bool HasUser = false, HasPass = false;
            const std::size_t At = Auth.rfind(u'@');
            if (At != std::u16string_view::npos) {
                if (dwFlags & ICU_REJECT_USERPWD) return Fail(ERROR_WINHTTP_INVALID_URL);
                const std::u16string_view UserInfo = Auth.substr(0, At);
                const std::size_t Colon = UserInfo.find(u':');
                User = UserInfo.substr(0, Colon);
                HasUser = true;
                if (Colon != std::u16string_view::npos) {
                    Pass = UserInfo.substr(Colon + 1);
                    HasPass = true;
                }
                Auth = Auth.substr(At + 1);
            }
            if (!Auth.empty() && Auth[0] == u'[') {
                const std::size_t Close = Auth.find(u']');
                if (Close == std::u16string_view::npos) return Fail(ERROR_WINHTTP_INVALID_URL);
                Host = Auth.substr(0, Close + 1);
                if (Close + 1 < Auth.size()) {
                    if (Auth[Close + 1] != u':') return Fail(ERROR_WINHTTP_INVALID_URL);
                    PortText = Auth.substr(Close + 2);
                }
            } else {
                const std::size_t Colon = Auth.find(u':');
                Host = Auth.substr(0, Colon);
                if (Colon != std::u16string_view::npos) PortText = Auth.substr(Colon + 1);
            }
            if (Host.empty()) return Fail(ERROR_WINHTTP_INVALID_URL);
            INTERNET_PORT Port = N == INTERNET_SCHEME_HTTPS ? INTERNET_DEFAULT_HTTPS_PORT
                                                            : INTERNET_DEFAULT_HTTP_PORT;
            if (!PortText.empty()) {
                std::uint64_t P = 0;
                if (!ParseDword(FromUtf16(PortText), 65535, P))
                    return Fail(ERROR_WINHTTP_INVALID_URL);
                Port = static_cast<INTERNET_PORT>(P);
            }
            URL_COMPONENTS& Uc = *lpUrlComponents;
            // The query and fragment are extra information only for a caller that asks for it;
            // otherwise they stay with the path.
            const std::u16string_view Rest = Url.substr(AuthEnd);
            std::u16string_view Path = Rest, ExtraInfo = AtEnd;
            if (Uc.dwExtraInfoLength != 0) {
                const std::size_t Extra = Rest.find_first_of(u"?#");
                if (Extra != std::u16string_view::npos) {
                    Path = Rest.substr(0, Extra);
                    ExtraInfo = Rest.substr(Extra);
                }
            }
            if (Path.empty()) Path = Url.substr(AuthEnd, 0);

            // One entry per part: where the caller wants it, the text, and whether it is
            // decoded or escaped on the way.
            struct TPart {
                LPWSTR& Ptr;
                DWORD& Len;
                std::u16string_view Text;
                bool Present;
                bool Transformed;
                std::u16string Value;
            } Parts[] = {
                {Uc.lpszScheme, Uc.dwSchemeLength, Scheme, true, false, {}},
                {Uc.lpszHostName, Uc.dwHostNameLength, Host, true, false, {}},
                {Uc.lpszUserName, Uc.dwUserNameLength, User, HasUser, true, {}},
                {Uc.lpszPassword, Uc.dwPasswordLength, Pass, HasPass, true, {}},
                {Uc.lpszUrlPath, Uc.dwUrlPathLength, Path, true, true, {}},
                {Uc.lpszExtraInfo, Uc.dwExtraInfoLength, ExtraInfo, true, true, {}},
            };
            const bool Decode = (dwFlags & ICU_DECODE) != 0;
            const bool EscapeParts = (dwFlags & ICU_ESCAPE) != 0;
            // Every part is checked before any is written: a refused call leaves the caller's
            // structure as it was.
            for (TPart& P : Parts) {
                if (P.Len == 0) continue;
                const bool Changed = P.Transformed && (Decode || EscapeParts);
                if (!P.Ptr) {
                    // A pointer into the URL cannot show a decoded or escaped text.
                    if (Changed) return Fail(ERROR_INVALID_PARAMETER);
                    continue;
                }
                P.Value = std::u16string(P.Text);
                if (Changed && Decode) P.Value = Unescape(P.Value);
                if (Changed && EscapeParts && (&P == &Parts[4] || &P == &Parts[5]))
                    P.Value = Escape(P.Value);
                if (P.Len <= P.Value.size()) return Fail(ERROR_INVALID_PARAMETER);
            }
            for (TPart& P : Parts) {
                if (P.Len == 0) continue;
                if (P.Ptr) {
                    std::memcpy(P.Ptr, P.Value.data(), P.Value.size() * sizeof(WCHAR));
                    P.Ptr[P.Value.size()] = 0;
                    P.Len = static_cast<DWORD>(P.Value.size());
                } else if (P.Present) {
                    P.Ptr = const_cast<LPWSTR>(P.Text.data());
                    P.Len = static_cast<DWORD>(P.Text.size());
                } else {
                    P.Len = 0;
                }
            }
            Uc.nScheme = N;
            Uc.nPort = Port;
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpCreateUrl(LPURL_COMPONENTS lpUrlComponents, DWORD dwFlags,
                                        LPWSTR pwszUrl, LPDWORD pdwUrlLength) {
    return Guard(
        [&]() -> BOOL {
            if (!lpUrlComponents || !pdwUrlLength ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS))
                return Fail(ERROR_INVALID_PARAMETER);
            const URL_COMPONENTS& Uc = *lpUrlComponents;
            // A part with a null pointer is left out; a length of 0 means NUL-terminated.
            auto Text = [](LPCWSTR P, DWORD Len) {
                return P ? std::u16string(P, Len ? Len : WLen(P)) : std::u16string();
            };
            std::u16string Scheme = Text(Uc.lpszScheme, Uc.dwSchemeLength);
            if (Scheme.empty()) {
                switch (Uc.nScheme) {
                    case 0:
                    case INTERNET_SCHEME_HTTP:
                        Scheme = u"http";
                        break;
                    case INTERNET_SCHEME_HTTPS:
                        Scheme = u"https";
                        break;
                    case INTERNET_SCHEME_FTP:
                        Scheme = u"ftp";
                        break;
                    case INTERNET_SCHEME_SOCKS:
                        Scheme = u"socks";
                        break;
                    default:
                        return Fail(ERROR_INVALID_PARAMETER);
                }
            }
            const std::u16string User = Text(Uc.lpszUserName, Uc.dwUserNameLength);
            if (Uc.lpszPassword && User.empty()) return Fail(ERROR_INVALID_PARAMETER);
            std::u16string Url = Scheme + u"://";
            if (!User.empty()) {
                Url += User;
                // A password that is there, even an empty one, comes after a colon.
                if (Uc.lpszPassword) Url += u":" + Text(Uc.lpszPassword, Uc.dwPasswordLength);
                Url += u"@";
            }
            Url += Text(Uc.lpszHostName, Uc.dwHostNameLength);
            if (Uc.nPort && Uc.nPort != DefaultPort(Scheme))
                Url += ToUtf16(":" + std::to_string(Uc.nPort));
            std::u16string Path = Text(Uc.lpszUrlPath, Uc.dwUrlPathLength);
            std::u16string Extra = Text(Uc.lpszExtraInfo, Uc.dwExtraInfoLength);
            if (dwFlags & ICU_ESCAPE) {
                Path = Escape(Path);
                Extra = Escape(Extra);
            }
            if (!Path.empty() && Path[0] != u'/') Url += u"/";
            Url += Path;
            Url += Extra;
            // The probe (no buffer, too small a length) learns the size with the NUL; a buffer
            // that is missing while the length says it is large enough is a bad argument.
            const DWORD Need = static_cast<DWORD>(Url.size() + 1);
            if (*pdwUrlLength < Need) {
                *pdwUrlLength = Need;
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
            if (!pwszUrl) return Fail(ERROR_INVALID_PARAMETER);
            std::memcpy(pwszUrl, Url.c_str(), Need * sizeof(WCHAR));
            *pdwUrlLength = static_cast<DWORD>(Url.size());
            return Succeed();
        },
        FALSE);
}

}  // extern "C"
