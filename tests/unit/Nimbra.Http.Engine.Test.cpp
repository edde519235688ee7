#include <gtest/gtest.h>
#include <zlib.h>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on
#else
#include <sys/resource.h>
#endif

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Engine.TestTransport.h"
#include "Nimbra.Http.Engine.h"
#include "Zlib.TestData.h"

using namespace Nimbra;
using namespace EngineTest;
using namespace ZlibTest;
using Runtime::EDecompressionError;
using Runtime::EStreamError;
using Runtime::TBytes;
using Runtime::TBytesStream;
using Runtime::TSeekOrigin;
using Runtime::TStream;

namespace {

// A byte stream that reports its own destruction.
class TTrackedStream : public TBytesStream {
  public:
    TTrackedStream(std::size_t Size, int& AFreed)
        : TBytesStream(TBytes(Size, 'x')), Freed(AFreed) {}
    ~TTrackedStream() override { ++Freed; }
    int& Freed;
};

// A stream that cannot say where it is.
class TNoPositionStream : public TBytesStream {
  public:
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { throw EStreamError("no position"); }
};

std::string AsText(const TBytes& B) {
    return std::string(B.begin(), B.end());
}

std::string IncompleteBodyMessage(std::int64_t Length, std::int64_t Read) {
    return "HttpEngine Error.\r\nCould not read complete entity body. Content-length: " +
           std::to_string(Length) + "; Bytes read: " + std::to_string(Read);
}

}  // namespace

// ---- Request ------------------------------------------------------------------------------

TEST(HttpRequest, StartsEmptyWithTheDefaultTimeout) {
    THttpRequest R;
    EXPECT_EQ(R.Method(), "");
    EXPECT_EQ(R.Uri(), "");
    EXPECT_EQ(R.AsUri(), nullptr);
    EXPECT_EQ(R.Timeout(), 60000);
    EXPECT_EQ(R.ContentLength(), 0);
    EXPECT_EQ(R.ContentStream(), nullptr);
    EXPECT_FALSE(R.OwnsContentStream());
    EXPECT_EQ(R.Headers().Count(), 0u);
    EXPECT_FALSE(R.OnCancelRequested());
}

TEST(HttpRequest, MethodIsStoredWithAsciiLettersUpperCased) {
    const std::pair<const char*, const char*> Cases[] = {
        {"get", "GET"},
        {"Patch", "PATCH"},
        {"PROPFIND", "PROPFIND"},
        {"m-search_1", "M-SEARCH_1"},
        {"g\xC3\xA9t", "G\xC3\xA9T"},
        {"", ""},
    };
    for (const auto& [In, Out] : Cases) {
        SCOPED_TRACE(In);
        THttpRequest R;
        R.SetMethod(In);
        EXPECT_EQ(R.Method(), Out);
    }
}

TEST(HttpRequest, SetUriKeepsTheTextAndReplacesTheParsedUri) {
    THttpRequest R;
    R.SetUri("http://a.example/x%20y?q=1#f");
    ASSERT_NE(R.AsUri(), nullptr);
    EXPECT_EQ(R.AsUri()->Host(), "a.example");
    EXPECT_EQ(R.AsUri()->Path(), "/x y");
    R.SetUri("HTTPS://B.example:8443/");
    EXPECT_EQ(R.Uri(), "HTTPS://B.example:8443/");
    ASSERT_NE(R.AsUri(), nullptr);
    EXPECT_EQ(R.AsUri()->Scheme(), "https");
    EXPECT_EQ(R.AsUri()->Port(), 8443);
    EXPECT_EQ(R.AsUri()->Host(), "B.example");
}

TEST(HttpRequest, ContentLengthCountsFromThePositionRecordedWhenAttached) {
    int Freed = 0;
    TTrackedStream S(100, Freed);
    S.SetPosition(10);
    THttpRequest R;
    R.SetContentStream(&S);
    EXPECT_EQ(R.ContentLength(), 90);
    S.SetPosition(50);
    EXPECT_EQ(R.ContentLength(), 90) << "the current position must not matter";
    R.SetContentStream(&S);  // the same stream again: the first recorded position stays
    EXPECT_EQ(R.ContentLength(), 90);
    R.SetContentStream(nullptr);
    EXPECT_EQ(R.ContentLength(), 0);
    R.SetContentStream(&S);  // attached anew: recorded anew
    EXPECT_EQ(R.ContentLength(), 50);
    S.Seek(0, TSeekOrigin::soEnd);
    S.Write("0123456789", 10);  // the stream grows to 110 bytes
    EXPECT_EQ(R.ContentLength(), 60);
    EXPECT_EQ(Freed, 0);
}

