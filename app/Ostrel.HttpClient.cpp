#include "Ostrel.HttpClient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QUrl>

#include "Os.Clock.h"

namespace Ostrel {

namespace {

class THTTPResponse : public IHTTPResponse {
  public:
    THTTPResponse(int Code, QString Text) : FStatusCode(Code), FStatusText(std::move(Text)) {}
    int StatusCode() const override { return FStatusCode; }
    QString StatusText() const override { return FStatusText; }

  private:
    int FStatusCode;
    QString FStatusText;
};

// Qt reports 4xx and 5xx answers through error codes as well; those are answers here, and
// so is a redirect Qt will not follow (no usable Location, or https to http). Everything
// else (connection, name lookup, TLS, time-out, a body cut short) is a failure.
bool IsAnswer(QNetworkReply::NetworkError Error, int Status) {
    if (Error == QNetworkReply::NoError) return true;
    if (Status >= 300 && Status < 400) {
        return Error == QNetworkReply::ProtocolUnknownError ||
               Error == QNetworkReply::InsecureRedirectError;
    }
    if (Status < 400) return false;
    const int Code = static_cast<int>(Error);
    return (Code >= 201 && Code <= 299) || (Code >= 401 && Code <= 499) ||
           Error == QNetworkReply::ProtocolInvalidOperationError ||
           Error == QNetworkReply::ProxyAuthenticationRequiredError;
}

std::int64_t Now() {
    LARGE_INTEGER T;
    QueryPerformanceCounter(&T);
    return T.QuadPart;
}

// Records the first time each signal arrives; connected before the loop's own handlers, so
// the end is stamped before the loop is told to quit.
void Watch(QNetworkReply& Reply, THTTPTrace& Trace) {
    auto First = [&Trace](std::int64_t THTTPTrace::*Moment) {
        return [&Trace, Moment] {
            if (Trace.*Moment == 0) Trace.*Moment = Now();
        };
    };
    QObject::connect(&Reply, &QNetworkReply::encrypted, &Reply, First(&THTTPTrace::Encrypted));
    QObject::connect(&Reply, &QNetworkReply::requestSent, &Reply, First(&THTTPTrace::RequestSent));
    QObject::connect(&Reply, &QNetworkReply::metaDataChanged, &Reply,
                     First(&THTTPTrace::HeadReceived));
    QObject::connect(&Reply, &QNetworkReply::finished, &Reply, First(&THTTPTrace::Finished));
    QObject::connect(&Reply, &QNetworkReply::redirected, &Reply, [&Trace] { ++Trace.Redirects; });
    QObject::connect(&Reply, &QNetworkReply::sslErrors, &Reply,
                     [&Trace](const QList<QSslError>& Errors) { Trace.SslErrors << Errors; });
}

}  // namespace

THTTPClient::THTTPClient() : FManager(std::make_unique<QNetworkAccessManager>()) {}

THTTPClient::~THTTPClient() = default;

std::shared_ptr<IHTTPResponse> THTTPClient::Get(const QString& Url, THTTPTrace* Trace) {
    const QUrl Target(Url);
    // Qt would also read file:, data: and qrc: URLs, and file:///dev/zero never ends; this
    // is an HTTP client, so it refuses them with the text Qt gives for an unknown scheme.
    const QString Scheme = Target.scheme().toLower();
    if (Scheme != QLatin1String("http") && Scheme != QLatin1String("https")) {
        if (Trace) Trace->Error = QNetworkReply::ProtocolUnknownError;
        throw EHTTPClientException(
            QCoreApplication::translate("QNetworkReply", "Protocol \"%1\" is unknown")
                .arg(Target.scheme())
                .toStdString());
    }

    QNetworkRequest Request{Target};
    Request.setTransferTimeout(FResponseTimeout);

    if (Trace) Trace->Start = Now();
    std::unique_ptr<QNetworkReply> Reply(FManager->get(Request));
    if (Trace) Watch(*Reply, *Trace);
    QEventLoop Loop;
    QObject::connect(Reply.get(), &QNetworkReply::readyRead, Reply.get(),
                     [R = Reply.get()] { R->skip(R->bytesAvailable()); });
    QObject::connect(Reply.get(), &QNetworkReply::finished, &Loop, &QEventLoop::quit);
    FRunning = Reply.get();
    FCancelled = false;
    if (!Reply->isFinished()) Loop.exec();
    FRunning = nullptr;
    // The loop also ends when the application is told to quit.
    const bool Abandoned = !Reply->isFinished();
    if (Abandoned) Reply->abort();
    if (Trace) {
        if (Trace->Finished == 0) Trace->Finished = Now();
        Trace->FinalUrl = Reply->url().toString();
        Trace->Error = static_cast<int>(Reply->error());
        Trace->Location = QString::fromUtf8(Reply->rawHeader("Location"));
        Trace->ContentEncoding = QString::fromUtf8(Reply->rawHeader("Content-Encoding"));
        Trace->Http2 = Reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    }

    const QVariant Status = Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!Abandoned && Status.isValid() && IsAnswer(Reply->error(), Status.toInt())) {
        return std::make_shared<THTTPResponse>(
            Status.toInt(),
            Reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    }
    QString Message = Reply->errorString();
    // Qt reports its own transfer time-out as a plain cancellation; say what happened.
    if (!Abandoned && !FCancelled && Reply->error() == QNetworkReply::OperationCanceledError) {
        Message += QStringLiteral(" (time-out: no data for %1 ms)").arg(FResponseTimeout);
    }
    throw EHTTPClientException(Message.toStdString());
}

void THTTPClient::Cancel() {
    if (FRunning == nullptr || FRunning->isFinished()) return;
    FCancelled = true;
    FRunning->abort();  // finishes the reply at once, which ends Get's loop
}

}  // namespace Ostrel
