// WINHTTP_OPTION_REQUEST_TIMES: the moments this layer stamped itself, with curl's transfer
// timings placing name resolution, connection and TLS handshake between them.

#include <algorithm>

#include "Os.Clock.h"
#include "WinHttp.Handles.h"

namespace WinHttpImpl {

void TRequest::RequestTimes(ULONGLONG* Times, DWORD Count) const {
    std::fill(Times, Times + Count, 0);
    if (!FSlot) return;  // never sent
    // In a hub, other threads' rounds move the transfer's moments on.
    TCall Call(const_cast<TRequest&>(*this));
    const TMoments& M = FMoments;
    if (M.Start == 0) return;  // nothing was sent

    // curl counts microseconds from the start of the transfer, which began no earlier than
    // our stamp: each moment placed from it is at most a few microseconds early, never late.
    curl_off_t LookupUs = 0, ConnectUs = 0, TlsUs = 0, FirstByteUs = 0;
    CURL* E = FSlot->Easy;
    curl_easy_getinfo(E, CURLINFO_NAMELOOKUP_TIME_T, &LookupUs);
    curl_easy_getinfo(E, CURLINFO_CONNECT_TIME_T, &ConnectUs);
    curl_easy_getinfo(E, CURLINFO_APPCONNECT_TIME_T, &TlsUs);
    curl_easy_getinfo(E, CURLINFO_STARTTRANSFER_TIME_T, &FirstByteUs);

    LARGE_INTEGER Frequency;
    QueryPerformanceFrequency(&Frequency);
    // Redirects are followed here, each hop a transfer of its own for curl: its timings are
    // the last hop's, from when that hop was handed over.
    const std::int64_t HopStart = M.HopStart ? M.HopStart : M.Start;
    auto At = [&](curl_off_t Us) -> std::int64_t {
        return Us > 0 ? HopStart + Us * Frequency.QuadPart / 1000000 : 0;
    };
    // curl keeps no connect time for a connection whose handshake failed: the handshake's
    // start, which we saw, is then the connection's end. curl marks a name resolution even for
    // a reused connection, but no connect: a request that went out without a connect time
    // reused one and had neither phase.
    const std::int64_t ConnectEnd = ConnectUs > 0 ? At(ConnectUs) : M.SendStart ? 0 : M.TlsStart;
    const bool Reused = M.SendStart != 0 && ConnectEnd == 0;
    const std::int64_t LookupEnd = Reused ? 0 : At(LookupUs);
    const std::int64_t TlsEnd = At(TlsUs);
    // A caller that read as many bytes as the response announced stops reading, and curl,
    // paused once the caller's buffer was full, never gets to report the end: the body was
    // complete when its last piece arrived.
    std::int64_t End = M.End;
    if (End == 0 && M.LastData != 0 && FState == TState::Received) {
        // The length as the head announced it (curl does not take it from an HTTP/2 head).
        curl_off_t Got = 0, Announced = FAnnounced;
        curl_easy_getinfo(E, CURLINFO_SIZE_DOWNLOAD_T, &Got);
        // The same for a coded body whose data ended before curl saw its framing end.
        if ((Announced >= 0 && Got >= Announced) || FDecodeEnded) End = M.LastData;
    }
    const std::int64_t TlsStart = Reused ? 0 : M.TlsStart ? M.TlsStart : TlsEnd ? ConnectEnd : 0;

    // The entries in the order the moments happen; a moment not reached stays 0.
    struct {
        WINHTTP_REQUEST_TIME_ENTRY Entry;
        std::int64_t Value;
    } const Order[] = {
        {WinHttpConnectionAcquireStart, HopStart},
        {WinHttpNameResolutionStart, Reused ? 0 : HopStart},
        {WinHttpNameResolutionEnd, LookupEnd},
        {WinHttpConnectionEstablishmentStart, LookupEnd},
        {WinHttpConnectionEstablishmentEnd, ConnectEnd},
        // curl sees the handshake as a whole: it is reported as the first leg.
        {WinHttpTlsHandshakeClientLeg1Start, TlsStart},
        {WinHttpTlsHandshakeClientLeg1End, TlsEnd},
        {WinHttpConnectionAcquireEnd, M.SendStart ? std::max({HopStart, ConnectEnd, TlsEnd}) : 0},
        {WinHttpSendRequestStart, M.SendStart},
        {WinHttpSendRequestHeadersEnd, M.SendEnd},
        {WinHttpSendRequestEnd, M.SendEnd},
        {WinHttpReceiveResponseStart, M.SendEnd ? std::max(M.SendEnd, At(FirstByteUs)) : 0},
        {WinHttpReceiveResponseHeadersEnd, M.HeadEnd},
        {WinHttpReceiveResponseEnd, End},
    };
    // curl's offsets run from its own start, a little after ours, so a moment placed by them
    // can come out before one we stamped that it follows: it is then shown at that stamp.
    std::int64_t Last = 0;
    for (const auto& O : Order) {
        if (O.Value == 0) continue;
        Last = std::max(Last, O.Value);
        if (static_cast<DWORD>(O.Entry) < Count) Times[O.Entry] = static_cast<ULONGLONG>(Last);
    }
    if (M.DecodeTicks > 0 && WinHttpReceiveResponseBodyDecompressionDelta < Count)
        Times[WinHttpReceiveResponseBodyDecompressionDelta] = static_cast<ULONGLONG>(M.DecodeTicks);
}

}  // namespace WinHttpImpl
