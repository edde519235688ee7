// Headers: WinHttpAddRequestHeaders, WinHttpQueryHeaders, the caller's header blocks, and the
// header list a request hands to curl.

#include "WinHttp.Headers.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "WinHttp.Api.h"
#include "WinHttp.Dates.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

bool IsTokenChar(char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
           (C != 0 && std::strchr("!#$%&'*+-.^_`|~", C));
}

// Header names of the query levels; null for levels that are not a single header.
const char* LevelName(DWORD Level) {
    static const char* const Names[WINHTTP_QUERY_MAX + 1] = {"Mime-Version",
                                                             "Content-Type",
                                                             "Content-Transfer-Encoding",
                                                             "Content-ID",
                                                             "Content-Description",
                                                             "Content-Length",
                                                             "Content-Language",
                                                             "Allow",
                                                             "Public",
                                                             "Date",
                                                             "Expires",
                                                             "Last-Modified",
                                                             "Message-ID",
                                                             "URI",
                                                             "Derived-From",
                                                             "Cost",
                                                             "Link",
                                                             "Pragma",
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             "Connection",
                                                             "Accept",
                                                             "Accept-Charset",
                                                             "Accept-Encoding",
                                                             "Accept-Language",
                                                             "Authorization",
                                                             "Content-Encoding",
                                                             "Forwarded",
                                                             "From",
                                                             "If-Modified-Since",
                                                             "Location",
                                                             "Orig-URI",
                                                             "Referer",
                                                             "Retry-After",
                                                             "Server",
                                                             "Title",
                                                             "User-Agent",
                                                             "WWW-Authenticate",
                                                             "Proxy-Authenticate",
                                                             "Accept-Ranges",
                                                             "Set-Cookie",
                                                             "Cookie",
                                                             nullptr,
                                                             "Refresh",
                                                             "Content-Disposition",
                                                             "Age",
                                                             "Cache-Control",
                                                             "Content-Base",
                                                             "Content-Location",
                                                             "Content-MD5",
                                                             "Content-Range",
                                                             "ETag",
                                                             "Host",
                                                             "If-Match",
                                                             "If-None-Match",
                                                             "If-Range",
                                                             "If-Unmodified-Since",
                                                             "Max-Forwards",
                                                             "Proxy-Authorization",
                                                             "Range",
                                                             "Transfer-Encoding",
                                                             "Upgrade",
                                                             "Vary",
                                                             "Via",
                                                             "Warning",
                                                             "Expect",
                                                             "Proxy-Connection",
                                                             "Unless-Modified-Since",
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             "Proxy-Support",
                                                             "Authentication-Info",
                                                             "Passport-Urls",
                                                             "Passport-Config"};
    return Level <= WINHTTP_QUERY_MAX ? Names[Level] : nullptr;
}

}  // namespace

bool IsToken(std::string_view S) {
    if (S.empty()) return false;
    for (char C : S)
        if (!IsTokenChar(C)) return false;
    return true;
}

// Header text may not carry control characters (tab aside): they could split the message.
bool IsFieldText(std::string_view S) {
    for (char C : S) {
        unsigned char U = static_cast<unsigned char>(C);
        if ((U < 0x20 && U != '\t') || U == 0x7F) return false;
    }
    return true;
}

bool ParseHeaderBlock(LPCWSTR Headers, DWORD Length, std::vector<std::string>& Out) {
    if (!Headers) return true;
    std::size_t N = Length == static_cast<DWORD>(-1) ? WLen(Headers) : Length;
    std::string Text = FromUtf16(std::u16string_view(Headers, N));
    std::size_t I = 0;
    while (I < Text.size()) {
        std::size_t J = Text.find_first_of("\r\n", I);
        if (J == std::string::npos) J = Text.size();
        std::string_view Line(Text.data() + I, J - I);
        I = J + 1;
        if (Line.empty()) continue;
        std::size_t Colon = Line.find(':');
        if (Colon == std::string_view::npos || !IsToken(Line.substr(0, Colon)) ||
            !IsFieldText(Line.substr(Colon + 1)))
            return false;
        Out.emplace_back(Line);
    }
    return true;
}

bool HasHeader(const std::vector<std::string>& Lines, std::string_view Name) {
    for (const auto& L : Lines)
        if (SameText(HeaderName(L), Name)) return true;
    return false;
}

