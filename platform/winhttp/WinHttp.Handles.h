#pragma once
// The objects behind WinHTTP handles. A session owns a curl share (DNS and TLS sessions) and a
// pool of transfer slots; each request drives one easy handle through its own multi handle,
// synchronously, with bounded buffers in both directions.
//
// Requests that offer HTTP/2 on TLS are the exception: they run in one multi handle of the
// session, its hub, so that requests to one origin become streams of one connection. The
// hub's handles are used under its lock by one thread at a time: a thread waiting for the
// network polls for all of them without the lock, and whichever thread runs curl runs the
// callbacks of every request in the hub, which then fill each request's own buffers (see
// THub).
//
// Threads: any number of threads may run requests of one session at once. What they share
// through the curl share (DNS answers, TLS sessions) is kept under the share's locks, which
// libcurl supports across threads. Connections are not shared that way (libcurl does not
// support a shared connection cache across concurrent threads): each slot's multi handle
// keeps the connections its requests made, and a slot serves one request at a time, so
// only one thread ever touches a connection cache. A thread that runs its requests one after
// another gets its slot back from the pool, and with it its open connection.
//
// Asynchronous sessions (WINHTTP_FLAG_ASYNC) run every request in the session's hub, driven
// by one thread of the session's own, TAsyncLoop, which also delivers every callback of the
// operations; see the top of WinHttp.Async.cpp.
//
// Where things live: handles and the session's slot pool in WinHttp.Session.cpp; the
// transfer, its drive loop and redirects in WinHttp.Transfer.cpp; request and response
// headers in WinHttp.Headers.cpp; options and time-outs in WinHttp.Options.cpp; content
// decoding in WinHttp.Decoding.cpp; certificate checks in WinHttp.Security.cpp; proxies in
// WinHttp.Proxy.cpp; URLs in WinHttp.Url.cpp; cookies and authentication in WinHttp.Cookies.cpp
// and WinHttp.Auth.cpp; what every exported function shares in WinHttp.Api.h.

#include <curl/curl.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "WinHttp.Cookies.h"
#include "winhttp.h"

struct x509_store_ctx_st;  // OpenSSL's X509_STORE_CTX
struct x509_st;            // OpenSSL's X509

namespace WinHttpImpl {

// curl's receive buffer: on loopback its size, not curl, sets the pace of large bodies.
inline constexpr long ReceiveBufferSize = 512 * 1024;
// ... in an asynchronous session: curl's own default. curl allocates the buffer when a transfer
// starts and frees it when it ends; a session serving requests by the hundred paid for half a
// megabyte each time (the heap grown and trimmed again), as much as the rest of a small
// request's work.
inline constexpr long AsyncReceiveBufferSize = CURL_MAX_WRITE_SIZE;
// Bytes held for a caller that reads slower than the network delivers; beyond this the
// transfer pauses. One more curl buffer may arrive on top of it.
inline constexpr std::size_t BufferedLimit = 1024 * 1024;
// What a step of an asynchronous operation returns when it has to wait for the network
// (Windows' ERROR_IO_PENDING); never seen by a caller.
inline constexpr DWORD PendingResult = 997;

/// The performance counter, on which the moments of a transfer are taken.
std::int64_t Tick();

/// Time-outs in milliseconds as the caller set them, the whole DWORD range kept; 0 and
/// 0xFFFFFFFF (-1) mean no limit.
struct TTimeouts {
    DWORD Resolve = 0;
    DWORD Connect = 60000;
    DWORD Send = 30000;
    DWORD Receive = 30000;
    DWORD ReceiveResponse = 90000;  // for the whole response head
    /// A value as a wait: 0 for no limit; waits beyond INT_MAX ms (24 days) are as good as none
    /// and are kept at that.
    static int Wait(DWORD V) {
        return V == 0xFFFFFFFFu ? 0 : static_cast<int>(V > 0x7FFFFFFFu ? 0x7FFFFFFFu : V);
    }
};

/// Common part of every handle.
class TObject {
  public:
    explicit TObject(DWORD AKind) : Kind(AKind) {}
    virtual ~TObject() = default;
    /// Called when the handle is closed; wakes a call blocked on it.
    virtual void Close() {}
    /// A new handle starts with the status callback, flags and context of the one it was made
    /// from, taken under that handle's lock: another thread may be setting them meanwhile.
    void InheritNotifications(TObject& From) {
        std::lock_guard<std::mutex> G(From.NotifyLock);
        Callback = From.Callback;
        NotifyFlags = From.NotifyFlags;
        Context = From.Context;
        Listening = From.Listening.load(std::memory_order_relaxed);
    }
    /// Calls the status callback when its flags ask for Status, with a copy of the callback and
    /// context taken under NotifyLock and no lock held: the callback may call back into the API
    /// (close this handle, query options). WinHttp.Notifications.cpp.
    void Notify(DWORD Status, LPVOID Info, DWORD Length);
    bool Wants(DWORD Status);
    void SetContext(DWORD_PTR Value) {
        std::lock_guard<std::mutex> G(NotifyLock);
        Context = Value;
    }
    DWORD_PTR GetContext() {
        std::lock_guard<std::mutex> G(NotifyLock);
        return Context;
    }

