// Server response: framing decision, header callbacks and the raw body writer, checked on
// the exact bytes a transport receives.

#include <gtest/gtest.h>

#include <functional>

#include "Nimbra.HttpServer.Response.h"
#include "Server.TestTransport.h"

namespace {

using ServerTest::Bytes;
using ServerTest::ParseChunked;
using ServerTest::TRecordingResponse;

void Write(TRecordingResponse& R, const std::string& S) {
    ASSERT_EQ(R.Content().Write(S.data(), static_cast<std::int64_t>(S.size())),
              static_cast<std::int64_t>(S.size()));
}

TEST(ServerResponse, FreshResponse) {
    TRecordingResponse R;
    EXPECT_EQ(R.StatusCode(), 0);
    EXPECT_EQ(R.StatusReason(), "");
    EXPECT_EQ(R.Protocol(), "HTTP/1.1");
    EXPECT_EQ(R.MinChunkSize(), 16384);
    EXPECT_FALSE(R.Chunked());
    EXPECT_EQ(R.ContentLength(), -1);
    EXPECT_FALSE(R.Closed());
    EXPECT_FALSE(R.HeadersSent());
    EXPECT_NE(R.RawWriter(), nullptr);
}

TEST(ServerResponse, StatusCodeBringsItsReason) {
    TRecordingResponse R;
    R.SetStatusCode(404);
    EXPECT_EQ(R.StatusReason(), "Not Found");
    R.SetStatusReason("Nowhere");
    EXPECT_EQ(R.StatusCode(), 404);
    EXPECT_EQ(R.StatusReason(), "Nowhere");
}

// What reaches the transport for each way of answering.
TEST(ServerResponse, FramingTable) {
    const struct {
        const char* Name;
        const char* Protocol;
        std::function<void(TRecordingResponse&)> Act;
        const char* ContentLength;
        const char* TransferEncoding;
        const char* Connection;
        std::string Body;
        int CloseCalls;
    } Cases[] = {
        {"1.1 close with nothing", "HTTP/1.1", [](TRecordingResponse& R) { R.Close(); }, "0",
         "<absent>", "<absent>", "", 0},
        {"1.1 close with 5 bytes", "HTTP/1.1",
         [](TRecordingResponse& R) { R.Close(Bytes("Hello")); }, "5", "<absent>", "<absent>",
         "Hello", 1},
        {"1.1 close with empty bytes", "HTTP/1.1",
         [](TRecordingResponse& R) { R.Close(Runtime::TBytes()); }, "0", "<absent>", "<absent>", "",
         0},
        {"1.1 write without length", "HTTP/1.1",
         [](TRecordingResponse& R) {
             Write(R, "Hello");
             R.Close();
         },
         "<absent>", "chunked", "<absent>", "5\r\nHello\r\n0\r\n\r\n", 1},
        {"1.1 write with length", "HTTP/1.1",
         [](TRecordingResponse& R) {
             R.SetContentLength(5);
             Write(R, "Hello");
             R.Close();
         },
         "5", "<absent>", "<absent>", "Hello", 1},
        {"1.1 chunked set, nothing written", "HTTP/1.1",
         [](TRecordingResponse& R) {
             R.SetChunked(true);
             R.Close();
         },
         "<absent>", "chunked", "<absent>", "0\r\n\r\n", 1},
        {"1.1 close with bytes after chunked set", "HTTP/1.1",
         [](TRecordingResponse& R) {
             R.SetChunked(true);
             R.Close(Bytes("abc"));
         },
         "<absent>", "chunked", "<absent>", "3\r\nabc\r\n0\r\n\r\n", 1},
        {"1.0 write without length", "HTTP/1.0",
         [](TRecordingResponse& R) {
             Write(R, "Hello");
             R.Close();
         },
         "<absent>", "<absent>", "close", "Hello", 1},
        {"1.0 with length", "HTTP/1.0",
         [](TRecordingResponse& R) {
             R.SetContentLength(5);
             Write(R, "Hello");
             R.Close();
         },
         "5", "<absent>", "keep-alive", "Hello", 1},
        {"1.0 close with nothing", "HTTP/1.0", [](TRecordingResponse& R) { R.Close(); }, "0",
         "<absent>", "keep-alive", "", 0},
        {"unknown protocol acts like 1.1", "HTTP/2",
         [](TRecordingResponse& R) {
             Write(R, "Hi");
             R.Close();
         },
         "<absent>", "chunked", "<absent>", "2\r\nHi\r\n0\r\n\r\n", 1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TRecordingResponse R;
        R.SetProtocol(C.Protocol);
        R.SetStatusCode(200);
        C.Act(R);
        ASSERT_EQ(R.HeaderWrites.size(), 1u);
        EXPECT_EQ(R.HeaderWrites[0].BodyBytesBefore, 0u) << "headers go out before any body byte";
        EXPECT_EQ(R.HeaderWrites[0].Status, 200);
        EXPECT_EQ(R.Header("content-length"), C.ContentLength);
        EXPECT_EQ(R.Header("transfer-encoding"), C.TransferEncoding);
        EXPECT_EQ(R.Header("connection"), C.Connection);
        EXPECT_EQ(R.BodyText(), C.Body);
        EXPECT_EQ(R.CloseCalls, C.CloseCalls);
        EXPECT_TRUE(R.Closed());
        EXPECT_TRUE(R.HeadersSent());
    }
}

TEST(ServerResponse, AClosedResponseStaysAsItWasClosed) {
    for (const bool Chunked : {true, false}) {
        SCOPED_TRACE(Chunked ? "chunked" : "plain");
        TRecordingResponse R;
        if (!Chunked) R.SetContentLength(5);
        Write(R, "Hello");
        R.Close();
        const std::string Closed = R.BodyText();
        R.Close();
        EXPECT_EQ(R.CloseCalls, 1);
        EXPECT_THROW(R.Content().Write("more", 4), Runtime::EStreamError);
        EXPECT_THROW(R.RawWriter()->Stream().Write("more", 4), Runtime::EStreamError);
        EXPECT_THROW(R.Close(Bytes("more")), Runtime::EStreamError);
        EXPECT_EQ(R.BodyText(), Closed);
    }
}

TEST(ServerResponse, SmallWritesAreGatheredIntoOneChunk) {
    TRecordingResponse R;
    const std::string A(10000, 'a'), B(7000, 'b');
    Write(R, A);
    EXPECT_EQ(R.HeaderWrites.size(), 1u);
    EXPECT_TRUE(R.Body.empty()) << "10000 bytes stay in the chunk cache";
    Write(R, B);
    EXPECT_EQ(R.BodyText(), "4268\r\n" + A + B + "\r\n");
    R.Close();
    EXPECT_EQ(R.BodyText(), "4268\r\n" + A + B + "\r\n0\r\n\r\n");
}

TEST(ServerResponse, ManySmallWritesGiveFewChunks) {
    TRecordingResponse R;
    std::string Expected;
    for (int i = 0; i < 100; ++i) {
        const std::string Piece(200, static_cast<char>('A' + i % 26));
        Write(R, Piece);
        Expected += Piece;
    }
    R.Close();
    const auto Parsed = ParseChunked(R.BodyText());
    ASSERT_TRUE(Parsed.Ok);
    EXPECT_EQ(Parsed.Data, Expected);
    ASSERT_EQ(Parsed.Chunks.size(), 2u);
    EXPECT_EQ(Parsed.Chunks[0].Data.size(), 16400u) << "emitted once the cache would reach 16384";
    EXPECT_EQ(Parsed.Chunks[1].SizeLine, "E10");
}

TEST(ServerResponse, ChunkSizesAreUpperCaseHexWithoutLeadingZeros) {
    const std::pair<std::size_t, const char*> Cases[] = {
        {1, "1"}, {15, "F"}, {16, "10"}, {26, "1A"}, {2748, "ABC"}, {65535, "FFFF"}};
    for (const auto& [Size, Line] : Cases) {
        SCOPED_TRACE(Line);
        TRecordingResponse R;
        R.SetMinChunkSize(0);
        Write(R, std::string(Size, 'x'));
        R.Close();
        const auto Parsed = ParseChunked(R.BodyText());
        ASSERT_TRUE(Parsed.Ok);
        ASSERT_EQ(Parsed.Chunks.size(), 1u);
        EXPECT_EQ(Parsed.Chunks[0].SizeLine, Line);
    }
}

TEST(ServerResponse, LargeWritesAreSplitIntoReadableChunks) {
    constexpr std::size_t Max = 8388607;
    TRecordingResponse R;
    const std::string Small(100, 's');
    std::string Big(2 * Max + 10, 'b');
    for (std::size_t i = 0; i < Big.size(); i += 4093) Big[i] = static_cast<char>('0' + i % 10);
    Write(R, Small);
    Write(R, Big);
    R.Close();
    const auto Parsed = ParseChunked(R.BodyText());
    ASSERT_TRUE(Parsed.Ok);
    EXPECT_TRUE(Parsed.Data == Small + Big);
    ASSERT_EQ(Parsed.Chunks.size(), 3u);
    EXPECT_EQ(Parsed.Chunks[0].SizeLine, "7FFFFF");
    EXPECT_EQ(Parsed.Chunks[1].SizeLine, "7FFFFF");
    EXPECT_EQ(Parsed.Chunks[2].Data.size(), 110u);
}

TEST(ServerResponse, TransportTakingFewBytesPerCallStillGetsEverything) {
    TRecordingResponse R;
    R.MaxPerWrite = 3;
    R.SetMinChunkSize(0);
    Write(R, "Hello, world");
    R.Close();
    EXPECT_EQ(R.BodyText(), "C\r\nHello, world\r\n0\r\n\r\n");
}

TEST(ServerResponse, TransportThatStopsEndsTheWriteEarly) {
    {
        SCOPED_TRACE("plain body: the count taken");
        TRecordingResponse R;
        R.SetContentLength(10);
        R.Budget = 4;
        EXPECT_EQ(R.Content().Write("0123456789", 10), 4);
        EXPECT_EQ(R.BodyText(), "0123");
    }
    {
        SCOPED_TRACE("chunked: not even the framing went out");
        TRecordingResponse R;
        R.SetMinChunkSize(0);
        R.Budget = 2;
        EXPECT_EQ(R.Content().Write("0123456789", 10), 0);
    }
    {
        SCOPED_TRACE("chunked: part of the data went out");
        TRecordingResponse R;
        R.SetMinChunkSize(0);
        R.Budget = 7;  // "A" CR LF and 4 data bytes
        EXPECT_EQ(R.Content().Write("0123456789", 10), 4);
    }
}

TEST(ServerResponse, HeaderCallbacksRunNewestFirstOnceAndCanStillChangeTheHead) {
    TRecordingResponse R;
    std::string Order;
    R.OnHeaders([&](Nimbra::THttpServerResponse& Resp) {
        Order += "A";
        Resp.SetStatusCode(201);
    });
    R.OnHeaders([&](Nimbra::THttpServerResponse& Resp) {
        Order += "B";
        Resp.Headers().SetValue("x-from-b", "1");
        Resp.SetContentLength(3);
    });
    EXPECT_EQ(Order, "");
    Write(R, "abc");
    Write(R, "def");
    R.Close();
    EXPECT_EQ(Order, "BA");
    ASSERT_EQ(R.HeaderWrites.size(), 1u);
    EXPECT_EQ(R.HeaderWrites[0].Status, 201);
    EXPECT_EQ(R.HeaderWrites[0].Reason, "Created");
    EXPECT_EQ(R.Header("x-from-b"), "1");
    EXPECT_EQ(R.Header("content-length"), "3");
    EXPECT_EQ(R.BodyText(), "abcdef") << "a declared length means a plain body";
}

TEST(ServerResponse, ACallbackMayRegisterAnotherWhileItRuns) {
    // The callback registering another one replaces the chain that is running; what it uses
    // afterwards lives in its own captures, which AddressSanitizer would see freed were the
    // chain run in place.
    TRecordingResponse R;
    std::string Order;
    const std::string Captured(200, 'c');
    R.OnHeaders([&, Captured](Nimbra::THttpServerResponse& Resp) {
        Resp.OnHeaders([&](Nimbra::THttpServerResponse&) { Order += "late"; });
        Order += Captured.substr(0, 1);
    });
    R.Close();
    EXPECT_EQ(Order, "c") << "a callback registered during the run waits for a run of its own";
    EXPECT_EQ(R.HeaderWrites.size(), 1u);
}

TEST(ServerResponse, AbortEndsTheResponseWithoutEndingItsBody) {
    TRecordingResponse R;
    R.SetStatusCode(200);
    Write(R, "Hello");  // gathered for a chunk, not yet written
    R.Abort();
    EXPECT_TRUE(R.Closed());
    EXPECT_TRUE(R.Aborted());
    EXPECT_EQ(R.AbortCalls, 1);
    EXPECT_EQ(R.CloseCalls, 0);
    EXPECT_EQ(R.BodyText(), "") << "neither the gathered chunk nor the last chunk";
    EXPECT_THROW(Write(R, "more"), Runtime::EStreamError);
    R.Close();
    R.Abort();
    EXPECT_EQ(R.CloseCalls, 0);
    EXPECT_EQ(R.AbortCalls, 1);

    TRecordingResponse Done;
    Done.Close(Bytes("ok"));
    Done.Abort();
    EXPECT_FALSE(Done.Aborted()) << "a closed response stays as it was closed";
    EXPECT_EQ(Done.AbortCalls, 0);
}

TEST(ServerResponse, CallbackWritingTheBodyIsAnErrorNotARecursion) {
    TRecordingResponse R;
    R.OnHeaders([](Nimbra::THttpServerResponse& Resp) { Resp.Content().Write("x", 1); });
    EXPECT_THROW(R.Content().Write("y", 1), Runtime::EStreamError);
    EXPECT_FALSE(R.HeadersSent());
    EXPECT_TRUE(R.HeaderWrites.empty());
}

TEST(ServerResponse, ChunkedReadsTheWholeTransferEncoding) {
    const std::pair<const char*, bool> Cases[] = {
        {"chunked", true},        {"Chunked", true},        {"CHUNKED", true},
        {"gzip, chunked", false}, {"chunked, gzip", false}, {"", false}};
    for (const auto& [Value, Expected] : Cases) {
        SCOPED_TRACE(Value);
        TRecordingResponse R;
        R.Headers().SetValue("transfer-encoding", Value);
        EXPECT_EQ(R.Chunked(), Expected);
    }
}

TEST(ServerResponse, FramingPropertiesFreezeOnceHeadersAreSent) {
    TRecordingResponse R;
    R.SetContentLength(10);
    R.SetChunked(true);
    EXPECT_EQ(R.ContentLength(), -1) << "chunked drops the length";
    R.SetChunked(false);
    EXPECT_FALSE(R.Headers().Exists("transfer-encoding"));
    R.SetContentLength(4);
    R.SetContentLength(-3);
    EXPECT_FALSE(R.Headers().Exists("content-length"));
    R.SetContentLength(4);
    Write(R, "abcd");
    R.SetChunked(true);
    R.SetContentLength(99);
    EXPECT_FALSE(R.Chunked());
    EXPECT_EQ(R.ContentLength(), 4);
    R.SetContentType("text/plain");
    EXPECT_EQ(R.ContentType(), "text/plain") << "content type is not frozen";
    R.SetContentEncoding("gzip");
    EXPECT_EQ(R.ContentEncoding(), "gzip");
}

TEST(ServerResponse, ContentStreamOnlyAnswersPositionQuestions) {
    TRecordingResponse R;
    Write(R, "12345");
    auto& S = R.Content();
    char Buf[4];
    EXPECT_EQ(S.Read(Buf, 4), 0);
    EXPECT_EQ(S.Position(), 5);
    EXPECT_EQ(S.Size(), 5);
    EXPECT_EQ(S.Seek(5, Runtime::TSeekOrigin::soBeginning), 5);
    for (auto Origin : {Runtime::TSeekOrigin::soBeginning, Runtime::TSeekOrigin::soEnd}) {
        try {
            S.Seek(Origin == Runtime::TSeekOrigin::soBeginning ? 0 : -1, Origin);
            ADD_FAILURE() << "seek moved";
        } catch (const Runtime::EStreamError& E) {
            EXPECT_STREQ(E.what(), "Http response stream cannot change position.");
        }
    }
    EXPECT_THROW(R.RawWriter()->Stream().Seek(1, Runtime::TSeekOrigin::soCurrent),
                 Runtime::EStreamError);
    EXPECT_EQ(R.RawWriter()->Stream().Position(), 5);
}

TEST(ServerResponse, ReplacedWriterReceivesTheBody) {
    class TCapturingWriter : public Nimbra::IHttpResponseBodyWriter {
      public:
        Runtime::TBytesStream Captured;
        int Flushes = 0;
        Runtime::TStream& Stream() override { return Captured; }
        void Flush() override { ++Flushes; }
    };
    TRecordingResponse R;
    auto W = std::make_shared<TCapturingWriter>();
    R.SetRawWriter(W);
    R.SetContentLength(3);
    Write(R, "abc");
    R.Close();
    EXPECT_EQ(ServerTest::Text(W->Captured.Bytes()), "abc");
    EXPECT_EQ(W->Flushes, 1);
    EXPECT_TRUE(R.Body.empty());
    EXPECT_THROW(R.SetRawWriter(nullptr), Runtime::EAssertionFailed);
    EXPECT_NE(R.CreateRawWriter(), R.RawWriter());
}

}  // namespace
