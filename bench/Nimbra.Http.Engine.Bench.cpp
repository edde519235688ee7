// Response body reading against the plain library calls doing the same work, in paired
// rounds (Bench.Pairs.h): a 64 MiB gzip body read through ContentAsStream next to a bare
// zlib inflate loop over the same bytes, and ContentAsBytes of a 64 MiB identity body next
// to a memory copy of it and to a fresh array plus the copy.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Pairs.h"
#include "Nimbra.Http.Engine.h"

namespace {

using Runtime::TBytes;

constexpr std::int64_t BodySize = std::int64_t{64} << 20;
// What a caller reading a stream typically asks for at a time; both gzip loops use it.
constexpr std::int64_t ReadSize = 64 * 1024;

// Log-like text lines with varying numbers: compresses about as well as typical JSON or HTML.
const TBytes& PlainBody() {
    static const TBytes Body = [] {
        std::mt19937 Engine(42);
        const auto Gen = [&] { return static_cast<unsigned>(Engine()); };
        static const char* Levels[] = {"INFO", "WARN", "DEBUG", "ERROR"};
        static const char* Paths[] = {"/api/v1/orders", "/api/v1/users", "/static/app.js",
                                      "/health", "/api/v2/search"};
        TBytes Out;
        Out.reserve(static_cast<std::size_t>(BodySize) + 256);
        char Line[256];
        while (static_cast<std::int64_t>(Out.size()) < BodySize) {
            const int N =
                std::snprintf(Line, sizeof Line,
                              "{\"ts\":%u,\"level\":\"%s\",\"path\":\"%s\",\"status\":%u,"
                              "\"ms\":%u,\"id\":\"%08x\"}\n",
                              1700000000u + Gen() % 100000u, Levels[Gen() % 4], Paths[Gen() % 5],
                              200u + Gen() % 4u * 100u, Gen() % 5000u, Gen());
            Out.insert(Out.end(), Line, Line + N);
        }
        Out.resize(static_cast<std::size_t>(BodySize));
        return Out;
    }();
    return Body;
}

const TBytes& GzipBody() {
    static const TBytes Body = [] {
        const TBytes& Plain = PlainBody();
        z_stream Z{};
        deflateInit2(&Z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        TBytes Out(deflateBound(&Z, static_cast<uLong>(Plain.size())) + 64);
        Z.next_in = const_cast<Bytef*>(Plain.data());
        Z.avail_in = static_cast<uInt>(Plain.size());
        Z.next_out = Out.data();
        Z.avail_out = static_cast<uInt>(Out.size());
        if (deflate(&Z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate failed");
        Out.resize(Z.total_out);
        deflateEnd(&Z);
        return Out;
    }();
    return Body;
}

// A transport whose body is already in memory, as the in-process one has it.
class TMemoryBodyStream : public Nimbra::THttpResponseStream {
  public:
    explicit TMemoryBodyStream(const TBytes& ABody) : FBody(ABody) {}

  protected:
    std::int64_t DoRead(void* Buffer, std::int64_t Count) override {
        const std::int64_t N = std::min(Count, static_cast<std::int64_t>(FBody.size()) - FPos);
        if (N <= 0) return 0;
        std::memcpy(Buffer, FBody.data() + FPos, static_cast<std::size_t>(N));
        FPos += N;
        return N;
    }

  private:
    const TBytes& FBody;
    std::int64_t FPos = 0;
};

class TMemoryResponse : public Nimbra::THttpResponse {
  public:
    TMemoryResponse(const TBytes& ABody, std::string AEncoding)
        : FBody(ABody), FEncoding(std::move(AEncoding)) {}

    std::int64_t GetContentLength() override { return static_cast<std::int64_t>(FBody.size()); }
    std::string GetContentType() override { return "application/json"; }
    std::string GetContentEncoding() override { return FEncoding; }
    std::int32_t GetStatusCode() override { return 200; }
    std::string GetStatusReason() override { return "OK"; }

  protected:
    std::unique_ptr<Runtime::TStream> CreateContentStream() override {
        return std::make_unique<TMemoryBodyStream>(FBody);
    }
    void LoadHeaders(Nimbra::THttpHeaders& Headers) override {
        Headers.SetValue("Content-Length", std::to_string(FBody.size()));
        if (!FEncoding.empty()) Headers.SetValue("Content-Encoding", FEncoding);
    }

  private:
    const TBytes& FBody;
    std::string FEncoding;
};

void GzipPlainInflate(TBytes& Out) {
    const TBytes& In = GzipBody();
    z_stream Z{};
    inflateInit2(&Z, 31);
    Z.next_in = const_cast<Bytef*>(In.data());
    Z.avail_in = static_cast<uInt>(In.size());
    std::int64_t Total = 0;
    int Code = Z_OK;
    while (Code == Z_OK) {
        Z.next_out = Out.data();
        Z.avail_out = static_cast<uInt>(Out.size());
        Code = inflate(&Z, Z_NO_FLUSH);
        Total += ReadSize - Z.avail_out;
    }
    inflateEnd(&Z);
    if (Code != Z_STREAM_END || Total != BodySize) throw std::runtime_error("inflate failed");
    Bench::Keep(Out.data());
}

void GzipContentAsStream(TBytes& Out) {
    TMemoryResponse Response(GzipBody(), "gzip");
    Runtime::TStream& S = Response.ContentAsStream();
    std::int64_t Total = 0;
    for (;;) {
        const std::int64_t N = S.Read(Out.data(), ReadSize);
        if (N == 0) break;
        Total += N;
    }
    if (Total != BodySize) throw std::runtime_error("ContentAsStream: short body");
    Bench::Keep(Out.data());
}

void IdentityMemcpy(TBytes& Out) {
    const TBytes& In = PlainBody();
    std::memcpy(Out.data(), In.data(), In.size());
    Bench::Keep(Out.data());
}

// The least any byte-array answer costs: a fresh array, then the copy.
void IdentityFreshArrayCopy() {
    const TBytes& In = PlainBody();
    TBytes Out(In.size());
    std::memcpy(Out.data(), In.data(), In.size());
    Bench::Keep(Out.data());
}

void IdentityContentAsBytes() {
    TMemoryResponse Response(PlainBody(), "");
    const TBytes& Out = Response.ContentAsBytes();
    if (static_cast<std::int64_t>(Out.size()) != BodySize)
        throw std::runtime_error("ContentAsBytes: short body");
    Bench::Keep(Out.data());
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        std::printf("body: %lld bytes, gzip: %zu bytes\n", static_cast<long long>(BodySize),
                    GzipBody().size());
        TBytes Piece(static_cast<std::size_t>(ReadSize)), Copy(PlainBody().size());

        const auto Gzip = Bench::ComparePairs([&] { GzipContentAsStream(Piece); },
                                              [&] { GzipPlainInflate(Piece); }, Opt);
        Bench::Record(Bench::RatioFigure("engine.gzip-stream",
                                         "ContentAsStream of a 64 MiB gzip body / zlib inflate "
                                         "loop, 64 KiB reads",
                                         Gzip, std::nullopt),
                      Opt);
        const auto Bytes = Bench::ComparePairs([] { IdentityContentAsBytes(); },
                                               [&] { IdentityMemcpy(Copy); }, Opt);
        Bench::Record(Bench::RatioFigure("engine.bytes-vs-memcpy",
                                         "ContentAsBytes of a 64 MiB body / memcpy into a "
                                         "buffer kept for the run",
                                         Bytes, std::nullopt),
                      Opt);
        const auto Fresh = Bench::ComparePairs([] { IdentityContentAsBytes(); },
                                               [] { IdentityFreshArrayCopy(); }, Opt);
        Bench::Record(Bench::RatioFigure("engine.bytes-vs-fresh-copy",
                                         "ContentAsBytes of a 64 MiB body / a fresh array and "
                                         "memcpy",
                                         Fresh, std::nullopt),
                      Opt);
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_engine: %s\n", E.what());
        return 1;
    }
}
