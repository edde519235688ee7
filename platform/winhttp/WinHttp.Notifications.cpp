// Status callbacks in the synchronous mode: the progress of a request (name resolution,
// connection, sending, receiving, redirects, interim answers, connections closed), handles
// created and closing, and secure failures, each on the thread of the call that caused it.
//
// Notifications raised while curl runs (its callbacks) are queued and delivered once curl has
// returned: a callback may then call back into the API, even close the handle, without
// re-entering curl.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <tuple>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

/// The host of "scheme://host:port/path", without brackets around an IPv6 literal.
std::string HostOf(const std::string& Url) {
    std::size_t Start = Url.find("://");
    Start = Start == std::string::npos ? 0 : Start + 3;
    std::size_t End = Url.find('/', Start);
    std::string Authority = Url.substr(Start, End == std::string::npos ? End : End - Start);
    if (!Authority.empty() && Authority.front() == '[') {
        std::size_t Close = Authority.find(']');
        return Authority.substr(1, Close == std::string::npos ? Close : Close - 1);
    }
    return Authority.substr(0, Authority.rfind(':'));
}

/// The local port of a socket: 0 until it is bound (curl binds it with its connect).
int LocalPortOf(curl_socket_t S) {
    sockaddr_storage Local{};
    socklen_t Len = sizeof Local;
    if (getsockname(S, reinterpret_cast<sockaddr*>(&Local), &Len) != 0) return 0;
    return Local.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(Local).sin_port)
           : Local.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6&>(Local).sin6_port)
               : 0;
}

/// Calls Each for every connection in List bound to local port Port. A socket's local port is
/// fixed from its connect on: the system is asked once per connection, not again for every
/// request. A hub's list, which may hold hundreds, is searched through its sorted index.
template <typename F>
void ForEachOnPort(THub* Hub, std::vector<TConnection>& List, int Port, F Each) {
    if (Port == 0) return;
    if (!Hub) {
        for (TConnection& C : List) {
            if (C.LocalPort == 0) C.LocalPort = LocalPortOf(C.Socket);
            if (C.LocalPort == Port) Each(C);
        }
        return;
    }
    auto& Ports = Hub->Ports;
    auto Less = [](const THub::TPortEntry& E, int P) { return E.Port < P; };
    auto Found = [&] {
        auto It = std::lower_bound(Ports.begin(), Ports.end(), Port, Less);
        auto End = It;
        while (End != Ports.end() && End->Port == Port) ++End;
        return std::make_pair(It, End);
    };
    auto [Begin, End] = Found();
    bool Current = !Hub->PortsStale;
    for (auto It = Begin; Current && It != End; ++It)
        Current = It->At < List.size() && List[It->At].Socket == It->Socket;
    if (!Current) {
        Ports.clear();
        Hub->PortsStale = false;
        for (std::size_t I = 0; I < List.size(); ++I) {
            TConnection& C = List[I];
            if (C.LocalPort == 0) C.LocalPort = LocalPortOf(C.Socket);
            if (C.LocalPort == 0)
                Hub->PortsStale = true;  // not connected yet: asked again next time
            else
                Ports.push_back({C.LocalPort, C.Socket, I});
        }
        std::sort(
            Ports.begin(), Ports.end(),
            [](const THub::TPortEntry& A, const THub::TPortEntry& B) { return A.Port < B.Port; });
        std::tie(Begin, End) = Found();
    }
    for (auto It = Begin; It != End; ++It) Each(List[It->At]);
}

std::string AddressText(const sockaddr* A) {
    char Buf[INET6_ADDRSTRLEN] = {};
    if (A->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(A)->sin_addr, Buf, sizeof Buf);
    else if (A->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(A)->sin6_addr, Buf, sizeof Buf);
    return Buf;
}

}  // namespace