    const DWORD Kind;  // WINHTTP_HANDLE_TYPE_*
    HINTERNET Handle = nullptr;
    std::shared_ptr<TObject> Parent;
    // The status callback, its flags and the context: under NotifyLock, which is never held
    // while anything else runs, so a thread blocked in a call on this handle (holding Lock)
    // does not keep another from being notified.
    DWORD_PTR Context = 0;
    WINHTTP_STATUS_CALLBACK Callback = nullptr;
    DWORD NotifyFlags = 0;
    // A callback is set that some notification may reach (written under NotifyLock): read
    // without the lock, so that a handle nobody listens to pays no lock per notification.
    std::atomic<bool> Listening{false};
    std::mutex NotifyLock;
    std::recursive_mutex Lock;  // one API call at a time per handle
};

class TRequest;

/// The sockets of the connections curl opened, and whether each has carried a request.
struct TConnection {
    curl_socket_t Socket;
    bool Used;
    int LocalPort = 0;  // 0 until known (the socket is connecting or connected then)
    // In an asynchronous session: the request whose transfer runs on it now, told when it
    // closes (null when none; cleared under the hub's lock when that transfer is reset).
    TRequest* Owner = nullptr;
};

/// One easy handle with the multi handle that drives it; pooled by the session so that
/// connections (kept in the multi handle's cache), buffers and curl's own state are reused
/// across requests. Used by one request, so by one thread, at a time. Each multi handle holds
/// a pair of descriptors of its own (libcurl's wake-up pair); the slots of an asynchronous
/// session have none, since their requests run in the session's hub.
struct TSlot {
    CURLM* Multi = nullptr;  // null in an asynchronous session
    // Its requests offer HTTP/2. Connections made without the offer are HTTP/1.1 for good, so
    // they are kept apart from requests that make it.
    bool Http2 = false;
    std::vector<TConnection> Connections;  // of the connections in Multi's cache
    CURL* Easy = nullptr;
    char ErrorText[CURL_ERROR_SIZE] = {};  // curl's text for the last failure
    curl_slist* PlainHeaders = nullptr;    // the list for requests without headers or body
    // Options as last set on Easy: setting an unchanged one again would only cost (curl
    // copies and parses texts), since the handle is never reset.
    struct TApplied {
        std::string Url, Agent, Target;
        bool AgentSet = false;
        long Version = -1, ConnectMs = -1, ForbidReuse = -1, FreshConnect = -1, PipeWait = -1;
        long SslVersion = -1, VerifyHost = -1, SessionCache = -1, VerifyStatus = -1;
        long IgnoreLength = -1;
        // What curl's callbacks are given: the request (its address; a later one may have
        // the same), and the list of the connections its sockets belong to.
        const void* Owner = nullptr;
        const void* Sockets = nullptr;
        curl_slist* Headers = nullptr;
        bool HeadersSet = false;
        bool Credentials = false;  // user names set (they stay until cleared)
        bool AuthUsed = false;     // curl may keep another request's authentication state
        curl_slist* ProxyHeaders = nullptr;
    } Applied;
    // The encoded form of the last server certificate seen on this slot, with a reference
    // that keeps that certificate (and so its address) alive until it changes or the slot
    // goes. Requests on a kept-alive connection see the same certificate object, and encoding
    // it again for each would cost as much as the rest of a small request's TLS work.
    x509_st* NotedCertificate = nullptr;
    std::vector<unsigned char> NotedEncoding;
    explicit TSlot(bool WithMulti);
    ~TSlot();
    /// Sets a number option on Easy unless it holds that value already (Last: as last set).
    void SetLong(CURLoption Option, long& Last, long Value) {
        if (Last != Value) curl_easy_setopt(Easy, Option, Value);
        Last = Value;
    }
    TSlot(const TSlot&) = delete;
    TSlot& operator=(const TSlot&) = delete;
};

/// The session's multi handle for requests that offer HTTP/2 (see the top of this file).
/// Everything of curl's that belongs to it (the multi handle, the easy handles in it, and
/// what their callbacks write into their requests) is used under Lock and only while no
/// thread polls; the one that polls does so without the lock, with Polling set.
struct THub {
    THub();
    ~THub();
    THub(const THub&) = delete;
    THub& operator=(const THub&) = delete;

    CURLM* Multi = nullptr;
    std::mutex Lock;
    std::condition_variable Turn;  // a round of curl ran, a poll ended or the lock was let go
    bool Polling = false;          // a thread waits in curl_multi_poll
    int Waiters = 0;               // threads waiting for that poll to end
    std::uint64_t Rounds = 0;      // rounds of curl run
    // The connections its transfers opened: they outlive any one request and its slot.
    std::vector<TConnection> Connections;
    // The same by local port, sorted, to find the one a transfer runs on among hundreds
    // without a pass over all (WinHttp.Notifications.cpp). Made again when a connection was
    // opened since (PortsStale) or a place it gives is out of date (one closed before it).
    struct TPortEntry {
        int Port;
        curl_socket_t Socket;
        std::size_t At;  // in Connections
    };
    std::vector<TPortEntry> Ports;
    bool PortsStale = false;

