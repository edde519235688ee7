#pragma once
// Drives one request through WinHTTP's asynchronous mode the way a program written against it
// does: every operation after the send is started from inside the completion of the one before
// (SENDREQUEST_COMPLETE -> WinHttpWriteData while there is data to write -> WRITE_COMPLETE ->
// WinHttpReceiveResponse, HEADERS_AVAILABLE -> WinHttpQueryDataAvailable
// or WinHttpReadData, DATA_AVAILABLE -> WinHttpReadData, READ_COMPLETE -> the next one, until
// READ_COMPLETE 0). Every notification the request handle gets is kept in order, decoded, with
// the thread it came on and how deep callbacks of the request were nested on that thread; the
// driver notes when two threads were inside callbacks of the request at once, and waits, with a
// time-out, for HANDLE_CLOSING. It can close the request handle at a chosen step instead of
// going on, from inside a callback or from the thread that started the request.
//
// The session is the caller's, opened with WINHTTP_FLAG_ASYNC; the driver owns the connect and
// request handles it makes. The calls go through the run-time binding (Nimbra.WinHttp.Api.h),
// so the same driver runs against libwinhttp and against a system's winhttp.dll.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "WinHttpTestUtil.h"

namespace TestSupport {

// The asynchronous mode's values, as Windows defines them; named here so that the tests do not
// depend on which of them the header they are built against declares.
namespace Async {
constexpr DWORD ResolvingName = 0x00000001;
constexpr DWORD NameResolved = 0x00000002;
constexpr DWORD ConnectingToServer = 0x00000004;
constexpr DWORD ConnectedToServer = 0x00000008;
constexpr DWORD SendingRequest = 0x00000010;
constexpr DWORD RequestSent = 0x00000020;
constexpr DWORD ReceivingResponse = 0x00000040;
constexpr DWORD ResponseReceived = 0x00000080;
constexpr DWORD ClosingConnection = 0x00000100;
constexpr DWORD ConnectionClosed = 0x00000200;
constexpr DWORD HandleCreated = 0x00000400;
constexpr DWORD HandleClosing = 0x00000800;
constexpr DWORD Redirect = 0x00004000;
constexpr DWORD IntermediateResponse = 0x00008000;
constexpr DWORD SecureFailure = 0x00010000;
constexpr DWORD HeadersAvailable = 0x00020000;
constexpr DWORD DataAvailable = 0x00040000;
constexpr DWORD ReadComplete = 0x00080000;
constexpr DWORD WriteComplete = 0x00100000;
constexpr DWORD RequestError = 0x00200000;
constexpr DWORD SendRequestComplete = 0x00400000;
constexpr DWORD AllNotifications = 0xFFFFFFFF;
// WINHTTP_ASYNC_RESULT.dwResult: which call failed.
constexpr DWORD_PTR ApiReceiveResponse = 1;
constexpr DWORD_PTR ApiQueryDataAvailable = 2;
constexpr DWORD_PTR ApiReadData = 3;
constexpr DWORD_PTR ApiWriteData = 4;
constexpr DWORD_PTR ApiSendRequest = 5;

/// WINHTTP_ASYNC_RESULT, the information of REQUEST_ERROR.
struct TResult {
    DWORD_PTR dwResult;
    DWORD dwError;
};
}  // namespace Async

/// "send", "receive", "query", "read", "write" for WINHTTP_ASYNC_RESULT.dwResult.
std::string ApiName(DWORD_PTR Api);

/// One notification as the request handle got it.
struct TNotification {
    DWORD Status = 0;
    DWORD Length = 0;  // dwStatusInformationLength as given
    /// The DWORD the information points at (bytes sent or received, bytes available, the 1xx
    /// code, the secure-failure flags, bytes written), when it points at one.
    bool HasNumber = false;
    DWORD Number = 0;
    /// The text it points at (a name, an address, the redirect's URL), as ASCII.
    std::string Text;
    /// REQUEST_ERROR: the call that failed and its error.
    DWORD_PTR Api = 0;
    DWORD Error = 0;
    /// READ_COMPLETE: whether the information is the buffer the read was given.
    bool OwnBuffer = false;
    /// HANDLE_CLOSING / HANDLE_CREATED: whether the information names the request handle.
    bool NamesHandle = false;
    /// Which thread: 1 is the thread that called RunAsync, others numbered as they appear.
    int Thread = 0;
    /// Callbacks of this request on that thread's stack, this one included (1: not nested).
    int Depth = 0;
    /// Whether the driver had already closed the request handle when this came.
    bool AfterClose = false;