bool EndsInChunked(std::string_view Codings) {
    const std::size_t Comma = Codings.rfind(',');
    return SameText(Trim(Comma == std::string_view::npos ? Codings : Codings.substr(Comma + 1)),
                    "chunked");
}

bool IsChunked(const std::vector<std::string>& Lines) {
    bool Chunked = false;
    for (const auto& L : Lines)
        if (SameText(HeaderName(L), "Transfer-Encoding")) Chunked = EndsInChunked(HeaderValue(L));
    return Chunked;
}

// The caller's own framing lines must agree with the body that goes out: a length other than
// the one sent, or a length beside a chunked coding, would have the server read the rest of
// the body as another request. A caller's chunked coding means the caller frames the body
// itself: its bytes go out as written, without a length.
DWORD TRequest::CheckFraming() {
    bool Chunked = false, Length = false;
    for (const auto& L : RequestLines) {
        const std::string_view Name = HeaderName(L), Value = HeaderValue(L);
        if (SameText(Name, "Transfer-Encoding")) {
            if (!EndsInChunked(Value)) return ERROR_INVALID_PARAMETER;
            Chunked = true;
        } else if (SameText(Name, "Content-Length")) {
            std::uint64_t N = 0;
            if (!ParseDword(Value, UINT64_MAX / 10, N) || N != FTotal)
                return ERROR_INVALID_PARAMETER;
            Length = true;
        }
    }
    if (Chunked && Length) return ERROR_INVALID_PARAMETER;
    FCallerChunked = Chunked;
    return 0;
}

void TRequest::FreeHeaderLists() {
    curl_slist_free_all(FHeaderList);
    FHeaderList = nullptr;
    curl_slist_free_all(FProxyHeaderList);
    FProxyHeaderList = nullptr;
}

