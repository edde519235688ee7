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
    std::lock_guard<std::mutex> G(NotifyLock);
    return Callback && Callback != WINHTTP_INVALID_STATUS_CALLBACK && (NotifyFlags & Status);
}

void TObject::Notify(DWORD Status, LPVOID Info, DWORD Length) {
    WINHTTP_STATUS_CALLBACK Fn = nullptr;
    DWORD_PTR Ctx = 0;
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
    Peer.Known = true;
    Peer.RemoteIp = RemoteIp ? RemoteIp : "";
    Peer.LocalIp = LocalIp ? LocalIp : "";
    Peer.RemotePort = RemotePort;
    Peer.LocalPort = LocalPort;
    // The connection that carries it is the one of our sockets bound to that local port.
    for (auto& C : Connections()) {
        if (C.LocalPort == 0) {
            // A socket's local port is fixed from its connect on: the system is asked once,
            // not again for every request while hundreds of connections are open.
            sockaddr_storage Local{};
            socklen_t Len = sizeof Local;
            if (getsockname(C.Socket, reinterpret_cast<sockaddr*>(&Local), &Len) != 0) continue;
            C.LocalPort = Local.ss_family == AF_INET
                              ? ntohs(reinterpret_cast<const sockaddr_in&>(Local).sin_port)
                          : Local.ss_family == AF_INET6
                              ? ntohs(reinterpret_cast<const sockaddr_in6&>(Local).sin6_port)
                              : 0;
        }
        if (C.LocalPort == 0 || C.LocalPort != LocalPort) continue;
        C.Used = true;
        if (FAsyncMode) C.Owner = this;
    }
    NoteTls();
    if (FNewConnection)
        Queue(WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER, 0, ToUtf16(Peer.RemoteIp));
    Queue(WINHTTP_CALLBACK_STATUS_SENDING_REQUEST);
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
            SetLastError(ERROR_SUCCESS);
            return Old;
        },
        WINHTTP_INVALID_STATUS_CALLBACK);
}

}  // extern "C"
