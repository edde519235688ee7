#pragma once
// A transport of the tests' own: a context whose response records what the output hooks
// receive, and a request body served from memory.

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Nimbra.HttpServer.Context.h"
#include "Nimbra.HttpServer.Request.h"
#include "Nimbra.HttpServer.Response.h"

namespace ServerTest {

inline Runtime::TBytes Bytes(const std::string& S) {
    return Runtime::TBytes(S.begin(), S.end());
}
inline std::string Text(const Runtime::TBytes& B) {
    return std::string(B.begin(), B.end());
}

/// Records the hooks' calls: the status and headers as DoWriteHeaders saw them, every raw
/// byte in order, and how often each hook ran. DoWrite can be limited per call
/// (MaxPerWrite) and in total (Budget, after which it takes nothing).
class TRecordingResponse : public Nimbra::THttpServerResponse {
  public:
    struct THeadSnapshot {
        int Status = 0;
        std::string Reason;
        std::map<std::string, std::string> Headers;
        std::size_t BodyBytesBefore = 0;
    };

    std::vector<THeadSnapshot> HeaderWrites;
    Runtime::TBytes Body;
    int WriteCalls = 0;
    int CloseCalls = 0;
    int AbortCalls = 0;
    std::int64_t MaxPerWrite = -1;
    std::int64_t Budget = -1;

    std::string BodyText() const { return Text(Body); }
    std::string Header(const std::string& Name) const {
        if (HeaderWrites.empty()) return "<no headers written>";
        auto It = HeaderWrites.back().Headers.find(Name);
        return It == HeaderWrites.back().Headers.end() ? "<absent>" : It->second;
    }

  protected:
    void DoClose() override { ++CloseCalls; }
    void DoAbort() override { ++AbortCalls; }
    void DoWriteHeaders() override {
        THeadSnapshot S;
        S.Status = StatusCode();
        S.Reason = StatusReason();
        for (const auto& H : Headers().AllHeaders()) S.Headers[H.Name()] = H.Value();
        S.BodyBytesBefore = Body.size();
        HeaderWrites.push_back(std::move(S));
    }
    std::int64_t DoWrite(const void* Buffer, std::int64_t Count) override {
        ++WriteCalls;
        std::int64_t N = Count;
        if (MaxPerWrite >= 0) N = std::min(N, MaxPerWrite);
        if (Budget >= 0) {
            N = std::min(N, Budget);
            Budget -= N;
        }
        const auto* P = static_cast<const std::uint8_t*>(Buffer);
        Body.insert(Body.end(), P, P + N);
        return N;
    }
};

/// A request body from memory, with a declared length (-1: unknown) and a read counter.
class TMemoryRequestStream : public Nimbra::THttpRequestStream {
  public:
    explicit TMemoryRequestStream(Runtime::TBytes AData, std::int64_t ALength = -1)
        : FData(std::move(AData)), FLength(ALength) {}

    int ReadCalls = 0;

  protected:
    std::int64_t GetContentLength() override { return FLength; }
    std::int64_t ReadContent(void* Buffer, std::int64_t Count) override {
        ++ReadCalls;
        const std::int64_t N =
            std::min<std::int64_t>(Count, static_cast<std::int64_t>(FData.size()) - FPos);
        if (N <= 0) return 0;
        std::memcpy(Buffer, FData.data() + FPos, static_cast<std::size_t>(N));
        FPos += N;
        return N;
    }

  private:
    Runtime::TBytes FData;
    std::int64_t FLength;
    std::int64_t FPos = 0;
};

/// A context owning a request and a recording response.
class TTestContext : public Nimbra::THttpServerContext {
  public:
    explicit TTestContext(const std::string& RawUri = "local://test/",
                          const std::string& Method = "GET") {
        FRequest.SetMethod(Method);
        FRequest.SetRawUri(RawUri);
    }

    TRecordingResponse& Recorded() { return FResponse; }

  protected:
    Nimbra::THttpServerRequest& GetRequest() override { return FRequest; }
    Nimbra::THttpServerResponse& GetResponse() override { return FResponse; }

  private:
    Nimbra::THttpServerRequest FRequest;
    TRecordingResponse FResponse;
};

/// One chunk of a chunked body: its size line as written and its data.
struct TChunk {
    std::string SizeLine;
    std::string Data;
};

/// Splits a chunked body strictly (upper-case hex, CR LF everywhere, last chunk "0" with
/// no trailers); Ok is false at the first deviation.
struct TChunkedBody {
    bool Ok = false;
    std::vector<TChunk> Chunks;
    std::string Data;
};

inline TChunkedBody ParseChunked(const std::string& Raw) {
    TChunkedBody R;
    std::size_t Pos = 0;
    for (;;) {
        const std::size_t Eol = Raw.find("\r\n", Pos);
        if (Eol == std::string::npos) return R;
        const std::string Line = Raw.substr(Pos, Eol - Pos);
        if (Line.empty() || Line.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return R;
        if (Line.size() > 1 && Line[0] == '0') return R;
        const std::size_t Size = std::stoul(Line, nullptr, 16);
        Pos = Eol + 2;
        if (Size == 0) {
            R.Ok = Raw.compare(Pos, std::string::npos, "\r\n") == 0;
            return R;
        }
        if (Raw.size() < Pos + Size + 2 || Raw.compare(Pos + Size, 2, "\r\n") != 0) return R;
        R.Chunks.push_back({Line, Raw.substr(Pos, Size)});
        R.Data += R.Chunks.back().Data;
        Pos += Size + 2;
    }
}

}  // namespace ServerTest