TEST(HttpRequest, OwnershipFlagDecidesWhetherDetachedStreamsAreFreed) {
    int FreedA = 0, FreedB = 0;
    {
        // Not owned: nothing is freed, ever.
        TTrackedStream A(1, FreedA), B(2, FreedB);
        {
            THttpRequest R;
            R.SetContentStream(&A);
            R.SetContentStream(&B);
        }
        EXPECT_EQ(FreedA + FreedB, 0);
    }
    FreedA = FreedB = 0;
    {
        // Owned: replacing frees the previous stream, the flag carries over, the request
        // frees the last one. Re-attaching the same stream frees nothing.
        auto A = std::make_unique<TTrackedStream>(1, FreedA);
        auto B = std::make_unique<TTrackedStream>(2, FreedB);
        {
            THttpRequest R;
            R.SetOwnsContentStream(true);
            R.SetContentStream(A.get());
            R.SetContentStream(A.release());
            EXPECT_EQ(FreedA, 0);
            R.SetContentStream(B.release());
            EXPECT_EQ(FreedA, 1);
            EXPECT_TRUE(R.OwnsContentStream());
            EXPECT_EQ(R.ContentLength(), 2);
            EXPECT_EQ(FreedB, 0);
        }
        EXPECT_EQ(FreedB, 1);
    }
    FreedA = 0;
    {
        // The flag is read when the stream leaves, not when it arrives.
        auto A = std::make_unique<TTrackedStream>(1, FreedA);
        THttpRequest R;
        R.SetContentStream(A.get());
        R.SetOwnsContentStream(true);
        static_cast<void>(A.release());
        R.SetContentStream(nullptr);
        EXPECT_EQ(FreedA, 1);
        EXPECT_EQ(R.ContentStream(), nullptr);
    }
    FreedA = FreedB = 0;
    {
        // SetOwnedContentStream: owned from then on.
        THttpRequest R;
        R.SetOwnedContentStream(std::make_unique<TTrackedStream>(3, FreedA));
        EXPECT_TRUE(R.OwnsContentStream());
        EXPECT_EQ(R.ContentLength(), 3);
        R.SetOwnedContentStream(std::make_unique<TTrackedStream>(4, FreedB));
        EXPECT_EQ(FreedA, 1);
        EXPECT_EQ(FreedB, 0);
    }
    EXPECT_EQ(FreedB, 1);
}

TEST(HttpRequest, StreamThatCannotTellItsPositionIsNotAttached) {
    int Freed = 0;
    THttpRequest R;
    R.SetOwnedContentStream(std::make_unique<TTrackedStream>(5, Freed));
    TStream* Before = R.ContentStream();
    auto Bad = std::make_unique<TNoPositionStream>();
    EXPECT_THROW(R.SetContentStream(Bad.get()), EStreamError);
    EXPECT_EQ(R.ContentStream(), Before);
    EXPECT_EQ(Freed, 0);
    EXPECT_THROW(R.SetOwnedContentStream(std::move(Bad)), EStreamError);
    EXPECT_EQ(R.ContentStream(), Before);
    EXPECT_EQ(R.ContentLength(), 5);
}

TEST(HttpRequest, SetContentUsesAnInternalStreamTheFlagNeverFrees) {
    THttpRequest R;
    R.SetOwnsContentStream(true);
    R.SetContent(Text("hello"));
    EXPECT_FALSE(R.OwnsContentStream());
    EXPECT_EQ(R.ContentLength(), 5);
    ASSERT_NE(R.ContentStream(), nullptr);
    char Buf[8] = {};
    EXPECT_EQ(R.ContentStream()->Read(Buf, 8), 5);
    EXPECT_STREQ(Buf, "hello");

    R.SetContent(Text("a longer body"));
    EXPECT_EQ(R.ContentLength(), 13);
    R.SetContent({});
    EXPECT_EQ(R.ContentLength(), 0);
    EXPECT_NE(R.ContentStream(), nullptr);

    // Setting the flag afterwards must not make the request free its internal stream a
    // second time: not when replacing it, not when detaching it, not when destroyed.
    R.SetOwnsContentStream(true);
    R.SetContent(Text("again"));
    R.SetOwnsContentStream(true);
    TStream* Internal = R.ContentStream();
    int Freed = 0;
    auto Tracked = std::make_unique<TTrackedStream>(7, Freed);
    R.SetContentStream(Tracked.release());  // owned now, through the flag
    EXPECT_EQ(R.ContentLength(), 7);
    R.SetContentStream(Internal);  // the flag frees the tracked stream, not the internal one
    EXPECT_EQ(Freed, 1);
    EXPECT_EQ(R.ContentLength(), 5);
}

TEST(HttpRequest, SetContentFreesAnOwnedStreamItReplaces) {
    int Freed = 0;
    THttpRequest R;
    R.SetOwnedContentStream(std::make_unique<TTrackedStream>(9, Freed));
    R.SetContent(Text("xy"));
    EXPECT_EQ(Freed, 1);
    EXPECT_FALSE(R.OwnsContentStream());
    EXPECT_EQ(R.ContentLength(), 2);
}