    /// "REQUEST_ERROR receive 12002", "READ_COMPLETE 0", "REDIRECT http://...", "SENDING_REQUEST".
    std::string Describe() const;
};

/// Where the driver closes the request handle instead of going on.
enum class TCloseAt {
    End,                 // after READ_COMPLETE 0 or a failure: the ordinary close
    AfterSend,           // right after WinHttpSendRequest returned TRUE, on the calling thread
    InSendComplete,      // inside SENDREQUEST_COMPLETE, instead of receiving
    ReceivePending,      // on the calling thread while WinHttpReceiveResponse is pending
    InHeadersAvailable,  // inside HEADERS_AVAILABLE, instead of reading
    MidBody,             // inside the first READ_COMPLETE that carries bytes
    ReadPending,         // on the calling thread while a read (or query) after the first bytes
                         // is pending
    AfterDelay,          // on the calling thread CloseAfterMs after the send, whatever is under
                         // way then
};

/// One request and how to drive it.
struct TAsyncRequest {
    std::string Host = "127.0.0.1";
    int Port = 0;
    std::string Path = "/";
    std::u16string Verb = u"GET";
    std::u16string Headers;
    std::string Body;     // sent as the send's optional data
    std::string Written;  // then written by WinHttpWriteData from SENDREQUEST_COMPLETE, in
                          // pieces of WritePiece bytes, each from the last WRITE_COMPLETE
    DWORD WritePiece = 65536;
    DWORD Flags = 0;  // WinHttpOpenRequest flags, e.g. WINHTTP_FLAG_SECURE
    /// The receive time-out (WinHttpSetTimeouts' last); resolving, connecting and sending get
    /// ConnectTimeoutMs, so that a busy listener's backlog does not end a request meant to
    /// time out waiting for its answer.
    int TimeoutMs = 10000;
    int ConnectTimeoutMs = 10000;
    DWORD Decompression = 0;  // WINHTTP_OPTION_DECOMPRESSION when not 0
    bool NoRedirects = false;
    /// The buffer each WinHttpReadData gets.
    DWORD Piece = 8192;
    /// Ask WinHttpQueryDataAvailable before every read; otherwise read straight on.
    bool QueryFirst = true;
    TCloseAt CloseAt = TCloseAt::End;
    int CloseAfterMs = 0;  // for TCloseAt::AfterDelay
    /// How long to wait for the request to end, and then for its HANDLE_CLOSING.
    int WaitMs = 20000;
};

/// What happened to one request.
struct TAsyncOutcome {
    std::vector<TNotification> Events;
    /// Queried inside HEADERS_AVAILABLE; Protocol is WINHTTP_OPTION_HTTP_PROTOCOL_USED (0 for
    /// HTTP/1.x, and where the option is not known).
    DWORD StatusCode = 0;
    std::string RawHeaders;
    DWORD Protocol = 0;
    /// Every byte READ_COMPLETE delivered, in order.
    std::string Body;
    /// A call that returned FALSE at once ("send", "write", "receive", "query", "read"), and
    /// its error;
    /// empty when none did. Calls refused because the driver had closed the handle under a
    /// callback are not counted.
    std::string RefusedCall;
    DWORD RefusedError = 0;
    /// The request did not end (READ_COMPLETE 0, REQUEST_ERROR or a refused call) within WaitMs.
    bool Stuck = false;
    /// Whether the driver closed the handle at the step asked for (false: the request ended
    /// before reaching it, and was closed at its end).
    bool ClosedAtStep = false;
    /// HANDLE_CLOSING came within the wait.
    bool Closed = false;
    /// Two threads were inside callbacks of the request at the same time.
    bool Overlapped = false;
    /// The deepest nesting of the request's callbacks on one thread.
    int MaxDepth = 0;
    /// Notifications that came after HANDLE_CLOSING (in Events too).
    int AfterClosing = 0;
    /// Callbacks whose context was not the one given to the send.
    int WrongContext = 0;
    /// Distinct threads callbacks came on.
    int Threads = 0;

    /// The completions in order, with the secure failure and HANDLE_CLOSING: runs of
    /// DATA_AVAILABLE and READ_COMPLETE carrying bytes are one "BODY", e.g.
    /// "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY DATA_AVAILABLE 0 READ_COMPLETE 0
    /// HANDLE_CLOSING" or "SENDREQUEST_COMPLETE REQUEST_ERROR receive 12002 HANDLE_CLOSING".
    std::string Completions() const;
    /// The legs of the exchange up to HEADERS_AVAILABLE (or the first REQUEST_ERROR):
    /// SENDING_REQUEST, REQUEST_SENT, SENDREQUEST_COMPLETE, REDIRECT, HEADERS_AVAILABLE and
    /// REQUEST_ERROR as they came, and each stretch of receiving shown as "RESPONSE_RECEIVED"
    /// (followed by "INTERMEDIATE_RESPONSE" when 1xx answers came in it). How many
    /// RECEIVING_RESPONSE/RESPONSE_RECEIVED pairs a stretch has is left open, and so is a
    /// stretch that received nothing before a failure; a stretch whose 1xx notice came before
    /// anything was received reads "INTERMEDIATE_BEFORE_RECEIVED".
    std::string Legs() const;
    /// How many notifications of Status came.
    int Count(DWORD Status) const;
    /// The notifications of Status, in order.
    std::vector<TNotification> Of(DWORD Status) const;
    /// Every notification, one per line, for failure messages.
    std::string Dump() const;
};

/// Runs Request through Session (opened with WINHTTP_FLAG_ASYNC) and returns what happened,
/// after the request's HANDLE_CLOSING (or the wait for it running out).
TAsyncOutcome RunAsync(HINTERNET Session, const TAsyncRequest& Request);

}  // namespace TestSupport