    /// Under Lock, after a round of curl: each request of the hub whose transfer ended is
    /// told so, with curl's result.
    void CollectDone();
    // Asynchronous requests moved since the loop last looked (TRequest::Stir), under Lock;
    // each is held by the loop while it is here.
    std::vector<TRequest*> Stirred;
    // Asynchronous requests sent since the loop's last round, under Lock: the loop hands their
    // transfers to curl before its next one, so that a send from another thread need not wait
    // for the poll to end. Each is held by the loop while it is here.
    std::vector<TRequest*> Adding;
    bool Woken = false;  // under Lock: the poll in progress was woken already
};

/// Use of a hub's handles for one call: the lock, taken when no thread polls. Nothing is held
/// for a request outside a hub.
class THubHold {
  public:
    explicit THubHold(THub* Hub) : FHub(Hub) { Acquire(); }
    /// The lock alone, a thread polling or not: for work that does not touch curl's handles
    /// (Settle comes first for what does).
    struct TLockOnly {};
    THubHold(THub* Hub, TLockOnly) : FHub(Hub) {
        if (FHub) FLock = std::unique_lock<std::mutex>(FHub->Lock);
    }
    ~THubHold() { Release(); }
    THubHold(const THubHold&) = delete;
    THubHold& operator=(const THubHold&) = delete;
    /// Takes the lock and waits until no thread polls (waking the one that does).
    void Acquire();
    /// Lets the lock go (for a status callback, or when done).
    void Release();
    /// With the lock held: waits until no thread polls (waking the one that does).
    void Settle();
    bool Held() const { return FLock.owns_lock(); }
    THub* Hub() const { return FHub; }
    std::unique_lock<std::mutex>& Lock() { return FLock; }

  private:
    THub* FHub;
    std::unique_lock<std::mutex> FLock;
};

class TRequest;
struct TAsyncDelivery;

/// The start of an asynchronous operation that StartAsync runs under the hub's lock: a
/// reference to the caller's function, used only during that call, so nothing is allocated
/// for it (a std::function holding a lambda with a few captures is).
class TAsyncBegin {
  public:
    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TAsyncBegin>) TAsyncBegin(F&& Fn)
        : FFn(&Fn), FCall([](const void* P) -> DWORD {
              return (*static_cast<const std::remove_reference_t<F>*>(P))();
          }) {}
    DWORD operator()() const { return FCall(FFn); }

  private:
    const void* FFn;
    DWORD (*FCall)(const void*);
};

/// The thread of an asynchronous session and what it looks after (WinHttp.Async.cpp): it runs
/// curl on the session's hub, moves each pending operation on, and delivers the callbacks of
/// the session's requests. Made with the session, stopped and joined when it goes.
struct TAsyncLoopThread;

class TAsyncLoop {
  public:
    explicit TAsyncLoop(THub& AHub);
    ~TAsyncLoop();
    TAsyncLoop(const TAsyncLoop&) = delete;
    TAsyncLoop& operator=(const TAsyncLoop&) = delete;

    /// Under the hub's lock: the loop keeps R until nothing of it is left to do (an operation
    /// in progress, a completion or the handle's closing to deliver).
    void Post(const std::shared_ptr<TRequest>& R);
    /// Ends the loop's wait for the network, so that it looks at what was posted.
    void Wake() { curl_multi_wakeup(FHub.Multi); }
    /// Under the hub's lock, on another thread than the loop's, after posting: whether the loop
    /// must be woken (it polls, and nobody woke it yet); Wake follows once the lock is let go.
    bool WakeDue() {
        if (!FHub.Polling || FHub.Woken) return false;
        FHub.Woken = true;
        return true;
    }
    bool OnLoopThread() const { return std::this_thread::get_id() == FThreadId; }

    /// The library goes (the process exits or unloads it): every loop still running ends its
    /// thread, which is joined here, so that none runs the library's code past this point.
    static void StopAll();

  private:
    void Run();
    /// Under the hub's lock, before a round: the transfers of the requests sent since the last
    /// one go into the hub's multi handle.
    void AddSent();
    /// Under the hub's lock: the request FActive[At] runs its step when it was stirred or its
    /// deadline passed, and what it has due joins Batch; true when the loop let it go (into
    /// Finished), whose place in FActive another one then takes.
    bool Visit(std::size_t At, std::chrono::steady_clock::time_point Now, int& WaitMs,
               std::vector<TAsyncDelivery>& Batch,
               std::vector<std::shared_ptr<TRequest>>& Finished);

    THub& FHub;  // the session's; outlives the loop
    // Requests with something to do, under the hub's lock; each is held here until then, so
    // that a handle closed meanwhile still gets its last callbacks. A round visits those in
    // the hub's Stirred list; all of them only once the earliest deadline among them passed.
    std::vector<std::shared_ptr<TRequest>> FActive;
    // No request in FActive has a deadline before this (the epoch: none has any).
    std::chrono::steady_clock::time_point FNextDeadline{};
    bool FStop = false;  // under the hub's lock
    // Set when the session went from the loop's own thread (its last request let go there):
    // the thread then ends without touching the loop again. Shared with the thread.
    std::shared_ptr<std::atomic<bool>> FOrphaned = std::make_shared<std::atomic<bool>>(false);
    std::thread::id FThreadId;
    // The thread, shared with the library's list of loop threads: whoever joins it takes it
    // out. Last: started once the rest is in place.
    std::shared_ptr<TAsyncLoopThread> FThread;
};