TEST(HttpRequest, CancelHookIsReleasedWithTheRequest) {
    auto Token = std::make_shared<int>(0);
    {
        THttpRequest R;
        R.SetOnCancelRequested([Token] { ++*Token; });
        ASSERT_TRUE(R.OnCancelRequested());
        R.OnCancelRequested()();
        EXPECT_EQ(Token.use_count(), 2);
    }
    EXPECT_EQ(*Token, 1);
    EXPECT_EQ(Token.use_count(), 1);
}

TEST(HttpRequest, CancelHookCanBeAskedForFromAnotherThreadWhileItIsInstalled) {
    // A transport installs the hook on the sending thread while a canceller may already ask
    // for it; under ThreadSanitizer an unguarded hook shows as a data race.
    THttpRequest R;
    std::atomic<bool> Stop{false};
    std::atomic<int> Calls{0};
    std::thread Canceller([&] {
        while (!Stop.load()) {
            if (const std::function<void()> Hook = R.OnCancelRequested()) Hook();
        }
    });
    for (int I = 0; I < 2000; ++I) {
        auto Token = std::make_shared<std::string>(64, 't');
        R.SetOnCancelRequested([Token, &Calls] {
            if (Token->size() == 64) ++Calls;
        });
    }
    Stop.store(true);
    Canceller.join();
    R.OnCancelRequested()();
    EXPECT_GT(Calls.load(), 0);
}

// ---- Engine -------------------------------------------------------------------------------

TEST(HttpEngine, SendWithoutUriRaisesAndDoesNoTransportWork) {
    TScriptedEngine Engine;
    auto Request = Engine.CreateRequest();
    ASSERT_NE(Request, nullptr);
    Request->SetMethod("GET");
    try {
        Engine.Send(*Request);
        FAIL() << "no exception";
    } catch (const EHttpEngineException& E) {
        EXPECT_STREQ(E.what(), "HttpEngine Error.\r\nUri invalid or not specified");
        EXPECT_STREQ(E.ClassName(), "EHttpEngineException");
    }
    EXPECT_EQ(Engine.SendCalls, 0);

    Request->SetUri("any text at all");  // parsing never fails, so this is a URI
    EXPECT_NE(Engine.Send(*Request), nullptr);
    EXPECT_EQ(Engine.SendCalls, 1);
}

TEST(HttpEngine, SendHandsTheRequestToTheTransportAndPassesItsErrorsThrough) {
    TScriptedEngine Engine;
    Engine.Script.Status = 204;
    auto Request = Engine.CreateRequest();
    Request->SetUri("http://h.example/");
    std::string SeenUri;
    Engine.OnSend = [&](THttpRequest& R) { SeenUri = R.Uri(); };
    auto Response = Engine.Send(*Request);
    EXPECT_EQ(SeenUri, "http://h.example/");
    EXPECT_EQ(Response->StatusCode(), 204);

    Engine.OnSend = [](THttpRequest&) { throw Runtime::EOSError("socket gone"); };
    try {
        Engine.Send(*Request);
        FAIL() << "no exception";
    } catch (const Runtime::EOSError& E) {
        EXPECT_STREQ(E.what(), "socket gone");
    }
}

TEST(HttpEngine, ExceptionPrefixesEveryMessageAndFormatsWithArguments) {
    EXPECT_STREQ(EHttpEngineException("plain").what(), "HttpEngine Error.\r\nplain");
    const auto E = EHttpEngineException::CreateFmt("%s %d of %lld", std::string("item"), 3, 10LL);
    EXPECT_STREQ(E.what(), "HttpEngine Error.\r\nitem 3 of 10");
    EXPECT_STREQ(Runtime::ExceptionClassName(E).c_str(), "EHttpEngineException");
}

// ---- Response: preparation and decoding ---------------------------------------------------