// Header lines: ours, then the caller's; curl's own defaults that WinHTTP would not send are
// switched off with "Name:". A redirect that drops the body drops the lines that describe it
// (BodyLines false). Lines that name a party stay with it: on a hop to another origin the
// caller's Host and credentials (Authorization, Cookie) are dropped, and a proxy credential
// goes only to the proxy the first hop went through (ToFirstProxy), never to a server. The
// session's cookies for the hop (FCookies) join the caller's Cookie header or make one.
bool TRequest::SetHeaders(bool Body, bool BodyLines, bool SameOrigin, bool ToFirstProxy) {
    FreeHeaderLists();
    curl_slist* Headers = nullptr;
    if (RequestLines.empty() && !Body && FCookies.empty()) {
        // The common case needs the same list every time: kept with the slot.
        if (!FSlot->PlainHeaders) FSlot->PlainHeaders = curl_slist_append(nullptr, "Accept:");
        Headers = FSlot->PlainHeaders;
    } else {
        // curl chunks a body itself when the list asks for chunked; an empty line of that name
        // found first keeps it from doing so, and is not sent.
        if (Body && BodyLines && FCallerChunked)
            FHeaderList = curl_slist_append(FHeaderList, "Transfer-Encoding:");
        bool LengthSent = false;
        bool CookiesSent = FCookies.empty();
        for (const auto& L : RequestLines) {
            std::string Name(HeaderName(L));
            if (!BodyLines && (SameText(Name, "Content-Type") || SameText(Name, "Content-Length") ||
                               SameText(Name, "Transfer-Encoding")))
                continue;
            if (!SameOrigin && (SameText(Name, "Authorization") || SameText(Name, "Cookie") ||
                                SameText(Name, "Host")))
                continue;
            if (SameText(Name, "Content-Length")) {
                // Checked against the body (CheckFraming): one line says it.
                if (LengthSent) continue;
                LengthSent = true;
            }
            std::string_view Value = HeaderValue(L);
            // curl drops "Name:" lines; "Name;" is its way to send an empty value.
            std::string Item = Value.empty() ? Name + ";" : Name + ": " + std::string(Value);
            if (!CookiesSent && SameText(Name, "Cookie")) {
                // The session's cookies follow the caller's own in the same header.
                Item = Value.empty() ? Name + ": " + FCookies
                                     : Name + ": " + std::string(Value) + "; " + FCookies;
                CookiesSent = true;
            }
            if (SameText(Name, "Proxy-Authorization")) {
                // curl sends this list only in requests to a proxy: to a server directly or
                // through a tunnel it never goes.
                if (ToFirstProxy)
                    FProxyHeaderList = curl_slist_append(FProxyHeaderList, Item.c_str());
                continue;
            }
            FHeaderList = curl_slist_append(FHeaderList, Item.c_str());
        }
        if (!CookiesSent)
            FHeaderList = curl_slist_append(FHeaderList, ("Cookie: " + FCookies).c_str());
        if (!HasHeader(RequestLines, "Accept"))
            FHeaderList = curl_slist_append(FHeaderList, "Accept:");
        if (Body && !HasHeader(RequestLines, "Expect"))
            FHeaderList = curl_slist_append(FHeaderList, "Expect:");
        if (Body && !HasHeader(RequestLines, "Content-Type"))
            FHeaderList = curl_slist_append(FHeaderList, "Content-Type:");
        Headers = FHeaderList;
    }
    if (!Headers) return false;
    TSlot::TApplied& Ap = FSlot->Applied;
    if (!Ap.HeadersSet || Ap.Headers != Headers) {
        curl_easy_setopt(FSlot->Easy, CURLOPT_HTTPHEADER, Headers);
        Ap.Headers = Headers;
        Ap.HeadersSet = true;
    }
    if (Ap.ProxyHeaders != FProxyHeaderList) {
        curl_easy_setopt(FSlot->Easy, CURLOPT_PROXYHEADER, FProxyHeaderList);
        Ap.ProxyHeaders = FProxyHeaderList;
    }
    return true;
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders,
                                                DWORD dwHeadersLength, DWORD dwModifiers) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            std::vector<std::string> Lines;
            if (!lpszHeaders || dwHeadersLength == 0 ||
                !ParseHeaderBlock(lpszHeaders, dwHeadersLength, Lines) || Lines.empty())
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            // The lines go in all together or, when one is refused, none of them.
            std::vector<std::string> Added = R->AddedHeaders;
            for (const auto& L : Lines) {
                const std::string_view Name = HeaderName(L), Value = HeaderValue(L);
                auto It = std::find_if(Added.begin(), Added.end(), [&](const std::string& H) {
                    return SameText(HeaderName(H), Name);
                });
                const bool Exists = It != Added.end();
                std::string Line = std::string(Name) + ": " + std::string(Value);
                if (Exists && (dwModifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW))
                    return Fail(ERROR_WINHTTP_HEADER_ALREADY_EXISTS);
                if (dwModifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
                    // The first of the name goes; a value puts the header back, at the end.
                    // Without ADD there must be one to replace.
                    if (Exists) {
                        Added.erase(It);
                        if (Value.empty()) continue;
                    } else if (!(dwModifiers & WINHTTP_ADDREQ_FLAG_ADD)) {
                        return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
                    }
                    Added.push_back(std::move(Line));
                } else if (Exists &&
                           (dwModifiers & (WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA |
                                           WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))) {
                    // Into the first of the name.
                    const char* Sep =
                        (dwModifiers & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? ", " : "; ";
                    *It = std::string(HeaderName(*It)) + ": " + std::string(HeaderValue(*It)) +
                          Sep + std::string(Value);
                } else {
                    // ADD, ADD_IF_NEW for a new name, or no modifier: one more line.
                    Added.push_back(std::move(Line));
                }
            }
            R->AddedHeaders = std::move(Added);
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName,
                                           LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                                           LPDWORD lpdwIndex) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
            const DWORD Level = dwInfoLevel & 0xFFFF;
            const DWORD Mods = dwInfoLevel & ~0xFFFFu;
            const bool FromRequest = (Mods & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
            if ((Level > WINHTTP_QUERY_MAX && Level != WINHTTP_QUERY_CUSTOM) ||
                (Level == WINHTTP_QUERY_CUSTOM && WLen(pwszName) == 0))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            // The verb is the caller's from the start.
            if (!FromRequest && Level != WINHTTP_QUERY_REQUEST_METHOD && !R->HeadReady())
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
            const DWORD Index = lpdwIndex ? *lpdwIndex : 0;
            // Before a send the request's headers are those added so far.
            const std::vector<std::string>& Lines = !FromRequest ? R->ResponseLines
                                                    : R->Sent()  ? R->RequestLines
                                                                 : R->AddedHeaders;

            std::string Value;
            bool Found = false;
            auto Whole = [&](std::string V) {  // levels with a single value
                if (Index == 0) {
                    Value = std::move(V);
                    Found = true;
                }
            };
            switch (Level) {
                case WINHTTP_QUERY_STATUS_CODE:
                    if (!FromRequest) Whole(std::to_string(R->StatusCode));
                    break;
                case WINHTTP_QUERY_STATUS_TEXT:
                    if (!FromRequest) Whole(R->StatusText);
                    break;
                case WINHTTP_QUERY_VERSION:
                    Whole(FromRequest ? R->HttpVersion : R->ResponseVersion);
                    break;
                case WINHTTP_QUERY_REQUEST_METHOD:
                    Whole(R->Verb);
                    break;
                case WINHTTP_QUERY_RAW_HEADERS:
                case WINHTTP_QUERY_RAW_HEADERS_CRLF: {
                    if (!FromRequest && Index == 0 && Mods == 0 && R->Queried.RawLevel == Level &&
                        R->Queried.RawVersion == R->HeadVersion()) {
                        // The same head asked for again (its size first, then the text).
                        const BOOL Ok = CopyText(R->Queried.Text, lpBuffer, lpdwBufferLength);
                        if (Ok && lpdwIndex) *lpdwIndex = Index + 1;
                        return Ok;
                    }
                    // RAW_HEADERS separates lines with NULs, RAW_HEADERS_CRLF with CR LF.
                    const std::string Sep =
                        Level == WINHTTP_QUERY_RAW_HEADERS ? std::string(1, '\0') : "\r\n";
                    std::string Text = FromRequest ? R->Verb + " " + R->Path + " " + R->HttpVersion
                                                   : R->StatusLine;
                    std::size_t Size = Text.size() + 2 * Sep.size();
                    for (const auto& L : Lines) Size += L.size() + Sep.size();
                    Text.reserve(Size);
                    Text += Sep;
                    for (const auto& L : Lines) {
                        Text += L;
                        Text += Sep;
                    }
                    // CRLF ends with an empty line; the NUL-separated list ends with the NUL
                    // that terminates the text.
                    if (Level == WINHTTP_QUERY_RAW_HEADERS_CRLF) Text += Sep;
                    Whole(std::move(Text));
                    break;
                }
                default: {
                    std::string Name = Level == WINHTTP_QUERY_CUSTOM
                                           ? ToUtf8(pwszName)
                                           : (LevelName(Level) ? LevelName(Level) : "");
                    if (Name.empty()) break;
                    DWORD Seen = 0;
                    for (const auto& L : Lines) {
                        std::size_t Colon = L.find(':');
                        if (Colon == std::string::npos ||
                            !SameText(Trim(std::string_view(L).substr(0, Colon)), Name))
                            continue;
                        if (Seen++ == Index) {
                            Value = std::string(Trim(std::string_view(L).substr(Colon + 1)));
                            Found = true;
                            break;
                        }
                    }
                }
            }
            if (!Found) return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);

            BOOL Ok;
            if (Mods & WINHTTP_QUERY_FLAG_NUMBER) {
                std::uint64_t N = 0;
                if (!ParseDword(Value, UINT32_MAX, N))
                    return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
                Ok = CopyValue(static_cast<DWORD>(N), lpBuffer, lpdwBufferLength);
            } else if (Mods & WINHTTP_QUERY_FLAG_NUMBER64) {
                std::uint64_t N = 0;
                if (!ParseDword(Value, UINT64_MAX / 10, N))
                    return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
                Ok = CopyValue(N, lpBuffer, lpdwBufferLength);
            } else if (Mods & WINHTTP_QUERY_FLAG_SYSTEMTIME) {
                SYSTEMTIME T{};
                if (!ParseHttpDate(Value, T)) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
                Ok = CopyValue(T, lpBuffer, lpdwBufferLength);
            } else {
                if (Value != R->Queried.Wire) {
                    R->Queried.Text = WireToUtf16(Value);
                    R->Queried.Wire = std::move(Value);
                }
                const bool WholeHead = !FromRequest && (Level == WINHTTP_QUERY_RAW_HEADERS ||
                                                        Level == WINHTTP_QUERY_RAW_HEADERS_CRLF);
                R->Queried.RawLevel = WholeHead ? Level : 0;
                R->Queried.RawVersion = R->HeadVersion();
                Ok = CopyText(R->Queried.Text, lpBuffer, lpdwBufferLength);
            }
            if (Ok && lpdwIndex) *lpdwIndex = Index + 1;
            return Ok;
        },
        FALSE);
}

}  // extern "C"