bool TObject::Wants(DWORD Status) {
    if (!Listening.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> G(NotifyLock);
    return Callback && Callback != WINHTTP_INVALID_STATUS_CALLBACK && (NotifyFlags & Status);
}

void TObject::Notify(DWORD Status, LPVOID Info, DWORD Length) {
    WINHTTP_STATUS_CALLBACK Fn = nullptr;
    DWORD_PTR Ctx = 0;
    if (!Listening.load(std::memory_order_acquire)) return;
    {
        std::lock_guard<std::mutex> G(NotifyLock);
        if (!Callback || Callback == WINHTTP_INVALID_STATUS_CALLBACK || !(NotifyFlags & Status))
            return;
        Fn = Callback;
        Ctx = Context;
    }
    Fn(Handle, Ctx, Status, Info, Length);
}

void TRequest::Queue(DWORD Status, DWORD Value, std::u16string Text) {
    if (!Wants(Status)) return;
    Stir();  // the loop delivers it
    FNotes.push_back(TNote{Status, Value, std::move(Text)});
}

void TRequest::Deliver() {
    if (FAsyncMode) return;  // the session's thread delivers them (WinHttp.Async.cpp)
    // Each notification is taken off the queue before its callback runs: one that calls back
    // into this request (a nested call fails, a close only flags) finds the queue consistent.
    // The response's own wait until the caller asks for it.
    auto Due = [this] {
        return !FNotes.empty() &&
               (FReceiving || FNotes.front().Status != WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE);
    };
    if (FHold && FHold->Held()) {
        // In a hub, the callbacks of other threads' rounds queue notes too: they are taken
        // under its lock, and the status callback runs without it (it may call in again).
        std::vector<TNote> Taken;
        while (Due()) {
            Taken.push_back(std::move(FNotes.front()));
            FNotes.erase(FNotes.begin());
        }
        if (Taken.empty()) return;
        FHold->Release();
        for (TNote& N : Taken) Announce(N);
        FHold->Acquire();
        return;
    }
    while (Due()) {
        TNote N = std::move(FNotes.front());
        FNotes.erase(FNotes.begin());
        Announce(N);
    }
}

void TRequest::Announce(TNote& N) {
    if (!N.Text.empty() || N.Status == WINHTTP_CALLBACK_STATUS_RESOLVING_NAME ||
        N.Status == WINHTTP_CALLBACK_STATUS_NAME_RESOLVED ||
        N.Status == WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER ||
        N.Status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER ||
        N.Status == WINHTTP_CALLBACK_STATUS_REDIRECT) {
        // Texts are NUL-terminated; the length counts characters, the NUL included.
        Notify(N.Status, N.Text.data(), static_cast<DWORD>(N.Text.size() + 1));
    } else if (N.Status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT ||
               N.Status == WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED ||
               N.Status == WINHTTP_CALLBACK_STATUS_INTERMEDIATE_RESPONSE ||
               N.Status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE) {
        Notify(N.Status, &N.Value, sizeof N.Value);
    } else {
        Notify(N.Status, nullptr, 0);
    }
}

// A new connection is being opened for the request User (whichever thread runs curl): the
// name was resolved to Address.
curl_socket_t TRequest::OnOpenSocket(void* User, curlsocktype Purpose, curl_sockaddr* Address) {
    const curl_socket_t S = socket(Address->family, Address->socktype, Address->protocol);
    auto* R = static_cast<TRequest*>(User);
    if (S == CURL_SOCKET_BAD || !R || Purpose != CURLSOCKTYPE_IPCXN) return S;
    R->Connections().push_back({S, false, 0, nullptr});
    if (R->FHub) R->FHub->PortsStale = true;
    const std::u16string Ip = ToUtf16(AddressText(&Address->addr));
    if (!R->FNewConnection) {
        // Happy eyeballs may try a second address: the name was resolved once.
        R->FNewConnection = true;
        R->Queue(WINHTTP_CALLBACK_STATUS_RESOLVING_NAME, 0, ToUtf16(HostOf(R->FCurrentUrl)));
        R->Queue(WINHTTP_CALLBACK_STATUS_NAME_RESOLVED, 0, Ip);
    }
    R->Queue(WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER, 0, Ip);
    return S;
}

// Only a connection that carried a request is announced as closed; an attempt that failed is
// not.
int TRequest::OnCloseSocket(void* User, curl_socket_t Socket) {
    auto& List = *static_cast<std::vector<TConnection>*>(User);
    auto It = std::find_if(List.begin(), List.end(),
                           [Socket](const TConnection& C) { return C.Socket == Socket; });
    if (It != List.end()) {
        const bool Used = It->Used;
        // In an asynchronous session the request on it hears of it while its transfer runs
        // (a connection multiplexed over HTTP/2 belongs to no one request).
        TRequest* Owner =
            It->Owner && !It->Owner->FHttp2Now && !It->Owner->FDone && It->Owner->FInMulti
                ? It->Owner
                : nullptr;
        List.erase(It);
        TRequest* R = GDriving ? GDriving : Owner;
        if (Used && R) {
            R->Queue(WINHTTP_CALLBACK_STATUS_CLOSING_CONNECTION);
            R->Queue(WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED);
        }
    }
    return close(Socket);
}

// The connection is ready and the request about to go out.
void TRequest::NoteConnected(const char* RemoteIp, const char* LocalIp, int RemotePort,
                             int LocalPort) {
    // curl may take the hop to another connection (the reused one had died): the one before
    // no longer carries it.
    if (FAsyncMode) LeaveConnection();
    Peer.Known = true;
    Peer.RemoteIp = RemoteIp ? RemoteIp : "";
    Peer.LocalIp = LocalIp ? LocalIp : "";
    Peer.RemotePort = RemotePort;
    Peer.LocalPort = LocalPort;
    // The connection that carries it is the one of our sockets bound to that local port.
    ForEachOnPort(FHub, Connections(), LocalPort, [this](TConnection& C) {
        C.Used = true;
        if (FAsyncMode) C.Owner = this;
    });
    NoteTls();
    if (FNewConnection)
        Queue(WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER, 0, ToUtf16(Peer.RemoteIp));
    Queue(WINHTTP_CALLBACK_STATUS_SENDING_REQUEST);
}

void TRequest::LeaveConnection() {
    if (!Peer.Known) return;  // the hop had no connection: none names this request
    ForEachOnPort(FHub, Connections(), Peer.LocalPort, [this](TConnection& C) {
        if (C.Owner == this) C.Owner = nullptr;
    });
}

// A response head begins (Start) or is complete.
void TRequest::NoteHead(bool Start) {
    if (Start) {
        Queue(WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE);
        return;
    }
    Queue(WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED, static_cast<DWORD>(FHeadBytes - FHeadMark));
    if (StatusCode >= 100 && StatusCode < 200)
        Queue(WINHTTP_CALLBACK_STATUS_INTERMEDIATE_RESPONSE, static_cast<DWORD>(StatusCode));
}

// About to follow a redirect to FCurrentUrl; outside curl, so delivered at once.
void TRequest::NoteRedirect() {
    Queue(WINHTTP_CALLBACK_STATUS_REDIRECT, 0, ToUtf16(DisplayUrl(FCurrentUrl)));
    Deliver();
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI WINHTTP_STATUS_CALLBACK WINAPI
WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                         DWORD dwNotificationFlags, DWORD_PTR dwReserved) {
    (void)dwReserved;
    return Guard(
        [&]() -> WINHTTP_STATUS_CALLBACK {
            auto Obj = Lookup(hInternet);
            if (!Obj) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WINHTTP_INVALID_STATUS_CALLBACK;
            }
            std::lock_guard<std::mutex> G(Obj->NotifyLock);
            WINHTTP_STATUS_CALLBACK Old = Obj->Callback;
            Obj->Callback = lpfnInternetCallback;
            Obj->NotifyFlags = lpfnInternetCallback ? dwNotificationFlags : 0;
            Obj->Listening.store(lpfnInternetCallback &&
                                     lpfnInternetCallback != WINHTTP_INVALID_STATUS_CALLBACK &&
                                     Obj->NotifyFlags != 0,
                                 std::memory_order_release);
            SetLastError(ERROR_SUCCESS);
            return Old;
        },
        WINHTTP_INVALID_STATUS_CALLBACK);
}

}  // extern "C"