TEST(HttpResponse, DecodesGzipAndDeflateByExactCodingNameOnly) {
    const TBytes Payload = Prose(50000, 11);
    struct TCase {
        const char* Name;
        const char* Coding;
        TBytes Wire;
        bool Decoded;
    };
    const TCase Cases[] = {
        {"no coding", "", Payload, false},
        {"identity", "identity", Payload, false},
        {"gzip", "gzip", Compress(Payload, TWrap::Gzip), true},
        {"gzip in capitals", "GZIP", Compress(Payload, TWrap::Gzip), true},
        {"deflate, zlib-wrapped", "Deflate", Compress(Payload, TWrap::Zlib), true},
        {"x-gzip stays raw", "x-gzip", Compress(Payload, TWrap::Gzip), false},
        {"br stays raw", "br", Text("not brotli really"), false},
        {"a list stays raw", "gzip, deflate", Compress(Payload, TWrap::Gzip), false},
        {"gzip with spaces stays raw", " gzip", Compress(Payload, TWrap::Gzip), false},
    };
    // Both ways a transport hands its headers over: filling the collection, or as a block
    // the collection is built from later.
    for (const bool AsText : {false, true})
        for (const auto& C : Cases) {
            SCOPED_TRACE(std::string(C.Name) + (AsText ? ", headers as text" : ""));
            TScript S;
            S.HeadersAsText = AsText;
            S.ContentEncoding = C.Coding;
            S.Headers = {{"Content-Encoding", C.Coding}, {"X-Other", "kept"}};
            S.SetKnownLength(C.Wire);
            {
                TScriptedResponse R(S);
                const TBytes& Body = R.ContentAsBytes();
                EXPECT_TRUE(Body == (C.Decoded ? Payload : C.Wire)) << "size " << Body.size();
                EXPECT_EQ(R.Headers().Exists("content-encoding"), !C.Decoded);
                EXPECT_EQ(R.Headers().Exists("content-length"), !C.Decoded);
                EXPECT_EQ(R.Headers().Get("x-other"), "kept");
                // What the transport reports is its own business.
                EXPECT_EQ(R.ContentEncoding(), C.Coding);
                EXPECT_EQ(R.ContentLength(), static_cast<std::int64_t>(C.Wire.size()));
                EXPECT_EQ(S.Delivered, static_cast<std::int64_t>(C.Wire.size()));
            }
            EXPECT_EQ(S.StreamsFreed, 1) << "the raw stream is freed with the response";
        }
}

TEST(HttpResponse, BrokenCompressedBodiesRaiseTheDecompressionError) {
    const TBytes Payload = Prose(40000, 12);
    TBytes Corrupt = Compress(Payload, TWrap::Gzip);
    Corrupt[Corrupt.size() / 2] ^= 0x55;
    TBytes Truncated = Compress(Payload, TWrap::Gzip);
    Truncated.resize(Truncated.size() - 3);
    struct TCase {
        const char* Name;
        const char* Coding;
        TBytes Wire;
    };
    const TCase Cases[] = {
        {"deflate given raw deflate without the zlib header", "deflate",
         Compress(Payload, TWrap::Raw)},
        {"deflate given gzip data", "deflate", Compress(Payload, TWrap::Gzip)},
        {"gzip given plain text", "gzip", Payload},
        {"gzip with a damaged middle", "gzip", Corrupt},
        {"gzip cut short", "gzip", Truncated},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        for (bool AsStream : {false, true}) {
            TScript S;
            S.ContentEncoding = C.Coding;
            S.SetKnownLength(C.Wire);
            TScriptedResponse R(S);
            if (AsStream) {
                TBytes Buf(1 << 20);
                EXPECT_THROW(R.ContentAsStream().Read(Buf.data(), 1 << 20), EDecompressionError);
            } else {
                EXPECT_THROW(R.ContentAsBytes(), EDecompressionError);
            }
            EXPECT_EQ(R.StatusCode(), 200);
        }
    }
}

TEST(HttpResponse, EmptyBodyWithACodingIsEmpty) {
    for (const char* Coding : {"gzip", "deflate"}) {
        SCOPED_TRACE(Coding);
        TScript S;
        S.ContentEncoding = Coding;
        S.Headers = {{"Content-Encoding", Coding}};
        TScriptedResponse R(S);
        EXPECT_TRUE(R.ContentAsBytes().empty());
        EXPECT_EQ(R.ContentAsString(), "");
    }
}

TEST(HttpResponse, PreparesOnceAndOnlyWhenHeadersOrBodyAreRead) {
    for (const bool AsText : {false, true}) {
        SCOPED_TRACE(AsText ? "headers as text" : "headers filled in");
        TScript S;
        S.HeadersAsText = AsText;
        S.Status = 404;
        S.Reason = "Not Found";
        S.ContentType = "text/plain";
        S.Headers = {{"Transfer-Encoding", "chunked"}, {"X-Id", "7"}};
        S.Body = Text("body");
        std::string SeenId;
        bool SeenChunked = false;
        // A transport may look at its own headers while creating the body stream.
        S.OnCreateContentStream = [&](THttpResponse& R) {
            SeenId = R.Headers().Get("x-id");
            SeenChunked = R.Chunked();
        };
        TScriptedResponse R(S);
        EXPECT_EQ(R.StatusCode(), 404);
        EXPECT_EQ(R.StatusReason(), "Not Found");
        EXPECT_EQ(R.ContentType(), "text/plain");
        EXPECT_EQ(R.ContentLength(), -1);
        EXPECT_EQ(S.LoadHeadersCalls, 0);
        EXPECT_TRUE(R.Chunked());
        EXPECT_EQ(S.LoadHeadersCalls, 1);
        EXPECT_EQ(S.CreateStreamCalls, 1);
        EXPECT_EQ(SeenId, "7");
        EXPECT_TRUE(SeenChunked);
        EXPECT_EQ(R.ContentAsString(), "body");
        EXPECT_EQ(R.Headers().Count(), 2u);
        R.ContentAsStream();
        EXPECT_EQ(S.LoadHeadersCalls, 1);
        EXPECT_EQ(S.CreateStreamCalls, 1);
    }
}

