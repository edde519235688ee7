#include "Ostrel.Cli.NimbraProbe.h"

#include <algorithm>
#include <vector>

#include "Nimbra.Http.Client.h"
#include "Nimbra.Http.InProcEngine.h"
#include "Nimbra.WinHttp.Api.h"
#include "Nimbra.WinHttp.Engine.h"

namespace Ostrel::Cli {

namespace {

TFailure WinHttpFailure(std::uint32_t Code) {
    switch (Code) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return TFailure::NameResolution;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return TFailure::Connection;
        case ERROR_WINHTTP_SECURE_FAILURE:
            return TFailure::Tls;
        case ERROR_WINHTTP_TIMEOUT:
            return TFailure::Timeout;
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        case ERROR_INVALID_PARAMETER:  // an empty host name
            return TFailure::InvalidUrl;
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        case ERROR_WINHTTP_REDIRECT_FAILED:
            return TFailure::Protocol;
        default:
            return TFailure::Other;
    }
}

// WinHTTP's moments as milestones of this exchange; 0 is a moment that did not occur.
void ReadTimes(TProbe& P, const WINHTTP_REQUEST_TIMES& T, std::int64_t Start) {
    auto Moment = [&](ULONGLONG V) {
        return V ? TMoment::At(MsSince(Start, static_cast<std::int64_t>(V))) : TMoment::None();
    };
    const auto& E = T.rgullTimes;
    P.Moments[NameResolved] = Moment(E[WinHttpNameResolutionEnd]);
    P.Moments[Connected] = Moment(E[WinHttpConnectionEstablishmentEnd]);
    P.Moments[TlsDone] =
        Moment(std::max({E[WinHttpTlsHandshakeClientLeg1End], E[WinHttpTlsHandshakeClientLeg2End],
                         E[WinHttpTlsHandshakeClientLeg3End]}));
    P.Moments[RequestSent] = Moment(E[WinHttpSendRequestEnd]);
    P.Moments[FirstByte] = Moment(E[WinHttpReceiveResponseStart]);
    P.Moments[End] = Moment(E[WinHttpReceiveResponseEnd]);
}

}  // namespace

TProbe ProbeNimbra(const std::string& Url, int TimeoutMs, bool AllowHttp2) {
    TProbe P;
    P.Stack = TStack::Nimbra;
    P.Url = Url;
    for (TMoment& M : P.Moments) M = TMoment::None();
    std::int64_t Start = CounterNow();
    try {
        Nimbra::THttpClient Client;
        if (auto* Engine = dynamic_cast<Nimbra::TWinHttpEngine*>(&Client.Engine()))
            Engine->SetAllowHttp2(AllowHttp2);
        const std::unique_ptr<Nimbra::THttpRequest> Request = Client.CreateRequest();
        Request->SetUri(Url);
        Request->SetMethod("GET");
        Request->SetTimeout(TimeoutMs);
        Start = CounterNow();
        const std::unique_ptr<Nimbra::THttpResponse> Response = Client.Send(*Request);
        P.Status = Response->StatusCode();
        P.Reason = Response->StatusReason();
        // The exchange ends with its body, read through and dropped piece by piece, so a
        // large one costs no memory.
        Runtime::TStream& Body = Response->ContentAsStream();
        std::vector<char> Piece(64 * 1024);
        while (Body.Read(Piece.data(), static_cast<std::int64_t>(Piece.size())) > 0) {
        }
        P.WallMs = MsSince(Start, CounterNow());
        P.Answered = true;
        if (P.Status >= 300 && P.Status < 400) P.Location = Response->Headers().Get("Location");
        // A coding still in the headers was decoded by Nimbra's stream; WinHTTP decodes gzip
        // and deflate itself and then drops the header, but counts the time it spent.
        P.Encoding = Response->ContentEncoding();
        P.Compressed = !P.Encoding.empty();
        if (auto* W = dynamic_cast<Nimbra::TWinHttpResponse*>(Response.get())) {
            try {
                P.Protocol = Nimbra::HttpProtocolName(W->HttpProtocolUsed());
            } catch (const Nimbra::EWinHttpClientException&) {
                // The answer stands; only its protocol cannot be told.
            }
            if (const auto Times = W->RequestTimes()) {
                P.TimesFrom = "WinHTTP";
                ReadTimes(P, *Times, Start);
                if (!*P.Compressed &&
                    Times->rgullTimes[WinHttpReceiveResponseBodyDecompressionDelta]) {
                    P.Compressed = true;
                    P.Encoding = "gzip or deflate, decoded by WinHTTP";
                }
            } else {
                P.TimesNote = "this WinHTTP does not offer request times";
                if (!*P.Compressed) P.Compressed.reset();  // WinHTTP may have decoded it unseen
                for (TMoment& M : P.Moments) M = TMoment{};
            }
        } else {
            if (auto* I = dynamic_cast<Nimbra::TInProcHttpResponse*>(Response.get()))
                P.Protocol = Nimbra::HttpProtocolName(I->HttpProtocolUsed());
            P.TimesNote = "served in process: no network phases";
        }
        return P;
    } catch (const Nimbra::EWinHttpClientException& E) {
        P.Message = E.Message();
        P.Failure = WinHttpFailure(E.Code());
        if (P.Failure == TFailure::Tls) P.Problem = CertificateProblem(E.SecureFailureFlags());
    } catch (const Nimbra::EInProcServerNotFoundException& E) {
        P.Message = E.Message();
        P.Failure = TFailure::InProcServerMissing;
    } catch (const Nimbra::EHttpEngineException& E) {
        P.Message = E.Message();
        // The URL is always set, so the contract's error for a request without one cannot
        // occur here; an address the engine cannot send is a WinHTTP error with its code.
        P.Failure = TFailure::Other;
    } catch (const std::exception& E) {
        P.Message = E.what();
        P.Failure = TFailure::Other;
    }
    P.WallMs = MsSince(Start, CounterNow());
    // The times belong to the response; a failed exchange closed its handles without one.
    // A local:// URL never reached WinHTTP.
    P.TimesNote = Nimbra::TUri(Url).Scheme() == "local"
                      ? "sent in process: no network phases"
                      : "WinHTTP keeps its times with a response, and a failure leaves none";
    return P;
}

}  // namespace Ostrel::Cli
