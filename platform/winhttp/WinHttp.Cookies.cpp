// Cookies. A session keeps what its responses set (every hop's, redirects included) and each
// request adds the matching ones to the caller's own Cookie header, after what the caller
// wrote, or in a Cookie header of their own. WINHTTP_DISABLE_COOKIES on a request stops both
// for that request. A caller's own Cookie header is dropped on a redirect to another origin
// (WinHttp.Headers.cpp); the session's go wherever they match.

#include "WinHttp.Cookies.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "WinHttp.Handles.h"
#include "WinHttp.Headers.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

// Bounds on what a server can make a session keep: a cookie larger than browsers keep is
// ignored, and beyond this many the oldest go first.
constexpr std::size_t CookieSizeLimit = 4096;
constexpr std::size_t CookieCountLimit = 3000;

std::string Lower(std::string_view S) {
    std::string Out(S);
    for (char& C : Out)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return Out;
}

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// An address rather than a name: cookies for it never reach other hosts by suffix.
bool IsAddress(std::string_view Host) {
    if (Host.find(':') != std::string_view::npos) return true;
    return !Host.empty() &&
           std::all_of(Host.begin(), Host.end(), [](char C) { return IsDigit(C) || C == '.'; });
}

bool DomainMatches(std::string_view Host, std::string_view Domain) {
    if (Host == Domain) return true;
    return !IsAddress(Host) && Host.size() > Domain.size() &&
           Host.substr(Host.size() - Domain.size()) == Domain &&
           Host[Host.size() - Domain.size() - 1] == '.';
}

bool PathMatches(std::string_view RequestPath, std::string_view CookiePath) {
    if (RequestPath.substr(0, CookiePath.size()) != CookiePath) return false;
    return RequestPath.size() == CookiePath.size() || CookiePath.back() == '/' ||
           RequestPath[CookiePath.size()] == '/';
}

// The folder of the path a cookie without a Path attribute came from.
std::string DefaultPath(std::string_view RequestPath) {
    const std::size_t Slash = RequestPath.rfind('/');
    if (RequestPath.empty() || RequestPath[0] != '/' || Slash == 0) return "/";
    return std::string(RequestPath.substr(0, Slash));
}

std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) {
    Y -= M <= 2;
    const std::int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
    const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
    const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

// An Expires date in any of the forms servers write ("Wed, 21 Oct 2015 07:28:00 GMT",
// "Wednesday, 21-Oct-15 07:28:00 GMT", "Wed Oct 21 07:28:00 2015"): the time, the day, the
// month and the year are picked out of the words wherever they stand.
bool ParseCookieDate(std::string_view S, std::int64_t& Out) {
    auto IsDelimiter = [](char C) {
        const unsigned char U = static_cast<unsigned char>(C);
        return U == 0x09 || (U >= 0x20 && U <= 0x2F) || (U >= 0x3B && U <= 0x40) ||
               (U >= 0x5B && U <= 0x60) || (U >= 0x7B && U <= 0x7E);
    };
    static const char* const Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    int Hour = -1, Minute = 0, Second = 0, Day = -1, Month = -1, Year = -1;
    std::size_t I = 0;
    while (I < S.size()) {
        while (I < S.size() && IsDelimiter(S[I])) ++I;
        std::size_t J = I;
        while (J < S.size() && !IsDelimiter(S[J])) ++J;
        const std::string_view Word = S.substr(I, J - I);
        I = J;
        if (Word.empty()) continue;
        std::size_t Digits = 0;
        while (Digits < Word.size() && IsDigit(Word[Digits])) ++Digits;
        auto Number = [](std::string_view D) {
            int N = 0;
            for (char C : D) N = N * 10 + (C - '0');
            return N;
        };
        if (Hour < 0 && Digits >= 1 && Digits <= 2 && Digits < Word.size() && Word[Digits] == ':') {
            // hh:mm:ss, each one or two digits
            int Parts[3] = {};
            std::size_t P = 0;
            bool Ok = true;
            for (int K = 0; K < 3 && Ok; ++K) {
                std::size_t Q = P;
                while (Q < Word.size() && IsDigit(Word[Q])) ++Q;
                Ok = Q > P && Q - P <= 2 && (K == 2 || (Q < Word.size() && Word[Q] == ':'));
                if (Ok) Parts[K] = Number(Word.substr(P, Q - P));
                P = Q + 1;
            }
            if (Ok) {
                Hour = Parts[0];
                Minute = Parts[1];
                Second = Parts[2];
                continue;
            }
        }
        if (Day < 0 && Digits >= 1 && Digits <= 2) {
            Day = Number(Word.substr(0, Digits));
            continue;
        }
        if (Month < 0 && Word.size() >= 3) {
            const std::string Name = Lower(Word.substr(0, 3));
            for (int M = 0; M < 12; ++M)
                if (Name == Months[M]) Month = M + 1;
            if (Month > 0) continue;
        }
        if (Year < 0 && Digits >= 2 && Digits <= 4) {
            Year = Number(Word.substr(0, Digits));
            if (Year < 70)
                Year += 2000;
            else if (Year < 100)
                Year += 1900;
        }
    }
    if (Hour < 0 || Day < 1 || Day > 31 || Month < 0 || Year < 1601 || Hour > 23 || Minute > 59 ||
        Second > 59)
        return false;
    Out = DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day)) * 86400 +
          Hour * 3600 + Minute * 60 + Second;
    return true;
}

}  // namespace