TEST(HttpResponse, BodyIsNotHandedOutWhenPreparationFailed) {
    TScript S;
    S.ContentEncoding = "gzip";
    S.Body = Compress(Text("secret"), TWrap::Gzip);
    bool Fail = true;
    S.OnContentEncoding = [&] {
        if (Fail) throw Runtime::EOSError("transport lost");
    };
    TScriptedResponse R(S);
    EXPECT_THROW(R.ContentAsStream(), Runtime::EOSError);
    Fail = false;
    // Still-encoded bytes must not pass for the body.
    EXPECT_THROW(R.ContentAsBytes(), EHttpEngineException);
    EXPECT_EQ(S.StreamsFreed, 1);
    EXPECT_EQ(R.StatusCode(), 200);
}

TEST(HttpResponse, TransportWithoutBodyStreamGivesAnEmptyBody) {
    TScript S;
    S.NoStream = true;
    TScriptedResponse R(S);
    EXPECT_TRUE(R.ContentAsBytes().empty());
    std::uint8_t B;
    EXPECT_EQ(R.ContentAsStream().Read(&B, 1), 0);
}

TEST(HttpResponse, ChunkedWhenTransferEncodingMentionsItInAnyCase) {
    const std::pair<std::optional<std::string>, bool> Cases[] = {
        {std::nullopt, false}, {"chunked", true}, {"gzip, Chunked", true}, {"CHUNKED", true},
        {"identity", false},   {"", false},       {"xchunkedx", true},
    };
    for (const bool AsText : {false, true})
        for (const auto& [Value, Expected] : Cases) {
            SCOPED_TRACE(Value.value_or("<absent>") + (AsText ? ", headers as text" : ""));
            TScript S;
            S.HeadersAsText = AsText;
            if (Value) S.Headers = {{"Transfer-Encoding", *Value}};
            // A transport asking while its headers load sees none yet; the answer after
            // comes from the headers all the same.
            bool Early = true;
            S.OnLoadHeaders = [&](THttpResponse& R) { Early = R.Chunked(); };
            TScriptedResponse R(S);
            R.ContentAsStream();  // prepares
            EXPECT_FALSE(Early);
            EXPECT_EQ(R.Chunked(), Expected);
        }
}

// ---- Response: reading the body as bytes --------------------------------------------------