class TSession : public TObject {
  public:
    TSession();
    ~TSession() override;

    /// Makes the session asynchronous: its hub and its thread.
    void StartAsync();
    bool Async() const { return FLoop != nullptr; }
    TAsyncLoop& Loop() { return *FLoop; }

    std::unique_ptr<TSlot> AcquireSlot(bool Http2);
    void ReleaseSlot(std::unique_ptr<TSlot> Slot);
    /// The hub of the session's HTTP/2 requests, made when first asked for.
    THub& Hub();

    std::string Agent;
    DWORD AccessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::string ProxyList;
    std::string ProxyBypass;
    TTimeouts Timeouts;
    DWORD Decompression = 0;
    DWORD RedirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    DWORD MaxRedirects = 10;
    DWORD ConnectRetries = 5;
    DWORD SecureProtocols = 0;  // WINHTTP_FLAG_SECURE_PROTOCOL_*; 0: the TLS library's choice
    DWORD HttpProtocols = 0;    // WINHTTP_PROTOCOL_FLAG_*: copied into each request opened
    bool ProtocolRequired = false;
    // The trust store named by the environment, as curl's tool takes it: read when the session
    // makes its first transfer slot (under FPoolLock), so a program may name it after opening.
    std::string CaFile;
    std::string CaPath;
    bool TrustRead = false;
    CURLSH* Share = nullptr;
    TCookieJar Cookies;  // what the session's responses set

  private:
    static void LockShare(CURL*, curl_lock_data Data, curl_lock_access, void* User);
    static void UnlockShare(CURL*, curl_lock_data Data, void* User);
    std::mutex FShareLocks[CURL_LOCK_DATA_LAST];
    std::mutex FPoolLock;
    std::vector<std::unique_ptr<TSlot>> FPool;
    std::unique_ptr<THub> FHub;         // made under FPoolLock; then kept until the session goes
    std::unique_ptr<TAsyncLoop> FLoop;  // asynchronous sessions only; stopped first when it goes
};

class TConnect : public TObject {
  public:
    TConnect() : TObject(WINHTTP_HANDLE_TYPE_CONNECT) {}
    TSession& Session() { return static_cast<TSession&>(*Parent); }
    std::string Host;
    INTERNET_PORT Port = 0;
    TTimeouts Timeouts;  // the session's when made; readable and settable, used by no request
};

/// A request handle and the transfer it drives.
class TRequest : public TObject {
  public:
    explicit TRequest(std::shared_ptr<TConnect> AConnect);
    ~TRequest() override;
    void Close() override;

    TConnect& Connect() { return static_cast<TConnect&>(*Parent); }
    TSession& Session() { return Connect().Session(); }

    // Set up by WinHttpOpenRequest and options.
    std::string Verb;
    std::string Path;  // escaped object name
    std::string HttpVersion = "HTTP/1.1";
    std::string Referrer;
    std::string AcceptTypes;
    bool Secure = false;
    TTimeouts Timeouts;
    DWORD Decompression = 0;
    DWORD RedirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    DWORD MaxRedirects = 10;
    DWORD DisabledFeatures = 0;
    DWORD ConnectRetries = 5;
    DWORD IgnoredCertErrors = 0;  // SECURITY_FLAG_IGNORE_*: only ever set by the caller
    bool CheckRevocation = false;
    DWORD TlsProtocols = 0;                 // the session's SECURE_PROTOCOLS when last sent
    DWORD HttpProtocols = 0;                // WINHTTP_PROTOCOL_FLAG_* the request may use
    bool ProtocolRequired = false;          // ... and no other
    std::vector<std::string> AddedHeaders;  // "Name: value" from WinHttpAddRequestHeaders
    /// Credentials for the server or for a proxy, from WinHttpSetCredentials or the credential
    /// options; they stay with this request (WinHttp.Auth.cpp).
    struct TCredentials {
        std::string User, Password;
        DWORD Scheme = 0;  // WINHTTP_AUTH_SCHEME_*; 0 (options alone): any the challenge offers
    };
    TCredentials ServerCredentials, ProxyCredentials;

    /// Starts the transfer; returns 0 or a WinHTTP error code.
    DWORD Send(const std::vector<std::string>& ExtraHeaders, const void* Optional,
               DWORD OptionalLength, DWORD TotalLength);
    DWORD Write(const void* Data, DWORD Length);
    DWORD ReceiveResponse();
    DWORD Read(void* Buffer, DWORD Length, DWORD& Got);
    DWORD Available(DWORD& Count);

    /// WINHTTP_OPTION_REQUEST_TIMES of the last transfer: Count entries indexed by
    /// WINHTTP_REQUEST_TIME_ENTRY, 0 for moments that did not occur.
    void RequestTimes(ULONGLONG* Times, DWORD Count) const;

