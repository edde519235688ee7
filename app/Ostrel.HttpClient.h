#pragma once
// The stock HTTP client: a synchronous GET over Qt's QNetworkAccessManager, created per use.

#include <QString>
#include <memory>

#include "Runtime.Exception.h"

class QNetworkAccessManager;

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

/// Synchronous client: Get returns once the whole answer has arrived or the transfer failed.
/// Redirects are followed as Qt does by default; the body is read and dropped.
class THTTPClient {
  public:
    THTTPClient();
    ~THTTPClient();
    THTTPClient(const THTTPClient&) = delete;
    THTTPClient& operator=(const THTTPClient&) = delete;

    /// GET without body or extra headers. While it waits, timers and network events run but
    /// user input is held back until it returns. Throws EHTTPClientException.
    std::shared_ptr<IHTTPResponse> Get(const QString& Url);

    /// Longest time without any data arriving, in milliseconds.
    int ResponseTimeout() const { return FResponseTimeout; }
    void SetResponseTimeout(int Milliseconds) { FResponseTimeout = Milliseconds; }

    static constexpr int DefaultResponseTimeout = 60000;

  private:
    std::unique_ptr<QNetworkAccessManager> FManager;
    int FResponseTimeout = DefaultResponseTimeout;
};

}  // namespace Ostrel