TEST(HttpResponse, ContentAsBytesReadsKnownLengthsAtOnceAndUnknownOnesIn8192Pieces) {
    constexpr std::int64_t P = THttpResponseStream::ReadPieceSize;
    struct TCase {
        const char* Name;
        std::size_t BodySize;
        bool Known;
        bool ChunkedToo;
        std::vector<std::int64_t> Asked;
    };
    const TCase Cases[] = {
        {"length 0 reads nothing", 0, true, false, {}},
        {"known 20000", 20000, true, false, {P, P, 20000 - 2 * P}},
        {"chunked ignores the length", 10, true, true, {P, P - 10, P}},
        {"unknown, empty", 0, false, false, {P}},
        {"unknown, 100", 100, false, false, {P, P - 100, P}},
        {"unknown, exactly 8192", 8192, false, false, {P, P}},
        {"unknown, 8193", 8193, false, false, {P, P, P - 1, P}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TScript S;
        const TBytes Body = Prose(C.BodySize, 13);
        if (C.Known) {
            S.SetKnownLength(Body);
        } else {
            S.Body = Body;
        }
        if (C.ChunkedToo) S.Headers.emplace_back("Transfer-Encoding", "chunked");
        TScriptedResponse R(S);
        const TBytes& Got = R.ContentAsBytes();
        EXPECT_TRUE(Got == Body) << "size " << Got.size();
        EXPECT_EQ(S.DoReadAsked, C.Asked);
    }
}

TEST(HttpResponse, ContentAsBytesIsCachedAndTheTransportReadOnce) {
    TScript S;
    S.Body = Text("once only");
    TScriptedResponse R(S);
    const TBytes* First = &R.ContentAsBytes();
    const auto Reads = S.DoReadAsked.size();
    EXPECT_EQ(&R.ContentAsBytes(), First);
    EXPECT_EQ(AsText(R.ContentAsBytes()), "once only");
    EXPECT_EQ(S.DoReadAsked.size(), Reads);
}

TEST(HttpResponse, ShortBodyWithKnownLengthRaisesAndCachesNothing) {
    TScript S;
    S.Body = Prose(60, 14);
    S.ContentLength = 100;
    S.Headers = {{"Content-Length", "100"}, {"X-Id", "9"}};
    TScriptedResponse R(S);
    try {
        R.ContentAsBytes();
        FAIL() << "no exception";
    } catch (const EHttpEngineException& E) {
        EXPECT_EQ(E.what(), IncompleteBodyMessage(100, 60));
    }
    EXPECT_EQ(R.StatusCode(), 200);
    EXPECT_EQ(R.Headers().Get("x-id"), "9");
    try {
        R.ContentAsBytes();
        FAIL() << "no exception the second time";
    } catch (const EHttpEngineException& E) {
        EXPECT_EQ(E.what(), IncompleteBodyMessage(100, 0));
    }
}

TEST(HttpResponse, HugeStatedLengthIsNotTrustedWithMemory) {
    // A server may state any length; a body that never comes must not cost that much memory.
    TScript S;
    S.Body = Text("tiny body");
    S.ContentLength = std::int64_t{5} << 40;
    S.Headers = {{"Content-Length", std::to_string(S.ContentLength)}};
    TScriptedResponse R(S);
    try {
        R.ContentAsBytes();
        FAIL() << "no exception";
    } catch (const EHttpEngineException& E) {
        EXPECT_EQ(E.what(), IncompleteBodyMessage(S.ContentLength, 9));
    }
}

TEST(HttpResponse, LongKnownLengthBodyArrivesWhole) {
    // Longer than what is allocated up front, so the buffer grows while reading.
    TScript S;
    S.SetKnownLength(RandomBytes((std::size_t{64} << 20) + 12345, 15));
    S.MaxPerDoRead = 5000;
    TScriptedResponse R(S);
    EXPECT_TRUE(R.ContentAsBytes() == S.Body);
}

TEST(HttpResponse, PartOfTheStreamReadFirstLeavesOnlyTheRestForContentAsBytes) {
    const TBytes Body = Prose(30000, 16);
    for (bool Known : {false, true}) {
        SCOPED_TRACE(Known ? "known length" : "unknown length");
        TScript S;
        if (Known) {
            S.SetKnownLength(Body);
        } else {
            S.Body = Body;
        }
        TScriptedResponse R(S);
        TBytes Head(1000);
        ASSERT_EQ(R.ContentAsStream().Read(Head.data(), 1000), 1000);
        if (Known) {
            try {
                R.ContentAsBytes();
                FAIL() << "no exception";
            } catch (const EHttpEngineException& E) {
                EXPECT_EQ(E.what(), IncompleteBodyMessage(30000, 29000));
            }
        } else {
            EXPECT_TRUE(R.ContentAsBytes() == TBytes(Body.begin() + 1000, Body.end()));
        }
    }
}

TEST(HttpResponse, PartOfADecodedStreamReadFirstLeavesTheDecodedRest) {
    const TBytes Payload = Prose(30000, 17);
    TScript S;
    S.ContentEncoding = "gzip";
    S.Headers = {{"Content-Encoding", "gzip"}};
    S.SetKnownLength(Compress(Payload, TWrap::Gzip));
    TScriptedResponse R(S);
    TBytes Head(1000);
    ASSERT_EQ(R.ContentAsStream().Read(Head.data(), 1000), 1000);
    EXPECT_TRUE(Head == TBytes(Payload.begin(), Payload.begin() + 1000));
    EXPECT_TRUE(R.ContentAsBytes() == TBytes(Payload.begin() + 1000, Payload.end()));
}

TEST(HttpResponse, ContentAsStringIsUtf8WithInvalidBytesReplaced) {
    const std::pair<std::string, std::string> Cases[] = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x99\x82",
         "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x99\x82"},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
        {"latin-1 caf\xE9", "latin-1 caf\xEF\xBF\xBD"},
        {"cut at the end \xE2\x82", "cut at the end \xEF\xBF\xBD"},
        {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
    };
    for (const auto& [In, Out] : Cases) {
        SCOPED_TRACE(In);
        TScript S;
        S.Body = Text(In);
        TScriptedResponse R(S);
        EXPECT_EQ(R.ContentAsString(), Out);
    }
}

// ---- Response: streaming ------------------------------------------------------------------

TEST(HttpResponse, DecodedStreamPullsTheRawBodyOnlyAsFarAsNeeded) {
    TScript S;
    S.ContentEncoding = "gzip";
    S.Body = Compress(RandomBytes(2 << 20, 18), TWrap::Gzip, 1);
    TScriptedResponse R(S);
    TBytes Buf(1000);
    ASSERT_EQ(R.ContentAsStream().Read(Buf.data(), 1000), 1000);
    EXPECT_LE(S.Delivered, 64 * 1024);
    EXPECT_LT(S.Delivered, static_cast<std::int64_t>(S.Body.size()) / 8);
}