    // The asynchronous mode (WinHttp.Async.cpp). Begin* start an operation under the hub's
    // lock and return 0, or the code the call fails with at once (nothing follows then); the
    // operation may have completed already. The loop moves it on with StepAsync.
    bool Async() const { return FAsyncMode; }
    /// A request of an asynchronous session: it runs in the session's hub from the start.
    void MakeAsync(THub& Hub) {
        FAsyncMode = true;
        FHub = &Hub;
    }
    THub* Hub() const { return FHub; }
    DWORD BeginSend(const std::vector<std::string>& ExtraHeaders, const void* Optional,
                    DWORD OptionalLength, DWORD TotalLength);
    DWORD BeginWrite(const void* Data, DWORD Length);
    DWORD BeginReceive();
    DWORD BeginAvailable();
    DWORD BeginRead(void* Buffer, DWORD Length);
    /// WinHttpCloseHandle on an asynchronous request (Self is this one): ends the pending
    /// operation, and HANDLE_CLOSING follows everything else delivered for it.
    void CloseAsync(const std::shared_ptr<TRequest>& Self);
    /// Under the hub's lock, on the loop's thread, once HANDLE_CLOSING of this request is
    /// taken for delivery: the transfer leaves the hub and its slot goes back to the pool now,
    /// not when the last reference goes (after the callback), so that a caller who opens its
    /// next requests as soon as it hears of the last close finds the slots free.
    void EndTransfer();

    /// WINHTTP_OPTION_HTTP_PROTOCOL_USED: 0 until the request has a connection.
    DWORD ProtocolUsed() const { return FHttp2Now ? WINHTTP_PROTOCOL_FLAG_HTTP2 : 0; }

    /// Secure-failure flags of the last failed send (0 if none).
    DWORD SecureFlags() const { return FSecureFlags; }
    bool Sent() const { return FState != TState::Open; }
    bool HeadReady() const { return FState == TState::Received; }
    /// The URL the response came from: after redirects, the last one's.
    std::string Url() const;

    // The final response head.
    std::string ResponseVersion;
    int StatusCode = 0;
    std::string StatusText;
    std::string StatusLine;
    std::vector<std::string> ResponseLines;  // "Name: value", as received
    std::vector<std::string> RequestLines;   // what was sent besides curl's own
    /// The text the last header query gave, as it stands in the head and in UTF-16. A caller
    /// asks for the size first and then for the text: the second query finds it converted.
    /// A whole response head (RAW_HEADERS, RAW_HEADERS_CRLF) is kept with the level and the
    /// head's version it was made from, and is not put together again for the second query.
    struct TQueried {
        std::string Wire;
        std::u16string Text;
        DWORD RawLevel = 0;  // the whole head at this level (0: Wire is another answer)
        std::uint64_t RawVersion = 0;
    } Queried;
    /// Changes whenever the response head does (its lines, the status line).
    std::uint64_t HeadVersion() const { return FHeadEdits; }

    /// The connection of the last hop, from the moment it was ready to send on
    /// (WINHTTP_OPTION_CONNECTION_INFO).
    struct TPeer {
        bool Known = false;
        std::string LocalIp, RemoteIp;
        int LocalPort = 0, RemotePort = 0;
    } Peer;
    /// The TLS connection of the last hop: the server's certificate (DER) and the cipher's
    /// strength in bits; empty and 0 for plain HTTP. WinHttp.Security.cpp.
    std::vector<unsigned char> ServerCertificate;
    int CipherBits = 0;

  private:
    friend class TSession;    // sets the callbacks on the easy handles it pools
    friend class TAsyncLoop;  // moves asynchronous operations on and delivers their callbacks
    friend struct TAsyncDelivery;
    friend struct THub;  // marks the transfers that ended
    enum class TState { Open, Sending, Received, Failed };

    /// Everything of a send that is the same in both modes: the slot, the options and the
    /// transfer handed to curl. With the hub's lock held for a request in a hub.
    DWORD StartTransfer(const std::vector<std::string>& ExtraHeaders, const void* Optional,
                        DWORD OptionalLength, DWORD TotalLength, bool OffersHttp2);