bool TCookieTarget::Parse(std::string_view Url) {
    CURLU* U = curl_url();
    if (!U) throw std::bad_alloc();
    const std::string Text(Url);
    bool Ok = curl_url_set(U, CURLUPART_URL, Text.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK;
    auto Part = [&](CURLUPart Which) {
        char* P = nullptr;
        std::string Out;
        if (Ok && curl_url_get(U, Which, &P, 0) == CURLUE_OK) Out = P;
        curl_free(P);
        return Out;
    };
    const std::string Scheme = Lower(Part(CURLUPART_SCHEME));
    Host = Lower(Part(CURLUPART_HOST));
    Path = Part(CURLUPART_PATH);
    curl_url_cleanup(U);
    if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']')
        Host = Host.substr(1, Host.size() - 2);
    if (Path.empty() || Path[0] != '/') Path = "/" + Path;
    Secure = Scheme == "https";
    return Ok && !Host.empty() && (Secure || Scheme == "http");
}

void TCookieJar::Store(const TCookieTarget& From, std::string_view SetCookie) {
    TCookie C;
    std::size_t Semi = SetCookie.find(';');
    const std::string_view Pair = SetCookie.substr(0, Semi);
    const std::size_t Eq = Pair.find('=');
    if (Eq == std::string_view::npos) return;
    C.Name = std::string(Trim(Pair.substr(0, Eq)));
    C.Value = std::string(Trim(Pair.substr(Eq + 1)));
    // The pair goes out in a header line as it came: nothing that could end or split it.
    if (C.Name.empty() || C.Name.size() + C.Value.size() > CookieSizeLimit ||
        !IsFieldText(C.Name) || !IsFieldText(C.Value))
        return;
    C.Domain = From.Host;
    C.Path = DefaultPath(From.Path);
    bool HasMaxAge = false, HasExpires = false;
    std::int64_t MaxAge = 0, Expires = 0;
    while (Semi != std::string_view::npos) {
        SetCookie.remove_prefix(Semi + 1);
        Semi = SetCookie.find(';');
        const std::string_view Attribute = SetCookie.substr(0, Semi);
        const std::size_t AEq = Attribute.find('=');
        const std::string_view Key = Trim(Attribute.substr(0, AEq));
        const std::string_view Value =
            AEq == std::string_view::npos ? std::string_view() : Trim(Attribute.substr(AEq + 1));
        if (SameText(Key, "Domain")) {
            std::string_view D = Value;
            if (!D.empty() && D[0] == '.') D.remove_prefix(1);
            if (D.empty()) continue;
            const std::string Domain = Lower(D);
            // Only the host itself or a domain above it, and never one without a dot of its
            // own ("com"): a server may not set cookies for others.
            if (!DomainMatches(From.Host, Domain) ||
                (Domain != From.Host && Domain.find('.') == std::string::npos))
                return;
            C.Domain = Domain;
            C.HostOnly = Domain == From.Host;
        } else if (SameText(Key, "Path")) {
            if (!Value.empty() && Value[0] == '/') C.Path = std::string(Value);
        } else if (SameText(Key, "Secure")) {
            C.Secure = true;
        } else if (SameText(Key, "Max-Age")) {
            const bool Negative = !Value.empty() && Value[0] == '-';
            const std::string_view Digits = Negative ? Value.substr(1) : Value;
            if (Digits.empty() || !std::all_of(Digits.begin(), Digits.end(), IsDigit)) continue;
            MaxAge = 0;
            for (char D : Digits) {
                MaxAge = std::min<std::int64_t>(MaxAge * 10 + (D - '0'), std::int64_t{1} << 40);
            }
            if (Negative) MaxAge = -MaxAge;
            HasMaxAge = true;
        } else if (SameText(Key, "Expires")) {
            HasExpires = ParseCookieDate(Value, Expires);
        }
    }
    const std::int64_t Time = Now();
    bool Expired = false;
    if (HasMaxAge) {
        Expired = MaxAge <= 0;
        C.Expires = Time + MaxAge;
    } else if (HasExpires) {
        Expired = Expires <= Time;
        C.Expires = Expires;
    }

    std::lock_guard<std::mutex> G(FLock);
    auto Same = std::find_if(FCookies.begin(), FCookies.end(), [&](const TCookie& O) {
        return O.Name == C.Name && O.Domain == C.Domain && O.Path == C.Path;
    });
    if (Same != FCookies.end()) {
        if (Expired) {
            FCookies.erase(Same);
            return;
        }
        C.Order = Same->Order;  // a cookie set again keeps its place
        *Same = std::move(C);
        return;
    }
    if (Expired) return;
    if (FCookies.size() >= CookieCountLimit) {
        std::erase_if(FCookies,
                      [Time](const TCookie& O) { return O.Expires && O.Expires <= Time; });
        if (FCookies.size() >= CookieCountLimit)
            FCookies.erase(std::min_element(
                FCookies.begin(), FCookies.end(),
                [](const TCookie& A, const TCookie& B) { return A.Order < B.Order; }));
    }
    C.Order = FNextOrder++;
    FCookies.push_back(std::move(C));
}