namespace {

// A gzip body of MiBs * 1 MiB zero bytes, served piece by piece and never held whole. After
// a full flush, each further MiB of zeros compresses to the same bytes, so one such block is
// made once and repeated; the trailer carries the checksum of the whole body.
class TGeneratedGzipStream : public THttpResponseStream {
  public:
    explicit TGeneratedGzipStream(std::int64_t MiBs) {
        const TBytes Zeros(1 << 20);
        z_stream Z{};
        deflateInit2(&Z, 1, Z_DEFLATED, 31, 8, Z_RLE);
        const auto Run = [&](int Flush, bool WithInput) {
            TBytes Out(4 << 20);
            Z.next_in = const_cast<Bytef*>(Zeros.data());
            Z.avail_in = WithInput ? static_cast<uInt>(Zeros.size()) : 0;
            Z.next_out = Out.data();
            Z.avail_out = static_cast<uInt>(Out.size());
            deflate(&Z, Flush);
            Out.resize(Out.size() - Z.avail_out);
            return Out;
        };
        FParts.push_back(Run(Z_FULL_FLUSH, true));
        FParts.push_back(Run(Z_FULL_FLUSH, true));
        const TBytes Again = Run(Z_FULL_FLUSH, true);
        FRepeatable = Again == FParts[1];
        TBytes Tail = Run(Z_FINISH, false);
        deflateEnd(&Z);
        uLong Crc = crc32(0, nullptr, 0);
        const uLong MiBCrc = crc32(Crc, Zeros.data(), 1 << 20);
        for (std::int64_t I = 0; I < MiBs; ++I) Crc = crc32_combine(Crc, MiBCrc, 1 << 20);
        const std::uint32_t Trailer[2] = {static_cast<std::uint32_t>(Crc),
                                          static_cast<std::uint32_t>(MiBs << 20)};
        std::memcpy(Tail.data() + Tail.size() - 8, Trailer, 8);  // little-endian host
        FParts.push_back(std::move(Tail));
        FRepeats = {1, MiBs - 1, 1};
    }
    bool Repeatable() const { return FRepeatable; }

  protected:
    std::int64_t DoRead(void* Buffer, std::int64_t Count) override {
        while (FPart < FParts.size() && FRepeats[FPart] == 0) ++FPart;
        if (FPart == FParts.size()) return 0;
        const TBytes& P = FParts[FPart];
        const auto N = std::min<std::int64_t>(Count, static_cast<std::int64_t>(P.size()) - FAt);
        std::memcpy(Buffer, P.data() + FAt, static_cast<std::size_t>(N));
        FAt += N;
        if (FAt == static_cast<std::int64_t>(P.size())) {
            FAt = 0;
            --FRepeats[FPart];
        }
        return N;
    }

  private:
    std::vector<TBytes> FParts;
    std::vector<std::int64_t> FRepeats;
    std::size_t FPart = 0;
    std::int64_t FAt = 0;
    bool FRepeatable = false;
};

class TGeneratedGzipResponse : public THttpResponse {
  public:
    explicit TGeneratedGzipResponse(std::int64_t AMiBs) : FMiBs(AMiBs) {}
    TGeneratedGzipStream* Raw = nullptr;
    std::int64_t GetContentLength() override { return -1; }
    std::string GetContentType() override { return "application/octet-stream"; }
    std::string GetContentEncoding() override { return "gzip"; }
    std::int32_t GetStatusCode() override { return 200; }
    std::string GetStatusReason() override { return "OK"; }

  protected:
    std::unique_ptr<TStream> CreateContentStream() override {
        auto S = std::make_unique<TGeneratedGzipStream>(FMiBs);
        Raw = S.get();
        return S;
    }
    void LoadHeaders(THttpHeaders& Headers) override {
        Headers.SetValue("Content-Encoding", "gzip");
    }

  private:
    std::int64_t FMiBs;
};

long PeakRssKiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS C{};
    C.cb = sizeof C;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &C, sizeof C)) return 0;
    return static_cast<long>(C.PeakWorkingSetSize / 1024);
#else
    rusage U{};
    getrusage(RUSAGE_SELF, &U);
    return U.ru_maxrss;
#endif
}

}  // namespace

TEST(HttpResponse, GigabyteGzipBodyStreamsThroughAFewBuffers) {
    constexpr std::int64_t MiBs = 1024;
    TGeneratedGzipResponse R(MiBs);
    const long PeakBefore = PeakRssKiB();
    TStream& S = R.ContentAsStream();
    ASSERT_TRUE(R.Raw->Repeatable()) << "this zlib compresses repeated input differently";
    TBytes Buf(256 * 1024);
    std::int64_t Got = 0;
    bool AllZero = true;
    for (;;) {
        const std::int64_t N = S.Read(Buf.data(), static_cast<std::int64_t>(Buf.size()));
        if (N == 0) break;
        AllZero = AllZero && Buf[0] == 0 && Buf[static_cast<std::size_t>(N) - 1] == 0;
        Got += N;
    }
    EXPECT_EQ(Got, MiBs << 20);
    EXPECT_TRUE(AllZero);
    // Holding the body anywhere would raise the peak by a gigabyte.
    EXPECT_LT(PeakRssKiB() - PeakBefore, 64 * 1024);
}

// ---- Response stream ----------------------------------------------------------------------