    std::string RequestUrl() const;
    /// The request as the caller described it carries a body (maybe an empty one).
    bool SendsBody() const {
        return FCallerChunked || FTotal > 0 || Verb == "POST" || Verb == "PUT" || Verb == "PATCH";
    }
    void ResetTransfer();
    /// The transfer leaves the multi handle it runs in (an unfinished one loses its
    /// connection), and no connection names this request as its owner any more.
    void LeaveMulti();
    void ResetHop();
    DWORD CheckFraming();
    bool SetHeaders(bool Body, bool BodyLines, bool SameOrigin, bool ToFirstProxy);
    void FreeHeaderLists();
    /// The URL of a hop, and the request target when it is not the URL's (empty: it is).
    void SetUrl(const std::string& U, const std::string& Target);
    /// The object name holds characters a URL cannot carry raw (sent as given).
    bool RawTarget() const;
    /// The request's own Connection header asks to close the connection after this exchange.
    bool AsksToClose() const;
    void SetMethod(const std::string& Method, bool Body);
    /// Sets the proxy for a hop to Host; returns it ("" when none is named for the hop).
    std::string SetProxy(const std::string& Host, bool ToSecure);
    DWORD DrainRedirect();
    DWORD FollowRedirect();
    bool RetryOnNewConnection();
    DWORD MapFailure();
    void Touch() {
        ++FProgress;
        Stir();
    }
    /// Something of this request moved: the asynchronous loop looks at it next round (under the
    /// hub's lock; for a request the loop does not hold, only the flag).
    void Stir() {
        FAsync.Stirred = true;
        if (!FAsync.Listed || FAsync.Queued) return;
        FAsync.Queued = true;
        FHub->Stirred.push_back(this);
    }
    void Unpause();
    std::string_view FollowTarget() const;
    /// False when the head is unusable (FFailure says why) and the transfer must stop.
    bool HeadComplete();
    /// The final answer's body of stated length is wholly in, whether or not curl has ended
    /// the transfer yet.
    bool BodyComplete() const {
        return FFinalHead && !FRedirectPending && FAnnounced >= 0 &&
               FBodyBytes >= static_cast<std::uint64_t>(FAnnounced) && !FRecvPaused;
    }
    DWORD Decode(void* Out, DWORD Length, DWORD& Got);
    void EndDecodedBody();
    DWORD Drive(const std::function<bool()>& Ready, int TimeoutMs, bool PollFirst);
    /// One round of curl on the hub: every transfer in it moves on, and those that ended are
    /// told so. Under the hub's lock.
    DWORD HubRound();
    DWORD HubWait(int WaitMs);
    /// The multi handle this transfer runs in, and the connections curl opens there.
    CURLM* Multi() const { return FHub ? FHub->Multi : FSlot->Multi; }
    std::vector<TConnection>& Connections() {
        return FHub ? FHub->Connections : FSlot->Connections;
    }
    /// The hub's lock for the length of a call (no-op for a request outside a hub). Calls
    /// nest (a status callback may call back in): each has its own, and the outer one is let
    /// go meanwhile.
    struct TCall {
        explicit TCall(TRequest& R) : Req(R), Outer(R.FHold), Hold(R.FHub) { R.FHold = &Hold; }
        ~TCall() { Req.FHold = Outer; }
        TCall(const TCall&) = delete;
        TCall& operator=(const TCall&) = delete;
        TRequest& Req;
        THubHold* Outer;
        THubHold Hold;
    };
    void MarkSent();
    // Cookies (WinHttp.Cookies.cpp): the session's ones for the hop about to go to Url, and
    // what a response head sets.
    void PickCookies(const std::string& Url);
    void StoreCookies();
    // Authentication (WinHttp.Auth.cpp): the credentials this hop may use, and whether curl may
    // answer the challenge of this head itself.
    void FreshAuthState();
    void ApplyCredentials(bool SameOrigin);
    bool ChallengeMayBeAnswered() const;
    /// This head is the answer the caller gets.
    void FinalHead();

    static size_t OnWrite(char* Ptr, size_t Size, size_t Count, void* User);
    static size_t OnRead(char* Ptr, size_t Size, size_t Count, void* User);
    static size_t OnHeader(char* Ptr, size_t Size, size_t Count, void* User);
    static int OnPrereq(void* User, char*, char*, int, int);
    static int OnSeek(void* User, curl_off_t Offset, int Origin);
    static CURLcode OnSslContext(CURL*, void* SslCtx, void*);
    static int OnVerify(int Ok, x509_store_ctx_st* StoreCtx);
    static curl_socket_t OnOpenSocket(void*, curlsocktype Purpose, curl_sockaddr* Address);
    static int OnCloseSocket(void* User, curl_socket_t Socket);

    // Status notifications (WinHttp.Notifications.cpp). Those raised inside curl's callbacks
    // wait in FNotes and are delivered by Deliver() on the calling thread once curl has
    // returned, so that a callback may call back into the API. The response's own wait until
    // WinHttpReceiveResponse (FReceiving), as Windows gives them from that call.
    struct TNote {
        DWORD Status;
        DWORD Value;
        std::u16string Text;
    };
    void Queue(DWORD Status, DWORD Value = 0, std::u16string Text = {});
    void Deliver();
    void Announce(TNote& N);
    void NoteConnected(const char* RemoteIp, const char* LocalIp, int RemotePort, int LocalPort);
    /// The connection of this hop no longer names this request its owner (asynchronous mode).
    void LeaveConnection();
    void NoteHead(bool Start);
    void NoteRedirect();
    /// The TLS details of the connection about to carry this hop (WinHttp.Security.cpp).
    void NoteTls();
    /// The connection about to carry this hop negotiated HTTP/2 (WinHttp.Security.cpp).
    bool NegotiatedHttp2();
    /// Sets the TLS options of this request on the easy handle (WinHttp.Security.cpp).
    void ApplyTls();
    std::vector<TNote> FNotes;
    bool FReceiving = false;
    bool FNewConnection = false;  // this hop opened a connection of its own
    bool FHttp2Now = false;       // this hop goes over HTTP/2
    std::size_t FHeadMark = 0;    // FHeadBytes where the current head began
    // While WinHttpReceiveResponse waits: when the whole head must be in
    // (WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT); the epoch when there is no limit.
    std::chrono::steady_clock::time_point FHeadDeadline{};

