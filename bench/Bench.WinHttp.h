#pragma once
// Bench.WinHttp: libwinhttp's side of the comparisons with raw libcurl: one GET as the engine
// makes it (connect, open request, send, receive, read to the end, close) on one session kept
// for the whole run, through the engine's binding (Nimbra.WinHttp.Api.h). What a comparison
// needs of it (TLS, HTTP/2, the read buffer) is set once in TLibraryOptions:
//
//     Bench::TLibraryGet Library(Port, u"/small.txt", 1024);
//     Bench::TLibraryOptions Large;
//     Large.BufferSize = 512 * 1024;
//     Bench::TLibraryGet Body(Port, u"/large.bin", 256 << 20, Large);
//     Bench::ComparePairs([&] { Library(); }, [&] { Curl(); }, Opt);

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "Nimbra.WinHttp.Api.h"

namespace Bench {

struct TLibraryOptions {
    /// The WinHttpReadData buffer in bytes.
    std::size_t BufferSize = 8192;
    /// https (the server's certificate trusted through the environment, as curl's is).
    bool Secure = false;
    /// The session offers HTTP/2 (on https only, as WinHTTP does); the first transfer checks
    /// that the answer came over the protocol asked for, so a figure never compares another.
    bool Http2 = false;
};

/// Owns the session and the read buffer; the binding must be loaded (Nimbra::LoadWinHttp).
class TLibraryGet {
  public:
    TLibraryGet(int Port, const char16_t* Path, std::size_t Expected, TLibraryOptions Options = {})
        : FSession(
              Nimbra::WinHttpOpen(u"Bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0)),
          FPort(static_cast<INTERNET_PORT>(Port)),
          FPath(Path),
          FExpected(Expected),
          FOptions(Options),
          FBuf(Options.BufferSize) {
        if (!FSession) throw std::runtime_error("WinHttpOpen failed");
        DWORD Flags = WINHTTP_PROTOCOL_FLAG_HTTP2;
        if (Options.Http2 &&
            !Nimbra::WinHttpSetOption(FSession, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &Flags,
                                      sizeof Flags)) {
            const DWORD Error = GetLastError();
            Nimbra::WinHttpCloseHandle(FSession);
            throw std::runtime_error("libwinhttp does not offer HTTP/2 (error " +
                                     std::to_string(Error) + ")");
        }
    }
    ~TLibraryGet() { Nimbra::WinHttpCloseHandle(FSession); }
    TLibraryGet(const TLibraryGet&) = delete;
    TLibraryGet& operator=(const TLibraryGet&) = delete;

    /// One transfer; throws std::runtime_error when it fails or its body has another size.
    void operator()() {
        using Nimbra::WinHttpCloseHandle, Nimbra::WinHttpConnect, Nimbra::WinHttpOpenRequest,
            Nimbra::WinHttpReadData, Nimbra::WinHttpReceiveResponse, Nimbra::WinHttpSendRequest;
        HINTERNET Conn = WinHttpConnect(FSession, u"127.0.0.1", FPort, 0);
        if (!Conn) throw std::runtime_error("library: WinHttpConnect failed");
        HINTERNET Req = WinHttpOpenRequest(Conn, u"GET", FPath, nullptr, nullptr, nullptr,
                                           FOptions.Secure ? WINHTTP_FLAG_SECURE : 0);
        bool Ok = Req && WinHttpSendRequest(Req, u"\r\n", 2, nullptr, 0, 0, 0) &&
                  WinHttpReceiveResponse(Req, nullptr);
        std::size_t Got = 0;
        for (DWORD N = 1; Ok && N > 0;) {
            Ok = WinHttpReadData(Req, FBuf.data(), static_cast<DWORD>(FBuf.size()), &N);
            Got += N;
        }
        const std::string Wrong = !Ok || Got != FExpected ? "library: transfer failed"
                                  : FChecked              ? ""
                                                          : WrongProtocol(Req);
        FChecked = true;
        if (Req) WinHttpCloseHandle(Req);
        WinHttpCloseHandle(Conn);
        if (!Wrong.empty()) throw std::runtime_error(Wrong);
    }

  private:
    /// Why the answer on Req did not come over the protocol asked for ("" when it did).
    std::string WrongProtocol(HINTERNET Req) const {
        if (!FOptions.Secure) return {};
        DWORD Used = 0;
        DWORD Length = sizeof Used;
        if (!Nimbra::WinHttpQueryOption(Req, WINHTTP_OPTION_HTTP_PROTOCOL_USED, &Used, &Length))
            return "library: the protocol used cannot be told (error " +
                   std::to_string(GetLastError()) + ")";
        if (((Used & WINHTTP_PROTOCOL_FLAG_HTTP2) != 0) != FOptions.Http2)
            return std::string("library: the answer did not come over ") +
                   (FOptions.Http2 ? "HTTP/2" : "HTTP/1.1");
        return {};
    }

    HINTERNET FSession;
    INTERNET_PORT FPort;
    const char16_t* FPath;
    std::size_t FExpected;
    TLibraryOptions FOptions;
    std::vector<char> FBuf;
    bool FChecked = false;  // the protocol of the first transfer was checked
};

}  // namespace Bench
