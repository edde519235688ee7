#pragma once
// The stock HTTP client: a synchronous GET over Qt's QNetworkAccessManager, created per use.

#include <QList>
#include <QSslError>
#include <QString>
#include <cstdint>
#include <memory>

#include "Runtime.Exception.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace Ostrel {

/// A transport failure of the stock client (bad URL, name not resolved, refused, TLS,
/// time-out); the message is Qt's own error text.
RUNTIME_DECLARE_EXCEPTION(EHTTPClientException, Runtime::Exception);

/// The answer to a request; HTTP statuses of every kind are answers, not errors.
class IHTTPResponse {
  public:
    virtual ~IHTTPResponse() = default;
    virtual int StatusCode() const = 0;
    virtual QString StatusText() const = 0;
};

/// What the client saw of one exchange, for callers that explain an answer or a failure; the
/// window asks for none. Moments are performance-counter readings (0: not seen); Qt runs
/// the exchange in a thread of its own and reports it through signals, so each moment is
/// when the signal arrived here, and redirects it followed are part of the one exchange.
struct THTTPTrace {
    std::int64_t Start = 0;         // the request was handed to Qt
    std::int64_t Encrypted = 0;     // the first TLS handshake was complete
    std::int64_t RequestSent = 0;   // the first request was on the wire
    std::int64_t HeadReceived = 0;  // the first response head had arrived
    std::int64_t Finished = 0;      // the exchange ended, in success or failure

    QString FinalUrl;            // where the answer came from, after followed redirects
    int Redirects = 0;           // redirects followed
    QString Location;            // of the answer, for a redirect that was not followed
    QString ContentEncoding;     // of the answer, as the server labelled its body
    bool Http2 = false;          // the answer came over HTTP/2 (Qt offers it on https)
    int Error = 0;               // QNetworkReply::NetworkError of the exchange
    QList<QSslError> SslErrors;  // the certificate problems Qt found
};

/// Synchronous client: Get returns once the whole answer has arrived or the transfer failed.
/// Redirects are followed as Qt does by default; the body is read and dropped.
class THTTPClient {
  public:
    THTTPClient();
    ~THTTPClient();
    THTTPClient(const THTTPClient&) = delete;
    THTTPClient& operator=(const THTTPClient&) = delete;

    /// GET without body or extra headers. It waits in a local event loop that runs every
    /// event of the thread, user input included: a window that must not react meanwhile
    /// filters its input (ours does). Throws EHTTPClientException.
    /// When Trace is given, what the exchange showed is recorded there, also when it fails.
    std::shared_ptr<IHTTPResponse> Get(const QString& Url, THTTPTrace* Trace = nullptr);
    /// Aborts the running Get, which then throws with Qt's own text for it ("Operation
    /// canceled"). For the thread waiting in Get (an event handler its loop runs); without
    /// a running Get it does nothing.
    void Cancel();

    /// Longest time without any data arriving, in milliseconds.
    int ResponseTimeout() const { return FResponseTimeout; }
    void SetResponseTimeout(int Milliseconds) { FResponseTimeout = Milliseconds; }

    static constexpr int DefaultResponseTimeout = 60000;

  private:
    std::unique_ptr<QNetworkAccessManager> FManager;
    int FResponseTimeout = DefaultResponseTimeout;
    QNetworkReply* FRunning = nullptr;  // the reply Get waits for; owned by Get
    bool FCancelled = false;            // Cancel ended the running Get
};

}  // namespace Ostrel
