// The recording WinHTTP library (see WinHttpRecorder.h): every export records its call and
// passes it on to the real libwinhttp, loaded from where the build put it.

#include "WinHttpRecorder.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "winhttp.h"

using TestSupport::TWinHttpRecord;

namespace {

TWinHttpRecord GRecord;

void* RealLibrary() {
    static void* const Handle = [] {
        void* H = dlopen(OSTREL_REAL_WINHTTP, RTLD_NOW | RTLD_LOCAL);
        if (!H) {
            std::fprintf(stderr, "recorder: cannot load %s: %s\n", OSTREL_REAL_WINHTTP, dlerror());
            std::abort();
        }
        return H;
    }();
    return Handle;
}

template <typename F>
F* Real(F*, const char* Name) {
    void* P = dlsym(RealLibrary(), Name);
    if (!P) {
        std::fprintf(stderr, "recorder: the real library lacks %s\n", Name);
        std::abort();
    }
    return reinterpret_cast<F*>(P);
}

// The real function of the same name, looked up once.
#define REAL(F)                              \
    (*[] {                                   \
        static auto* const P = Real(&F, #F); \
        return P;                            \
    }())

std::string Hex(std::uint32_t V) {
    char B[16];
    std::snprintf(B, sizeof B, "0x%08X", V);
    return B;
}

std::string Text(LPCWSTR S, std::size_t Length = std::string::npos) {
    if (!S) return "null";
    std::string Out = "\"";
    for (std::size_t I = 0; Length == std::string::npos ? S[I] != 0 : I < Length; ++I) {
        const char16_t C = S[I];
        if (C == '\r')
            Out += "\\r";
        else if (C == '\n')
            Out += "\\n";
        else if (C == '"' || C == '\\')
            Out += std::string("\\") + static_cast<char>(C);
        else if (C >= 0x20 && C < 0x7F)
            Out += static_cast<char>(C);
        else {
            char B[8];
            std::snprintf(B, sizeof B, "\\u%04X", static_cast<unsigned>(C));
            Out += B;
        }
    }
    return Out + "\"";
}

std::string Name(const void* H) {
    if (!H) return "null";
    std::lock_guard<std::mutex> Lock(GRecord.Lock);
    auto It = GRecord.Names.find(reinterpret_cast<std::uintptr_t>(H));
    return It == GRecord.Names.end() ? "?" : It->second;
}

std::string NameNew(HINTERNET H, const char* Kind) {
    if (!H) return "null";
    std::lock_guard<std::mutex> Lock(GRecord.Lock);
    std::string N = Kind + std::to_string(++GRecord.Counts[Kind]);
    GRecord.Names[reinterpret_cast<std::uintptr_t>(H)] = N;
    return N;
}

void Record(std::string Line) {
    std::lock_guard<std::mutex> Lock(GRecord.Lock);
    GRecord.Calls.push_back(std::move(Line));
}

// The error the next call of Function is to fail with, 0 for none; taken from the plan.
std::uint32_t Injected(const char* Function) {
    std::lock_guard<std::mutex> Lock(GRecord.Lock);
    auto It = GRecord.Failures.find(Function);
    if (It == GRecord.Failures.end() || It->second.empty()) return 0;
    const std::uint32_t Err = It->second.front();
    It->second.erase(It->second.begin());
    return Err;
}

// The result part of a line for a BOOL call; reads the last error before anything else.
std::string Outcome(BOOL Ok, const std::string& Detail = {}) {
    if (!Ok) return "fail " + std::to_string(GetLastError());
    return Detail.empty() ? "ok" : "ok " + Detail;
}

std::string Injection(std::uint32_t Err) {
    SetLastError(Err);
    return "fail " + std::to_string(Err) + " (injected)";
}

// Records "Call = result" and leaves the last error as the call set it.
template <typename R>
R Finish(const std::string& Call, const std::string& Result, R Value) {
    const DWORD Err = GetLastError();
    Record(Call + " = " + Result);
    SetLastError(Err);
    return Value;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) TWinHttpRecord* WinHttpRecorderState() {
    return &GRecord;
}

// ---- Recorded with their arguments ------------------------------------------------------

WINHTTPAPI HINTERNET WINAPI WinHttpOpen(LPCWSTR Agent, DWORD Access, LPCWSTR Proxy, LPCWSTR Bypass,
                                        DWORD Flags) {
    const std::string Call = "WinHttpOpen(" + Text(Agent) + ", " + std::to_string(Access) + ", " +
                             Text(Proxy) + ", " + Text(Bypass) + ", " + std::to_string(Flags) + ")";
    if (const std::uint32_t Err = Injected("WinHttpOpen"))
        return Finish<HINTERNET>(Call, Injection(Err), nullptr);
    HINTERNET H = REAL(WinHttpOpen)(Agent, Access, Proxy, Bypass, Flags);
    const DWORD Err = GetLastError();
    return Finish(Call, H ? NameNew(H, "session") : "fail " + std::to_string(Err), H);
}

WINHTTPAPI BOOL WINAPI WinHttpCloseHandle(HINTERNET H) {
    const std::string Call = "WinHttpCloseHandle(" + Name(H) + ")";
    if (const std::uint32_t Err = Injected("WinHttpCloseHandle"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpCloseHandle)(H);
    return Finish(Call, Outcome(Ok), Ok);
}

WINHTTPAPI HINTERNET WINAPI WinHttpConnect(HINTERNET Session, LPCWSTR Server, INTERNET_PORT Port,
                                           DWORD Reserved) {
    const std::string Call = "WinHttpConnect(" + Name(Session) + ", " + Text(Server) + ", " +
                             std::to_string(Port) + ", " + std::to_string(Reserved) + ")";
    if (const std::uint32_t Err = Injected("WinHttpConnect"))
        return Finish<HINTERNET>(Call, Injection(Err), nullptr);
    HINTERNET H = REAL(WinHttpConnect)(Session, Server, Port, Reserved);
    const DWORD Err = GetLastError();
    return Finish(Call, H ? NameNew(H, "conn") : "fail " + std::to_string(Err), H);
}

WINHTTPAPI HINTERNET WINAPI WinHttpOpenRequest(HINTERNET Conn, LPCWSTR Verb, LPCWSTR Object,
                                               LPCWSTR Version, LPCWSTR Referrer,
                                               LPCWSTR* AcceptTypes, DWORD Flags) {
    const std::string Call = "WinHttpOpenRequest(" + Name(Conn) + ", " + Text(Verb) + ", " +
                             Text(Object) + ", " + Text(Version) + ", " + Text(Referrer) + ", " +
                             (AcceptTypes ? "types" : "null") + ", " + Hex(Flags) + ")";
    if (const std::uint32_t Err = Injected("WinHttpOpenRequest"))
        return Finish<HINTERNET>(Call, Injection(Err), nullptr);
    HINTERNET H =
        REAL(WinHttpOpenRequest)(Conn, Verb, Object, Version, Referrer, AcceptTypes, Flags);
    const DWORD Err = GetLastError();
    return Finish(Call, H ? NameNew(H, "req") : "fail " + std::to_string(Err), H);
}

WINHTTPAPI BOOL WINAPI WinHttpSetTimeouts(HINTERNET H, int Resolve, int Connect, int Send,
                                          int Receive) {
    const std::string Call = "WinHttpSetTimeouts(" + Name(H) + ", " + std::to_string(Resolve) +
                             ", " + std::to_string(Connect) + ", " + std::to_string(Send) + ", " +
                             std::to_string(Receive) + ")";
    if (const std::uint32_t Err = Injected("WinHttpSetTimeouts"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpSetTimeouts)(H, Resolve, Connect, Send, Receive);
    return Finish(Call, Outcome(Ok), Ok);
}

WINHTTPAPI BOOL WINAPI WinHttpSetOption(HINTERNET H, DWORD Option, LPVOID Buffer, DWORD Length) {
    std::string Value = "length " + std::to_string(Length);
    if (Buffer && Length == sizeof(DWORD)) Value = std::to_string(*static_cast<DWORD*>(Buffer));
    const std::string Call =
        "WinHttpSetOption(" + Name(H) + ", " + std::to_string(Option) + ", " + Value + ")";
    if (const std::uint32_t Err = Injected("WinHttpSetOption"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpSetOption)(H, Option, Buffer, Length);
    return Finish(Call, Outcome(Ok), Ok);
}

WINHTTPAPI WINHTTP_STATUS_CALLBACK WINAPI WinHttpSetStatusCallback(HINTERNET H,
                                                                   WINHTTP_STATUS_CALLBACK Callback,
                                                                   DWORD Flags,
                                                                   DWORD_PTR Reserved) {
    const std::string Call = "WinHttpSetStatusCallback(" + Name(H) + ", " +
                             (Callback ? "callback" : "null") + ", " + Hex(Flags) + ", " +
                             std::to_string(Reserved) + ")";
    if (const std::uint32_t Err = Injected("WinHttpSetStatusCallback"))
        return Finish(Call, Injection(Err), WINHTTP_INVALID_STATUS_CALLBACK);
    WINHTTP_STATUS_CALLBACK Previous = REAL(WinHttpSetStatusCallback)(H, Callback, Flags, Reserved);
    const DWORD Err = GetLastError();
    std::string Result = Previous == WINHTTP_INVALID_STATUS_CALLBACK ? "fail " + std::to_string(Err)
                         : Previous                                  ? "callback"
                                                                     : "null";
    return Finish(Call, Result, Previous);
}

WINHTTPAPI BOOL WINAPI WinHttpSendRequest(HINTERNET H, LPCWSTR Headers, DWORD HeadersLength,
                                          LPVOID Optional, DWORD OptionalLength, DWORD Total,
                                          DWORD_PTR Context) {
    const std::string Call =
        "WinHttpSendRequest(" + Name(H) + ", " +
        Text(Headers, HeadersLength == 0xFFFFFFFF ? std::string::npos : HeadersLength) + ", " +
        std::to_string(HeadersLength) + ", " + (Optional ? "data" : "null") + ", " +
        std::to_string(OptionalLength) + ", " + std::to_string(Total) + ", " +
        (Context ? "context" : "0") + ")";
    if (const std::uint32_t Err = Injected("WinHttpSendRequest"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpSendRequest)(H, Headers, HeadersLength, Optional, OptionalLength,
                                             Total, Context);
    return Finish(Call, Outcome(Ok), Ok);
}

WINHTTPAPI BOOL WINAPI WinHttpWriteData(HINTERNET H, LPCVOID Buffer, DWORD Length,
                                        LPDWORD Written) {
    const std::string Call = "WinHttpWriteData(" + Name(H) + ", " + std::to_string(Length) + ")";
    if (const std::uint32_t Err = Injected("WinHttpWriteData"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpWriteData)(H, Buffer, Length, Written);
    return Finish(Call, Outcome(Ok, Written ? std::to_string(*Written) : ""), Ok);
}

WINHTTPAPI BOOL WINAPI WinHttpReceiveResponse(HINTERNET H, LPVOID Reserved) {
    const std::string Call =
        "WinHttpReceiveResponse(" + Name(H) + ", " + (Reserved ? "reserved" : "null") + ")";
    if (const std::uint32_t Err = Injected("WinHttpReceiveResponse"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpReceiveResponse)(H, Reserved);
    return Finish(Call, Outcome(Ok), Ok);
}

WINHTTPAPI BOOL WINAPI WinHttpQueryHeaders(HINTERNET H, DWORD Level, LPCWSTR HeaderName,
                                           LPVOID Buffer, LPDWORD Length, LPDWORD Index) {
    // The length going in is shown for a size probe and for numbers; for a text it is
    // whatever the probe answered.
    std::string Call = "WinHttpQueryHeaders(" + Name(H) + ", " + Hex(Level) + ", " +
                       Text(HeaderName) + ", " + (Buffer ? "buffer" : "null");
    if (Length && (!Buffer || (Level & WINHTTP_QUERY_FLAG_NUMBER)))
        Call += ", " + std::to_string(*Length);
    Call += std::string(", ") + (Index ? "index" : "null") + ")";
    if (const std::uint32_t Err = Injected("WinHttpQueryHeaders"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpQueryHeaders)(H, Level, HeaderName, Buffer, Length, Index);
    return Finish(Call, Outcome(Ok), Ok);
}

WINHTTPAPI BOOL WINAPI WinHttpReadData(HINTERNET H, LPVOID Buffer, DWORD Length, LPDWORD Read) {
    const std::string Call = "WinHttpReadData(" + Name(H) + ", " + std::to_string(Length) + ")";
    if (const std::uint32_t Err = Injected("WinHttpReadData"))
        return Finish<BOOL>(Call, Injection(Err), FALSE);
    const BOOL Ok = REAL(WinHttpReadData)(H, Buffer, Length, Read);
    return Finish(Call, Outcome(Ok, Read ? std::to_string(*Read) : ""), Ok);
}

// ---- Passed on with their name only -----------------------------------------------------

#define RECORDER_PASS(Ret, F, Params, Args)  \
    WINHTTPAPI Ret WINAPI F Params {         \
        Ret Result = REAL(F) Args;           \
        return Finish(#F, "passed", Result); \
    }

RECORDER_PASS(BOOL, WinHttpTimeFromSystemTime, (const SYSTEMTIME* T, LPWSTR S), (T, S))
RECORDER_PASS(BOOL, WinHttpTimeToSystemTime, (LPCWSTR S, SYSTEMTIME* T), (S, T))
RECORDER_PASS(BOOL, WinHttpCrackUrl, (LPCWSTR U, DWORD L, DWORD F, LPURL_COMPONENTS C),
              (U, L, F, C))
RECORDER_PASS(BOOL, WinHttpCreateUrl, (LPURL_COMPONENTS C, DWORD F, LPWSTR U, LPDWORD L),
              (C, F, U, L))
RECORDER_PASS(BOOL, WinHttpCheckPlatform, (void), ())
RECORDER_PASS(BOOL, WinHttpGetDefaultProxyConfiguration, (WINHTTP_PROXY_INFO * P), (P))
RECORDER_PASS(BOOL, WinHttpSetDefaultProxyConfiguration, (WINHTTP_PROXY_INFO * P), (P))
RECORDER_PASS(BOOL, WinHttpQueryDataAvailable, (HINTERNET H, LPDWORD N), (H, N))
RECORDER_PASS(BOOL, WinHttpQueryOption, (HINTERNET H, DWORD O, LPVOID B, LPDWORD L), (H, O, B, L))
RECORDER_PASS(BOOL, WinHttpAddRequestHeaders, (HINTERNET H, LPCWSTR S, DWORD L, DWORD M),
              (H, S, L, M))
RECORDER_PASS(BOOL, WinHttpSetCredentials,
              (HINTERNET H, DWORD T, DWORD S, LPCWSTR U, LPCWSTR P, LPVOID A), (H, T, S, U, P, A))
RECORDER_PASS(BOOL, WinHttpQueryAuthSchemes, (HINTERNET H, LPDWORD S, LPDWORD F, LPDWORD T),
              (H, S, F, T))
RECORDER_PASS(BOOL, WinHttpDetectAutoProxyConfigUrl, (DWORD F, LPWSTR* U), (F, U))
RECORDER_PASS(BOOL, WinHttpGetProxyForUrl,
              (HINTERNET H, LPCWSTR U, WINHTTP_AUTOPROXY_OPTIONS* O, WINHTTP_PROXY_INFO* P),
              (H, U, O, P))
RECORDER_PASS(BOOL, WinHttpGetIEProxyConfigForCurrentUser,
              (WINHTTP_CURRENT_USER_IE_PROXY_CONFIG * C), (C))

}  // extern "C"
