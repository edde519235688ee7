// In-process exchange context: the server request made from a client request, its body read
// ahead from the client's stream, and the response body captured in memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <unistd.h>
#endif

#include "InProc.TestSupport.h"
#include "Nimbra.HttpServer.Dispatcher.h"
#include "Nimbra.InProc.Context.h"

namespace {

using InProcTest::Bytes;
using InProcTest::PatternByte;
using InProcTest::PatternBytes;
using InProcTest::Text;
using InProcTest::TRecordingBodyStream;
using Nimbra::THttpRequest;
using Nimbra::THttpServerContext;
using Nimbra::TInProcHttpContext;
using Runtime::TBytes;

constexpr std::int64_t Block = Nimbra::TInProcHttpServerRequestStream::BufferSize;

std::map<std::string, std::string> Snapshot(const Nimbra::THttpHeaders& Headers) {
    std::map<std::string, std::string> Result;
    for (const Nimbra::THttpHeaderInfo& Info : Headers.AllHeaders())
        Result.emplace(Info.Name(), Info.Value());
    return Result;
}

TEST(InProcContext, ServerRequestCarriesTheClientRequest) {
    const struct {
        const char* Name;
        std::string Method;
        std::string Uri;
        std::vector<std::pair<std::string, std::string>> Headers;
        bool WithBody;
        std::string ExpectedMethod;
    } Cases[] = {
        {"empty method becomes GET", "", "local://default/api/items?x=1", {}, false, "GET"},
        {"method as the client stored it",
         "post",
         "local://Srv:81/a%20b#f",
         {{"X-One", "1"}, {"Accept", "text/plain"}},
         true,
         "POST"},
        {"other method unchanged",
         "PROPFIND",
         "local:///",
         {{"Content-Type", "a/b"}},
         true,
         "PROPFIND"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THttpRequest Client;
        Client.SetMethod(C.Method);
        Client.SetUri(C.Uri);
        for (const auto& [Name, Value] : C.Headers) Client.Headers().SetValue(Name, Value);
        if (C.WithBody) Client.SetContent(Bytes("body"));

        TInProcHttpContext Context(Client);
        Nimbra::THttpServerRequest& Server = Context.Request();
        EXPECT_EQ(Server.Method(), C.ExpectedMethod);
        EXPECT_EQ(Server.RawUri(), C.Uri);
        EXPECT_EQ(Server.RawOriginalUri(), C.Uri);
        EXPECT_EQ(Server.Protocol(), "HTTP/1.1");
        // Exactly the client's headers: nothing made up for the body or the host.
        EXPECT_EQ(Snapshot(Server.Headers()), Snapshot(Client.Headers()));
        EXPECT_EQ(Server.ContentLength(), -1);
        EXPECT_EQ(Server.ContentStream()->Size(), C.WithBody ? 4 : 0);
        EXPECT_EQ(Text(Server.Content()), C.WithBody ? "body" : "");
    }
}

/// Reads the server request body in pieces of Piece bytes; returns the bytes and the count of
/// every read.
struct TServerRead {
    TBytes Data;
    std::vector<std::int64_t> Counts;
};
TServerRead ReadBody(Runtime::TStream& Body, std::int64_t Piece) {
    TServerRead R;
    TBytes Buffer(static_cast<std::size_t>(Piece));
    for (;;) {
        const std::int64_t N = Body.Read(Buffer.data(), Piece);
        R.Counts.push_back(N);
        if (N == 0) break;
        R.Data.insert(R.Data.end(), Buffer.begin(), Buffer.begin() + N);
    }
    return R;
}

TEST(InProcContext, RequestBodyIsReadAheadInBlocksAndArrivesWhole) {
    const struct {
        const char* Name;
        std::int64_t Size;
        std::int64_t Piece;
        std::int64_t MaxPerClientRead;  // 0: the client stream hands out all asked for
        std::vector<std::int64_t> ClientReads;
    } Cases[] = {
        {"three blocks and a bit in 4096-byte reads",
         3 * Block + 1000,
         4096,
         0,
         {Block, Block, Block, Block}},
        {"reads spanning blocks", 3 * Block + 1000, 5000, 0, {Block, Block, Block, Block}},
        {"one read for everything", 2 * Block + 7, 3 * Block, 0, {Block, Block, Block}},
        {"exactly two blocks", 2 * Block, 4096, 0, {Block, Block}},
        {"a client stream handing out less than asked", Block + 10, 4096, 1000,
         std::vector<std::int64_t>(66, Block)},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TBytes Body = PatternBytes(C.Size);
        THttpRequest Client;
        auto Owned = std::make_unique<TRecordingBodyStream>(Body, C.MaxPerClientRead);
        TRecordingBodyStream& ClientStream = *Owned;
        Client.SetOwnedContentStream(std::move(Owned));

        TInProcHttpContext Context(Client);
        Runtime::TStream& Server = *Context.Request().ContentStream();
        EXPECT_EQ(Server.Size(), C.Size);
        const TServerRead R = ReadBody(Server, C.Piece);
        EXPECT_TRUE(R.Data == Body) << "complete and in order";
        for (std::size_t I = 0; I + 1 < R.Counts.size(); ++I)
            ASSERT_EQ(R.Counts[I],
                      std::min(C.Piece, C.Size - static_cast<std::int64_t>(I) * C.Piece))
                << "read " << I << " gets exactly what it asked for";
        EXPECT_EQ(ClientStream.ReadsAsked, C.ClientReads);
        EXPECT_EQ(Server.Position(), C.Size);
    }
}

TEST(InProcContext, RequestBodyShorterThanPromised) {
    const struct {
        const char* Name;
        bool WithStream;
        std::int64_t AdvanceAfterAttach;
        std::int64_t Size;  // the server stream's Size
        std::string Delivered;
    } Cases[] = {
        {"no content stream", false, 0, 0, ""},
        {"stream moved on after it was attached", true, 4, 10, "456789"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THttpRequest Client;
        Runtime::TBytesStream Stream(Bytes("0123456789"));
        if (C.WithStream) {
            Client.SetContentStream(&Stream);
            Stream.SetPosition(C.AdvanceAfterAttach);
        }
        TInProcHttpContext Context(Client);
        Runtime::TStream& Server = *Context.Request().ContentStream();
        EXPECT_EQ(Server.Size(), C.Size);
        const TServerRead R = ReadBody(Server, 100);
        EXPECT_EQ(Text(R.Data), C.Delivered);
        char Byte;
        EXPECT_EQ(Server.Read(&Byte, 1), 0) << "and nothing after";
    }
}

/// A client body of any length made up as it is read, so that bodies beyond what memory
/// holds can be sent.
class TGeneratedBodyStream : public Runtime::TStream {
  public:
    explicit TGeneratedBodyStream(std::int64_t ASize) : FSize(ASize) {}
    std::int64_t Read(void* Buffer, std::int64_t Count) override {
        const std::int64_t N = std::min(Count, FSize - FPos);
        if (N <= 0) return 0;
        // Byte at offset O is O mod 256, copied from a table in runs of up to 256 bytes.
        static const std::array<std::uint8_t, 512> Table = [] {
            std::array<std::uint8_t, 512> T{};
            for (std::size_t I = 0; I < T.size(); ++I) T[I] = static_cast<std::uint8_t>(I);
            return T;
        }();
        auto* Out = static_cast<std::uint8_t*>(Buffer);
        for (std::int64_t I = 0; I < N;) {
            const std::int64_t Run = std::min<std::int64_t>(N - I, 256);
            std::memcpy(Out + I, Table.data() + ((FPos + I) & 0xFF), static_cast<std::size_t>(Run));
            I += Run;
        }
        FPos += N;
        return N;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override {
        if (Origin == Runtime::TSeekOrigin::soEnd) return FPos = FSize + Offset;
        if (Origin == Runtime::TSeekOrigin::soCurrent) return FPos += Offset;
        return FPos = Offset;
    }

  private:
    std::int64_t FSize;
    std::int64_t FPos = 0;
};

TEST(InProcContext, RequestBodyOfTwoGibibytesAndMorePassesWhole) {
    const std::int64_t Size = (std::int64_t{1} << 31) + 12345;
    THttpRequest Client;
    Client.SetOwnedContentStream(std::make_unique<TGeneratedBodyStream>(Size));
    TInProcHttpContext Context(Client);
    Runtime::TStream& Server = *Context.Request().ContentStream();
    EXPECT_EQ(Server.Size(), Size);

    constexpr std::int64_t Piece = 1 << 20;
    TBytes Buffer(Piece);
    std::int64_t Total = 0;
    bool InOrder = true;
    while (const std::int64_t N = Server.Read(Buffer.data(), Piece)) {
        // Spot checks: the first and last byte of each piece sit where they belong.
        InOrder =
            InOrder && Buffer[0] == static_cast<std::uint8_t>(Total) &&
            Buffer[static_cast<std::size_t>(N - 1)] == static_cast<std::uint8_t>(Total + N - 1);
        Total += N;
    }
    EXPECT_EQ(Total, Size);
    EXPECT_TRUE(InOrder);
}

TEST(InProcContext, ResponseBodyIsCapturedAsTheRawWriterEmitsIt) {
    const struct {
        const char* Name;
        std::function<void(THttpServerContext&)> Module;
        std::string Captured;
    } Cases[] = {
        {"Close only", [](THttpServerContext& C) { C.Response().Close(); }, ""},
        {"ten bytes with a length",
         [](THttpServerContext& C) {
             C.Response().SetContentLength(10);
             C.Response().Content().Write("0123456789", 10);
         },
         "0123456789"},
        {"without a length",
         [](THttpServerContext& C) { C.Response().Content().Write("hello", 5); },
         "5\r\nhello\r\n0\r\n\r\n"},
        {"HTTP/1.0 without a length: plain",
         [](THttpServerContext& C) {
             C.Response().SetProtocol("HTTP/1.0");
             C.Response().Content().Write("hello", 5);
         },
         "hello"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Nimbra::THttpDispatcher Dispatcher;
        Dispatcher.AddModule(std::make_unique<InProcTest::TFuncModule>("/", C.Module));
        THttpRequest Client;
        Client.SetUri("local://srv/");
        TInProcHttpContext Context(Client);
        Dispatcher.DispatchRequest(Context);
        EXPECT_TRUE(Context.Response().Closed());
        EXPECT_EQ(Text(Context.InProcResponse().CachedContent().Bytes()), C.Captured)
            << "body bytes only: no status line, no headers";
    }
}

}  // namespace

namespace {

using Nimbra::TInProcContentStream;

TEST(InProcContentStream, KeepsWhatIsWrittenAcrossBlocks) {
    constexpr std::int64_t Big = TInProcContentStream::BlockSize;
    const struct {
        const char* Name;
        std::vector<std::int64_t> Writes;  // sizes of consecutive writes
        std::int64_t ReadPiece;
    } Cases[] = {
        {"one byte", {1}, 1},
        {"exactly the first block", {TInProcContentStream::FirstBlockSize}, 4096},
        {"small writes over many growing blocks", std::vector<std::int64_t>(300, 1000), 777},
        {"one write over several full blocks", {3 * Big + 5}, Big / 3},
        {"mixed", {7, Big, 13, 2 * Big + 1}, Big + 1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::int64_t Total = 0;
        for (std::int64_t W : C.Writes) Total += W;
        const TBytes Expected = PatternBytes(Total);
        TInProcContentStream S;
        std::int64_t Offset = 0;
        for (std::int64_t W : C.Writes) {
            ASSERT_EQ(S.Write(Expected.data() + Offset, W), W);
            Offset += W;
        }
        EXPECT_EQ(S.Size(), Total);
        EXPECT_EQ(S.Position(), Total);
        EXPECT_TRUE(S.Bytes() == Expected);

        S.SetPosition(0);
        TBytes Back;
        TBytes Piece(static_cast<std::size_t>(C.ReadPiece));
        while (const std::int64_t N = S.Read(Piece.data(), C.ReadPiece))
            Back.insert(Back.end(), Piece.begin(), Piece.begin() + N);
        EXPECT_TRUE(Back == Expected) << "read back in pieces of " << C.ReadPiece;
    }
}

TEST(InProcContentStream, KeepsLargeWritesFromBuffersOfEveryAlignment) {
    // Framing between the writes and sources at every offset within a cache line make the
    // stream leave bytes of its blocks unused here and there, and the bytes past CachedPart
    // are stored another way; none of that may show.
    constexpr std::int64_t Big = TInProcContentStream::BlockSize;
    constexpr std::int64_t Line = TInProcContentStream::CacheLine;
    const TBytes Source = PatternBytes(3 * Big + 2 * Line);
    const struct {
        const char* Name;
        std::vector<std::int64_t> Writes;  // sizes of consecutive writes, each from a new offset
    } Cases[] = {
        {"heads between large writes",
         {8, Big, 2, 8, Big, 2, 7, Big / 2 + 3, 2, 1, TInProcContentStream::AlignedWriteSize, 5}},
        {"large writes alone", {Big + 1, Big - 1, 3 * Big}},
        {"small blocks first", {1, 4096, 1, 8191, 1, 16385, 1, 70000, 3}},
        {"past the part kept in the cache",
         {3 * Big, 3 * Big, 2 * Big - 5, 8, 3 * Big, 2, 7, Big + 17, 5}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TInProcContentStream S;
        TBytes Expected;
        std::int64_t Skew = 0;
        for (std::int64_t W : C.Writes) {
            Skew = (Skew + 17) % (2 * Line);
            ASSERT_EQ(S.Write(Source.data() + Skew, W), W);
            Expected.insert(Expected.end(), Source.begin() + Skew, Source.begin() + Skew + W);
        }
        ASSERT_EQ(S.Size(), static_cast<std::int64_t>(Expected.size()));
        EXPECT_TRUE(S.Bytes() == Expected);

        // An overwrite across the places where blocks were split, read back in odd pieces.
        const std::int64_t From = S.Size() / 3;
        const TBytes Over(static_cast<std::size_t>(S.Size() / 2), 0xA5);
        S.SetPosition(From);
        S.Write(Over.data(), static_cast<std::int64_t>(Over.size()));
        std::copy(Over.begin(), Over.end(), Expected.begin() + From);
        S.SetPosition(0);
        TBytes Back, Piece(4093);
        while (const std::int64_t N = S.Read(Piece.data(), 4093))
            Back.insert(Back.end(), Piece.begin(), Piece.begin() + N);
        EXPECT_TRUE(Back == Expected);
    }
}

TEST(InProcContentStream, OverwritesAndGapsLikeAMemoryStream) {
    constexpr std::int64_t Big = TInProcContentStream::BlockSize;
    {
        // Leaves full blocks with non-zero bytes in the pool for the stream below.
        TInProcContentStream Earlier;
        const TBytes Ones(static_cast<std::size_t>(4 * Big), 0xFF);
        Earlier.Write(Ones.data(), static_cast<std::int64_t>(Ones.size()));
    }
    TInProcContentStream S;
    S.Write("abc", 3);
    S.SetPosition(1);
    S.Write("X", 1);
    EXPECT_EQ(Text(S.Bytes()), "aXc");
    EXPECT_EQ(S.Size(), 3);

    const std::int64_t Far = 3 * Big + 10;
    S.SetPosition(Far);
    S.Write("end", 3);
    EXPECT_EQ(S.Size(), Far + 3);
    const TBytes All = S.Bytes();
    ASSERT_EQ(static_cast<std::int64_t>(All.size()), Far + 3);
    EXPECT_EQ(std::count(All.begin() + 3, All.begin() + Far, 0), Far - 3)
        << "the gap reads as zeros, whatever a reused block held before";
    EXPECT_EQ(Text(TBytes(All.end() - 3, All.end())), "end");

    char Byte;
    EXPECT_EQ(S.Read(&Byte, 1), 0) << "nothing after the end";
    EXPECT_THROW(S.Seek(-1, Runtime::TSeekOrigin::soBeginning), Runtime::EStreamError);
}

// Resident memory of the process in bytes where the system tells it (Linux), else -1; also -1
// under ThreadSanitizer, whose own bookkeeping of the memory the test maps and frees is
// resident too.
std::int64_t ResidentBytes() {
#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
    std::ifstream Statm("/proc/self/statm");
    std::int64_t Pages = 0, Resident = 0;
    if (Statm >> Pages >> Resident) return Resident * sysconf(_SC_PAGESIZE);
#endif
    return -1;
}

// A stream holding Blocks full-size blocks (the small ones before them hold less than one),
// written from the one block of bytes Data, so that the test's own memory stays the same.
std::unique_ptr<TInProcContentStream> StreamOfFullBlocks(std::int64_t Blocks, const TBytes& Data) {
    auto S = std::make_unique<TInProcContentStream>();
    for (std::int64_t I = 0; I < Blocks; ++I)
        S->Write(Data.data(), static_cast<std::int64_t>(Data.size()));
    return S;
}

TEST(InProcContentStream, PoolKeepsFreedFullBlocksUpToItsLimitForLaterStreams) {
    constexpr std::int64_t Big = TInProcContentStream::BlockSize;
    constexpr auto Limit = static_cast<std::int64_t>(TInProcContentStream::PoolLimit);
    const TBytes Ones(static_cast<std::size_t>(Big), 1), Twos(static_cast<std::size_t>(Big), 2);
    TInProcContentStream::ReleasePooledBlocks();
    ASSERT_EQ(TInProcContentStream::PooledBlocks(), 0u);

    StreamOfFullBlocks(3, Ones).reset();
    EXPECT_EQ(TInProcContentStream::PooledBlocks(), 3u) << "a freed stream gives its blocks back";
    {
        const auto Reuser = StreamOfFullBlocks(2, Twos);
        EXPECT_EQ(TInProcContentStream::PooledBlocks(), 1u) << "the next stream takes them";
        const TBytes All = Reuser->Bytes();
        EXPECT_EQ(std::count(All.begin(), All.end(), 2), 2 * Big);
    }
    EXPECT_EQ(TInProcContentStream::PooledBlocks(), 3u);

    // A body larger than the pool: the blocks past the limit are freed with it, and so is
    // every block the pool kept on release.
    const std::int64_t Before = ResidentBytes();
    StreamOfFullBlocks(Limit + 4, Ones).reset();
    EXPECT_EQ(TInProcContentStream::PooledBlocks(), TInProcContentStream::PoolLimit);
    const std::int64_t Kept = ResidentBytes();
    TInProcContentStream::ReleasePooledBlocks();
    EXPECT_EQ(TInProcContentStream::PooledBlocks(), 0u);
    const std::int64_t Released = ResidentBytes();
    if (Before >= 0) {
        // Three blocks were pooled before; a little slack for what else the test allocates.
        EXPECT_LT(Kept - Before, (Limit - 3) * Big + Big / 2)
            << "no more than the pool's limit stays resident";
        EXPECT_GT(Kept - Released, (Limit - 1) * Big) << "released blocks go back to the system";
    }
}

TEST(InProcContentStream, ABodyOfOneFullBlockMakesOnlyItsPagesResident) {
    // Huge pages are resident whole once touched: the first full block of a stream must not
    // ask for them, or every body of a few hundred KiB would hold 2 MiB.
    const TBytes Body = PatternBytes(300 * 1024);
    TInProcContentStream::ReleasePooledBlocks();
    const std::int64_t Before = ResidentBytes();
    TInProcContentStream S;
    S.Write(Body.data(), static_cast<std::int64_t>(Body.size()));
    const std::int64_t After = ResidentBytes();
    if (Before >= 0) {
        EXPECT_LT(After - Before, 1024 * 1024);
    }
    EXPECT_TRUE(S.Bytes() == Body);
}

TEST(InProcContentStream, StreamsOnSeveralThreadsShareThePool) {
    constexpr std::int64_t Big = TInProcContentStream::BlockSize;
    constexpr int Threads = 4, Rounds = 5;
    std::vector<std::thread> Workers;
    std::vector<int> Wrong(Threads, 0);
    for (int T = 0; T < Threads; ++T)
        Workers.emplace_back([T, &Wrong] {
            // Sizes differ per thread, so the streams take and give back different counts.
            const TBytes Expected = PatternBytes((T + 1) * Big / 2 + 1000 * T + 7);
            for (int R = 0; R < Rounds; ++R) {
                TInProcContentStream S;
                S.Write(Expected.data(), static_cast<std::int64_t>(Expected.size()));
                S.SetPosition(0);
                TBytes Back(Expected.size());
                if (S.Read(Back.data(), static_cast<std::int64_t>(Back.size())) !=
                        static_cast<std::int64_t>(Back.size()) ||
                    Back != Expected)
                    ++Wrong[static_cast<std::size_t>(T)];
            }
        });
    for (std::thread& W : Workers) W.join();
    for (int T = 0; T < Threads; ++T)
        EXPECT_EQ(Wrong[static_cast<std::size_t>(T)], 0) << "thread " << T;
    EXPECT_LE(TInProcContentStream::PooledBlocks(), TInProcContentStream::PoolLimit);
}

}  // namespace