TEST(HttpResponseStream, ReadAsksDoReadForAtMost8192BytesAtATime) {
    constexpr std::int64_t P = THttpResponseStream::ReadPieceSize;
    struct TCase {
        const char* Name;
        std::size_t BodySize;
        std::int64_t MaxPerDoRead;
        std::int64_t Count;
        std::vector<std::int64_t> Asked;
        std::int64_t Result;
    };
    const TCase Cases[] = {
        {"between two and three pieces", 40000, 0, 3 * P - 100, {P, P, P - 100}, 3 * P - 100},
        {"exactly three pieces", 40000, 0, 3 * P, {P, P, P}, 3 * P},
        {"less than one piece", 40000, 0, 10, {10}, 10},
        {"body ends first", 10000, 0, 20000, {P, P, P}, 10000},
        {"transport hands out short pieces", 5000, 1000, 2500, {2500, 1500, 500}, 2500},
        {"nothing asked", 100, 0, 0, {}, 0},
        {"negative count", 100, 0, -5, {}, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TScript S;
        S.Body = Prose(C.BodySize, 19);
        S.MaxPerDoRead = C.MaxPerDoRead;
        TScriptedStream Stream(S);
        TBytes Buf(static_cast<std::size_t>(std::max<std::int64_t>(C.Count, 1)));
        EXPECT_EQ(Stream.Read(Buf.data(), C.Count), C.Result);
        EXPECT_EQ(S.DoReadAsked, C.Asked);
        EXPECT_EQ(Stream.ContentSize(), C.Result);
        EXPECT_TRUE(std::equal(Buf.begin(), Buf.begin() + C.Result, S.Body.begin()));
    }
}

TEST(HttpResponseStream, ATransportMayTakeLargerPiecesStraightIntoTheCallersBuffer) {
    const struct {
        const char* Name;
        std::int64_t MaxPiece, Count;
        std::vector<std::int64_t> Asked;
    } Cases[] = {
        {"all at once", std::int64_t{1} << 30, 100000, {100000}},
        {"in its own pieces", 30000, 100000, {30000, 30000, 30000, 10000}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TScript S;
        S.Body = Prose(200000, 21);
        S.MaxPiece = C.MaxPiece;
        TScriptedStream Stream(S);
        TBytes Buf(static_cast<std::size_t>(C.Count));
        EXPECT_EQ(Stream.Read(Buf.data(), C.Count), C.Count);
        EXPECT_EQ(S.DoReadAsked, C.Asked);
        EXPECT_TRUE(std::equal(Buf.begin(), Buf.end(), S.Body.begin()));
    }
}

TEST(HttpResponseStream, AnswersPositionQuestionsButNeverMoves) {
    TScript S;
    S.Body = Prose(500, 20);
    TScriptedStream Stream(S);
    EXPECT_EQ(Stream.Position(), 0);
    EXPECT_EQ(Stream.Seek(0, TSeekOrigin::soBeginning), 0);
    EXPECT_EQ(Stream.Seek(0, TSeekOrigin::soEnd), 0);
    EXPECT_THROW(Stream.Seek(1, TSeekOrigin::soBeginning), EStreamError);

    TBytes Buf(100);
    ASSERT_EQ(Stream.Read(Buf.data(), 100), 100);
    EXPECT_EQ(Stream.Position(), 100);
    EXPECT_EQ(Stream.ContentSize(), 100);
    EXPECT_EQ(Stream.Seek(0, TSeekOrigin::soEnd), 100);
    EXPECT_EQ(Stream.Size(), 100);
    const std::pair<std::int64_t, TSeekOrigin> Moves[] = {
        {0, TSeekOrigin::soBeginning}, {100, TSeekOrigin::soBeginning},
        {5, TSeekOrigin::soCurrent},   {-1, TSeekOrigin::soCurrent},
        {-1, TSeekOrigin::soEnd},      {0, static_cast<TSeekOrigin>(7)},
    };
    for (const auto& [Offset, Origin] : Moves) {
        SCOPED_TRACE(std::to_string(Offset) + " from origin " +
                     std::to_string(static_cast<int>(Origin)));
        try {
            Stream.Seek(Offset, Origin);
            ADD_FAILURE() << "moved";
        } catch (const EStreamError& E) {
            EXPECT_STREQ(E.what(), "Http response stream cannot change position.");
        }
    }
    EXPECT_EQ(Stream.Write("abc", 3), 0);
    EXPECT_EQ(Stream.Position(), 100);
    EXPECT_EQ(Stream.Read(Buf.data(), 100), 100);
    EXPECT_TRUE(std::equal(Buf.begin(), Buf.end(), S.Body.begin() + 100));
}

TEST(HttpResponseStream, TransportHandingOutMoreThanAskedIsAnError) {
    class TGreedy : public THttpResponseStream {
      protected:
        std::int64_t DoRead(void*, std::int64_t Count) override { return Count + 1; }
    };
    TGreedy Stream;
    TBytes Buf(16);
    EXPECT_THROW(Stream.Read(Buf.data(), 8), EStreamError);
}