std::string TCookieJar::Header(const TCookieTarget& To) {
    const std::int64_t Time = Now();
    std::vector<const TCookie*> Matching;
    std::lock_guard<std::mutex> G(FLock);
    std::erase_if(FCookies, [Time](const TCookie& O) { return O.Expires && O.Expires <= Time; });
    for (const TCookie& C : FCookies) {
        if (C.HostOnly ? To.Host != C.Domain : !DomainMatches(To.Host, C.Domain)) continue;
        if (!PathMatches(To.Path, C.Path) || (C.Secure && !To.Secure)) continue;
        Matching.push_back(&C);
    }
    std::sort(Matching.begin(), Matching.end(), [](const TCookie* A, const TCookie* B) {
        return A->Path.size() != B->Path.size() ? A->Path.size() > B->Path.size()
                                                : A->Order < B->Order;
    });
    std::string Out;
    for (const TCookie* C : Matching) {
        if (!Out.empty()) Out += "; ";
        Out += C->Name;
        Out += '=';
        Out += C->Value;
    }
    return Out;
}

bool TCookieJar::Empty() {
    std::lock_guard<std::mutex> G(FLock);
    return FCookies.empty();
}

// The session's cookies for the hop about to go to Url.
void TRequest::PickCookies(const std::string& Url) {
    FCookies.clear();
    if ((DisabledFeatures & WINHTTP_DISABLE_COOKIES) || Session().Cookies.Empty()) return;
    TCookieTarget To;
    if (To.Parse(Url)) FCookies = Session().Cookies.Header(To);
}

// What this hop's response head sets, kept by the session.
void TRequest::StoreCookies() {
    if (DisabledFeatures & WINHTTP_DISABLE_COOKIES) return;
    TCookieTarget From;
    bool Parsed = false;
    for (const auto& L : ResponseLines) {
        if (!SameText(HeaderName(L), "Set-Cookie")) continue;
        if (!Parsed && !(Parsed = From.Parse(FCurrentUrl))) return;
        Session().Cookies.Store(From, HeaderValue(L));
    }
}

}  // namespace WinHttpImpl
