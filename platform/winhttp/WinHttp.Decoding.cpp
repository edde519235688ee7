// Content decoding (gzip, deflate) of a response body, done as the caller reads.

#include <algorithm>
#include <climits>
#include <cstring>

#include "WinHttp.Handles.h"

namespace WinHttpImpl {

DWORD TRequest::Decode(void* Out, DWORD Length, DWORD& Got) {
    Got = 0;
    using TClock = std::chrono::steady_clock;
    // Bytes that decode to nothing (headers, empty blocks) are no data: the receive time-out
    // runs from this call until output, not from the last byte that came in.
    const TClock::time_point Start =
        TTimeouts::Wait(Timeouts.Receive) > 0 ? TClock::now() : TClock::time_point();
    for (;;) {
        if (FDecodeEnded) return 0;
        std::size_t Avail = FBuf.size() - FBufPos;
        if (FBetweenMembers) {
            // Another gzip member continues the body; anything else after the end of the last
            // one is not part of it. Its first two bytes tell, however late they come.
            if (Avail >= 2) {
                if (FBuf[FBufPos] != 0x1f || FBuf[FBufPos + 1] != 0x8b) {
                    EndDecodedBody();
                    return 0;
                }
                inflateReset(FZ.get());
                FBetweenMembers = false;
                continue;
            }
            if (FDone) {
                // A transfer that broke off here may have been cut before another member.
                if (FResult != CURLE_OK) return MapFailure();
                EndDecodedBody();
                return 0;
            }
        } else if (Avail > 0 && (FDecodeStarted || !FDeflate || Avail >= 2 || FDone)) {
            if (!FDecodeStarted) {
                int Bits = 47;  // gzip, or zlib from servers that label it gzip
                if (FDeflate) {
                    // "deflate" is meant to be zlib-wrapped; some servers send it raw.
                    unsigned B0 = FBuf[FBufPos], B1 = Avail > 1 ? FBuf[FBufPos + 1] : 0;
                    bool Zlib = (B0 & 0x0F) == 8 && ((B0 << 8) | B1) % 31 == 0;
                    Bits = Zlib ? 15 : -15;
                }
                FZ = std::make_unique<z_stream>();
                if (inflateInit2(FZ.get(), Bits) != Z_OK) {
                    FZ.reset();
                    return ERROR_NOT_ENOUGH_MEMORY;
                }
                FDecodeStarted = true;
            }
            FZ->next_in = FBuf.data() + FBufPos;
            FZ->avail_in = static_cast<uInt>(std::min<std::size_t>(Avail, UINT_MAX));
            FZ->next_out = static_cast<Bytef*>(Out);
            FZ->avail_out = Length;
            const std::int64_t Before = Tick();
            int Rc = inflate(FZ.get(), Z_NO_FLUSH);
            FMoments.DecodeTicks += std::max<std::int64_t>(1, Tick() - Before);
            std::size_t Used = std::min<std::size_t>(Avail, UINT_MAX) - FZ->avail_in;
            FBufPos += Used;
            Got = Length - FZ->avail_out;
            if (Rc == Z_STREAM_END) {
                // Concatenated gzip members form one body; deflate data has one stream.
                if (FDeflate)
                    EndDecodedBody();
                else
                    FBetweenMembers = true;
            } else if (Rc != Z_OK && Rc != Z_BUF_ERROR) {
                FState = TState::Failed;
                return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            }
            if (FBufPos == FBuf.size()) {
                FBuf.clear();
                FBufPos = 0;
            } else if (FBufPos > BufferedLimit / 2) {
                FBuf.erase(FBuf.begin(), FBuf.begin() + static_cast<std::ptrdiff_t>(FBufPos));
                FBufPos = 0;
            }
            if (Got > 0) return 0;
            if (Used > 0 || FBetweenMembers || FDecodeEnded) continue;
        }
        if (FDone) {
            if (FResult != CURLE_OK) return MapFailure();
            if (!FDecodeStarted) return 0;  // an empty body
            FState = TState::Failed;
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;  // compressed data cut short
        }
        int WaitMs = TTimeouts::Wait(Timeouts.Receive);
        if (WaitMs > 0) {
            auto Spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start)
                    .count();
            if (Spent >= WaitMs) return ERROR_WINHTTP_TIMEOUT;
            WaitMs -= static_cast<int>(Spent);
        }
        std::size_t Before = FBuf.size() - FBufPos;
        if (FRecvPaused) {
            FRecvPaused = false;
            curl_easy_pause(FSlot->Easy, FSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
        }
        // An asynchronous read comes back when more has arrived.
        if (FAsyncMode) return PendingResult;
        DWORD Err = Drive([this, Before] { return FBuf.size() - FBufPos > Before; }, WaitMs, false);
        if (Err) return Err;
    }
}

// The decoded body is over. Bytes after it are dropped; when the transfer has not ended, its
// connection goes with the request (an unfinished transfer is never reused).
void TRequest::EndDecodedBody() {
    FDecodeEnded = true;
    FBetweenMembers = false;
    FBuf.clear();
    FBufPos = 0;
}

}  // namespace WinHttpImpl