    // An asynchronous request's operation in progress, under the hub's lock. Op stays set from
    // the call that began it until its completion is handed to the callback (after the
    // notifications before it); a new operation may begin from that callback on.
    enum class TAsyncOp { None, Send, Write, Receive, Available, Read };
    struct TAsyncState {
        TAsyncOp Op = TAsyncOp::None;
        void* Buffer = nullptr;  // the caller's, for a read (valid until READ_COMPLETE)
        DWORD Length = 0;        // asked to read, or written
        // The time-out of the wait in progress: no progress of the transfer for TimeoutMs
        // (0: none) since LastActivity.
        int TimeoutMs = 0;
        std::chrono::steady_clock::time_point LastActivity{};
        std::uint64_t SeenProgress = 0;
        bool Draining = false;  // receiving: reading past a redirect's body since DrainStart
        std::chrono::steady_clock::time_point DrainStart{};
        // The completion, once the operation ended: the error (0: none) and its value (bytes).
        bool Done = false;
        bool Handing = false;  // the completion was taken out for delivery
        DWORD Error = 0;
        DWORD Value = 0;
        bool ClosingDue = false;   // the handle was closed: HANDLE_CLOSING after the rest
        bool Closed = false;       // HANDLE_CLOSING delivered: nothing follows
        bool Listed = false;       // held by the loop (TAsyncLoop::FActive)
        std::size_t ActiveAt = 0;  // ... at this place
        bool Queued = false;       // in the hub's Stirred list (only while Listed)
        // Something moved since the loop last looked (curl's callbacks, a notification, an
        // operation begun, a close); else the loop looks again at Deadline (epoch: only when
        // stirred), so a round costs nothing for the requests it did not move.
        bool Stirred = false;
        std::chrono::steady_clock::time_point Deadline{};
        // REQUEST_SENT of this hop was given when its head went out, before the body the
        // caller writes: none follows once that body is sent.
        bool HeadSentNoted = false;
    } FAsync;
    std::atomic<int> FDelivering{0};  // callbacks of this request taken out for delivery
    bool FAsyncMode = false;
    /// One step of the operation in progress, after a round of curl or when it began; Now is
    /// the time of the round, WaitMs shortened to when a time-out of it runs out.
    void StepAsync(std::chrono::steady_clock::time_point Now, int& WaitMs);
    bool StepSend();
    bool StepWrite();
    bool StepReceive(std::chrono::steady_clock::time_point Now);
    bool StepAvailable();
    bool StepRead();
    /// The operation ended with Error (0: it succeeded) and Value; always true.
    bool Finish(DWORD Error, DWORD Value = 0);
    /// The operation waits from now, for at most TimeoutMs without progress (0: no limit).
    void Await(int TimeoutMs);
    friend BOOL StartAsync(const std::shared_ptr<TRequest>& R, TAsyncBegin Begin);
    /// In an asynchronous call, before it touches curl's handles: the loop's poll has ended
    /// (the call holds the hub's lock only, see StartAsync).
    void SettleHub() {
        if (FHold) FHold->Settle();
    }
    /// The operation ends without its data: nothing of the transfer refers to the caller's
    /// buffers any more.
    void Abandon();

    std::unique_ptr<TSlot> FSlot;  // from the first send until the handle goes
    // The session's hub when this transfer runs there (it offers HTTP/2 on TLS), else null;
    // set by a send (before FDriving), kept until the next.
    THub* FHub = nullptr;
    THubHold* FHold = nullptr;  // the hold of the call in progress
    std::atomic<bool> FClosed{false};
    std::atomic<bool> FDriving{false};  // a call is inside Drive and may need waking
    bool FInMulti = false;
    TState FState = TState::Open;
    curl_slist* FHeaderList = nullptr;
    curl_slist* FProxyHeaderList = nullptr;  // lines for a proxy only
    std::string FCookies;         // the session's cookies for this hop ("a=1; b=2"), maybe none
    std::uint64_t FProgress = 0;  // bumped by every callback; the drive loop watches it

    // Transfer progress.
    bool FConnected = false;
    bool FDone = false;
    CURLcode FResult = CURLE_OK;
    DWORD FFailure = 0;          // why a callback of ours stopped the transfer (0: it did not)
    std::size_t FHeadBytes = 0;  // bytes of response heads on this hop, interim ones included
    DWORD FSecureFlags = 0;
    DWORD FVerifyFlags = 0;  // certificate problems OpenSSL reported during the handshake
    // curl's CURLINFO_OS_ERRNO when this hop's connection was ready.
    long FSystemErrorAtConnect = 0;
    std::int64_t FAnnounced = -1;  // the final head's Content-Length (-1: none)
    std::uint64_t FBodyBytes = 0;  // body bytes curl handed over for the current head
    bool FRetried = false;         // sent again on a new connection (RetryOnNewConnection)
    bool FHeadLine = false;        // inside a response head
    bool FFinalHead = false;
    // The lines of the current head that HeadComplete and FinalHead look for, noted as they
    // come (THeadLine bits), so that a head without them is not searched for them.
    enum THeadLine : unsigned {
        SetCookieLine = 1,
        LengthLine = 2,   // a Content-Length, the first at FLengthAt
        LengthLines = 4,  // ... and more than one
        EncodingLine = 8,
    };
    unsigned FHeadLines = 0;
    std::size_t FLengthAt = 0;
    std::uint64_t FHeadEdits = 0;  // bumped by every change of the response head
    // A 401 or 407 head that curl may still answer with the credentials it holds (it then
    // reads past its body and asks again): final once its body comes or the transfer ends.
    bool FAuthPending = false;
    bool FServerAuthNow = false;  // this hop carries the server's credentials
    bool FProxyAuthNow = false;   // ... the proxy's

