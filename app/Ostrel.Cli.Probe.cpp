#include "Ostrel.Cli.Probe.h"

#include <QNetworkReply>
#include <QSslError>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "Os.Clock.h"
#include "Ostrel.HttpClient.h"

namespace Ostrel::Cli {

const char* StackName(TStack Stack) {
    return Stack == TStack::Qt ? "qt" : "nimbra";
}

const char* FailureName(TFailure Failure) {
    switch (Failure) {
        case TFailure::None:
            return "none";
        case TFailure::NameResolution:
            return "name-resolution";
        case TFailure::Connection:
            return "connection";
        case TFailure::Tls:
            return "tls";
        case TFailure::Timeout:
            return "timeout";
        case TFailure::Protocol:
            return "protocol";
        case TFailure::InProcServerMissing:
            return "inproc-server-missing";
        case TFailure::NoTransport:
            return "no-transport";
        case TFailure::InvalidUrl:
            return "invalid-url";
        case TFailure::Other:
            return "other";
    }
    return "other";
}

const char* FailureWords(TFailure Failure) {
    switch (Failure) {
        case TFailure::None:
            return "no failure";
        case TFailure::NameResolution:
            return "the host name did not resolve";
        case TFailure::Connection:
            return "the connection was refused or the host unreachable";
        case TFailure::Tls:
            return "the TLS handshake failed";
        case TFailure::Timeout:
            return "it timed out";
        case TFailure::Protocol:
            return "the server broke off the exchange or did not speak HTTP";
        case TFailure::InProcServerMissing:
            return "no in-process server has that name";
        case TFailure::NoTransport:
            return "it has no transport for this scheme";
        case TFailure::InvalidUrl:
            return "the URL is not one it can send to";
        case TFailure::Other:
            return "it failed";
    }
    return "it failed";
}

const char* MilestoneKey(TMilestone M) {
    static const char* const Keys[MilestoneCount] = {
        "name_resolution", "connect", "tls_handshake", "request_sent", "first_byte", "end"};
    return Keys[M];
}

std::int64_t CounterNow() {
    LARGE_INTEGER T;
    QueryPerformanceCounter(&T);
    return T.QuadPart;
}

double MsSince(std::int64_t Start, std::int64_t Moment) {
    LARGE_INTEGER F;
    QueryPerformanceFrequency(&F);
    return static_cast<double>(Moment - Start) * 1000.0 / static_cast<double>(F.QuadPart);
}

namespace {

void AddProblem(std::vector<std::string>& Problems, const std::string& P) {
    if (std::find(Problems.begin(), Problems.end(), P) == Problems.end()) Problems.push_back(P);
}

std::string Join(const std::vector<std::string>& Parts) {
    std::string Out;
    for (const auto& P : Parts) Out += (Out.empty() ? "" : ", ") + P;
    return Out;
}

// Qt's certificate errors in the words WinHTTP's flags are named with.
std::string QtCertificateProblem(const QList<QSslError>& Errors) {
    std::vector<std::string> Problems;
    for (const QSslError& E : Errors) {
        switch (E.error()) {
            case QSslError::SelfSignedCertificate:
            case QSslError::SelfSignedCertificateInChain:
            case QSslError::UnableToGetIssuerCertificate:
            case QSslError::UnableToGetLocalIssuerCertificate:
            case QSslError::UnableToVerifyFirstCertificate:
            case QSslError::CertificateUntrusted:
            case QSslError::InvalidCaCertificate:
            case QSslError::PathLengthExceeded:
            case QSslError::CertificateRejected:
                AddProblem(Problems, "untrusted issuer");
                break;
            case QSslError::CertificateNotYetValid:
            case QSslError::CertificateExpired:
            case QSslError::InvalidNotBeforeField:
            case QSslError::InvalidNotAfterField:
                AddProblem(Problems, "expired or not yet valid");
                break;
            case QSslError::HostNameMismatch:
                AddProblem(Problems, "host name mismatch");
                break;
            case QSslError::CertificateRevoked:
                AddProblem(Problems, "revoked");
                break;
            case QSslError::InvalidPurpose:
                AddProblem(Problems, "wrong usage");
                break;
            case QSslError::NoError:
                break;
            default:
                AddProblem(Problems, "invalid certificate");
                break;
        }
    }
    return Join(Problems);
}

TFailure QtFailure(const QUrl& Target, int Error) {
    const QString Scheme = Target.scheme().toLower();
    switch (static_cast<QNetworkReply::NetworkError>(Error)) {
        case QNetworkReply::HostNotFoundError:
            return TFailure::NameResolution;
        case QNetworkReply::ConnectionRefusedError:
        case QNetworkReply::UnknownNetworkError:  // Qt's word for an unreachable network
            return TFailure::Connection;
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError:  // how Qt ends a transfer time-out
            return TFailure::Timeout;
        case QNetworkReply::SslHandshakeFailedError:
            return TFailure::Tls;
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::ProtocolFailure:
        case QNetworkReply::ProtocolInvalidOperationError:
        case QNetworkReply::TooManyRedirectsError:
        case QNetworkReply::InsecureRedirectError:
        case QNetworkReply::UnknownServerError:
            return TFailure::Protocol;
        case QNetworkReply::ProtocolUnknownError:
            // Nimbra serves local:// in process; Qt has nothing of the kind.
            return Scheme == QLatin1String("local") ? TFailure::NoTransport : TFailure::InvalidUrl;
        default:
            return TFailure::Other;
    }
}

}  // namespace

std::string CertificateProblem(std::uint32_t Flags) {
    static const struct {
        std::uint32_t Flag;
        const char* Words;
    } Names[] = {
        {0x00000008, "untrusted issuer"},        {0x00000020, "expired or not yet valid"},
        {0x00000010, "host name mismatch"},      {0x00000004, "revoked"},
        {0x00000001, "revocation check failed"}, {0x00000040, "wrong usage"},
        {0x00000002, "invalid certificate"},     {0x80000000, "handshake failed"},
    };
    std::vector<std::string> Problems;
    for (const auto& N : Names)
        if (Flags & N.Flag) AddProblem(Problems, N.Words);
    return Join(Problems);
}

TProbe ProbeQt(THTTPClient& Client, const std::string& Url, int TimeoutMs) {
    TProbe P;
    P.Stack = TStack::Qt;
    P.Url = Url;
    const QString Text = QString::fromStdString(Url);
    const QUrl Target(Text);
    Client.SetResponseTimeout(TimeoutMs);
    THTTPTrace Trace;
    const std::int64_t Start = CounterNow();
    try {
        const auto Response = Client.Get(Text, &Trace);
        P.WallMs = MsSince(Start, CounterNow());
        P.Answered = true;
        P.Status = Response->StatusCode();
        P.Reason = Response->StatusText().toStdString();
        P.Protocol = Trace.Http2 ? "HTTP/2" : "HTTP/1.1";
    } catch (const EHTTPClientException& E) {
        P.WallMs = MsSince(Start, CounterNow());
        P.Message = E.Message();
        P.Failure = QtFailure(Target, Trace.Error);
        // Qt looks up an empty host name before it finds nothing to look up.
        if (!Target.isValid() || (P.Failure != TFailure::NoTransport && Target.host().isEmpty()))
            P.Failure = TFailure::InvalidUrl;
        if (P.Failure == TFailure::Tls) P.Problem = QtCertificateProblem(Trace.SslErrors);
    }
    P.Redirects = Trace.Redirects;
    if (Trace.Redirects > 0) P.FollowedTo = Trace.FinalUrl.toStdString();
    if (P.Answered && P.Status >= 300 && P.Status < 400) P.Location = Trace.Location.toStdString();
    if (P.Answered) {
        // Qt decodes gzip and deflate itself and leaves the coding in the headers.
        P.Compressed =
            !Trace.ContentEncoding.isEmpty() &&
            Trace.ContentEncoding.compare(QLatin1String("identity"), Qt::CaseInsensitive) != 0;
        if (*P.Compressed) P.Encoding = Trace.ContentEncoding.toStdString();
    }

    if (Trace.Start == 0) {
        P.TimesNote = "the request never reached Qt's network code";
        return P;
    }
    P.TimesFrom = "Qt's signals";
    // Qt does not tell name resolution and connect apart from the rest; it tells when the
    // handshake ended, the request went, the head arrived and the exchange ended.
    auto Seen = [&](std::int64_t Moment) {
        return Moment ? TMoment::At(MsSince(Trace.Start, Moment)) : TMoment::None();
    };
    const bool Secure = Target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    P.Moments[NameResolved] = TMoment{};
    P.Moments[Connected] = TMoment{};
    // A reused connection has no handshake of its own; plain HTTP none at all.
    P.Moments[TlsDone] = Secure ? Seen(Trace.Encrypted) : TMoment::None();
    if (P.Failure == TFailure::Tls && P.Moments[TlsDone].Kind != TMoment::Reached)
        P.Moments[TlsDone] = TMoment::BrokeOff();
    P.Moments[RequestSent] = Seen(Trace.RequestSent);
    P.Moments[FirstByte] = Seen(Trace.HeadReceived);
    P.Moments[End] = P.Answered ? Seen(Trace.Finished) : TMoment::None();
    return P;
}

}  // namespace Ostrel::Cli