    // Moments of the transfer on the performance counter (0: not reached), reported through
    // WINHTTP_OPTION_REQUEST_TIMES; curl's own timings place the connection phases between
    // them. Reset with the transfer.
    struct TMoments {
        std::int64_t Start = 0;        // the transfer was handed to curl
        std::int64_t TlsStart = 0;     // the last new connection begins its handshake
        std::int64_t SendStart = 0;    // the last hop's request is about to go out
        std::int64_t SendEnd = 0;      // all of it handed to the network
        std::int64_t HeadEnd = 0;      // the final response head complete
        std::int64_t End = 0;          // curl saw the transfer complete
        std::int64_t LastData = 0;     // the latest piece of the body arrived
        std::int64_t DecodeTicks = 0;  // spent inflating the body
        bool SendPending = false;      // SendStart taken, SendEnd not yet
        // Each redirect hop is a transfer of its own for curl, whose timings are the last
        // hop's, counted from when it was handed over (0: there was no redirect).
        std::int64_t HopStart = 0;
    } FMoments;

    // Redirects, followed here one hop at a time (curl's own following is off).
    std::string FCurrentUrl;  // the URL of this hop; empty until sent
    bool FSecureNow = false;  // this hop's scheme is https
    std::string FMethodNow;   // this hop's verb: a 303 (and a POST on 301, 302) turn it to GET
    bool FBodyNow = false;    // this hop sends a body
    DWORD FHops = 0;
    bool FRedirectPending = false;  // this hop's answer is a redirect to follow
    std::string FLocation;
    std::size_t FDrained = 0;  // body bytes of the redirect answer thrown away
    bool FDrainCut = false;    // ... and where there were too many, the connection given up
    std::string FFirstProxy;   // the named proxy of the first hop ("" when none)
    // Upload: optional data first, then what WinHttpWriteData hands over.
    std::uint64_t FTotal = 0;
    // The caller frames the body in the chunked coding: it goes out as written, and ends when
    // the caller turns to the response (FBodyOpen until then). FTotal counts what came so far.
    bool FCallerChunked = false;
    bool FBodyOpen = false;
    std::uint64_t FSentToCurl = 0;
    std::uint64_t FAccepted = 0;  // bytes the caller gave (optional + written)
    std::vector<std::uint8_t> FOptional;
    std::size_t FOptionalPos = 0;
    const std::uint8_t* FPending = nullptr;
    std::size_t FPendingLen = 0;
    bool FSendPaused = false;

    // Download: bytes go straight into the caller's buffer while a read waits, the rest into
    // a bounded buffer; the transfer pauses when that is full.
    std::vector<std::uint8_t> FBuf;
    std::size_t FBufPos = 0;
    std::uint8_t* FUserBuf = nullptr;
    std::size_t FUserLen = 0;
    std::size_t FUserGot = 0;
    bool FRecvPaused = false;

    // Content decoding (gzip/deflate) done as the caller reads, so memory stays bounded.
    bool FDecoding = false;
    bool FDecodeStarted = false;
    bool FDecodeEnded = false;     // the body is over; what follows is not part of it
    bool FBetweenMembers = false;  // a gzip member ended; another may follow
    bool FDeflate = false;
    std::unique_ptr<z_stream> FZ;  // only while decoding
    std::vector<std::uint8_t> FDecoded;
    std::size_t FDecodedPos = 0;
};

// The request whose transfer this thread is driving in its own slot (none in a hub, where one
// round runs many): a connection closing meanwhile is announced to it.
// The library's thread-locals are initial-exec: loaded at run time, it then takes their few
// bytes from the static TLS reserve instead of a dynamic TLS block per thread, which costs a
// call on every use and which the leak checker misreads at exit (it crashed on the main
// thread's block after a synchronous request).
extern thread_local TRequest* GDriving __attribute__((tls_model("initial-exec")));

/// OpenSSL's verify result as WinHTTP's secure-failure flags.
DWORD VerifyResultFlags(long Result);

/// A URL as WinHTTP shows it: the scheme's default port left out.
std::string DisplayUrl(const std::string& Url);

/// The queries about the server's certificate (WinHttp.Security.cpp): WinHTTP's result with
/// the last error set.
BOOL QueryCertificateInfo(const TRequest& R, LPVOID Buffer, LPDWORD Length);
BOOL QueryCertificateContext(const TRequest& R, LPVOID Buffer, LPDWORD Length);
/// SECURITY_FLAG_SECURE and the strength of the last TLS connection (0 for none).
DWORD SecurityStrengthFlags(const TRequest& R);

}  // namespace WinHttpImpl
