// The WinHTTP engine end to end, against servers on 127.0.0.1 started here: answers as the
// caller sees them (status, reason, headers, length, bodies decoded once), failures with their
// messages and the engine still usable afterwards, cancelling from another thread, and the
// choice of the default engine.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "Http2Server.h"
#endif
#include "Nimbra.WinHttp.Api.h"
#include "Nimbra.WinHttp.Engine.h"
#include "Os.Clock.h"
#include "PlatformTable.h"
#include "TestServer.h"
#include "WinHttpTestUtil.h"

namespace Nimbra {

using Runtime::TBytes;
using TestSupport::CurrentPlatform;
using TestSupport::PatternBytes;
using TestSupport::TestCertDir;
using TestSupport::TTestServer;

namespace {

std::string AsText(const TBytes& B) {
    return std::string(B.begin(), B.end());
}

bool EndsWith(const std::string& S, const std::string& Tail) {
    return S.size() >= Tail.size() && S.compare(S.size() - Tail.size(), Tail.size(), Tail) == 0;
}

const std::string WinHttpPrefix = "Could not perform WinHttp operation.\r\nError: ";

class WinHttpEngineTest : public ::testing::Test {
  protected:
    std::unique_ptr<THttpResponse> Send(const std::string& Url, const std::string& Method = "GET",
                                        int Timeout = 10000) {
        auto Request = FEngine.CreateRequest();
        Request->SetUri(Url);
        Request->SetMethod(Method);
        Request->SetTimeout(Timeout);
        return FEngine.Send(*Request);
    }
    std::string Get(const std::string& Path) { return Send(FServer.Url(Path))->ContentAsString(); }
    /// The message of what Send raises, "" when it does not raise.
    std::string FailureOf(THttpRequest& Request) {
        try {
            FEngine.Send(Request);
        } catch (const std::exception& E) {
            return E.what();
        }
        return "";
    }
    void ExpectStillUsable() {
        SCOPED_TRACE("the engine afterwards");
        EXPECT_EQ(Get("/status/200"), "status 200\n");
    }

    TTestServer FServer;
    TWinHttpEngine FEngine;
};

}  // namespace

TEST_F(WinHttpEngineTest, AnswersAsTheServerGaveThem) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    struct {
        const char* Name;
        std::string Path;
        int Status;
        std::string Reason;
        std::int64_t Length;
        std::string Body;
        std::string Failure = {};  // where this WinHTTP refuses the answer: its message
    } Cases[] = {
        {"200 with a length", "/status/200", 200, "OK", 11, "status 200\n"},
        {"204 without a body", "/status/204", 204, "No Content", 0, ""},
        {"500 is an answer", "/status/500", 500, "Internal Server Error", 11, "status 500\n"},
        {"302 is returned, not followed", "/redirect?to=/status/200&code=302", 302, "Found", 24,
         "redirect to /status/200\n"},
        {"a reason of the server's own",
         "/faults/raw?text=HTTP/1.1 299 Quite Fine Indeed\\r\\nContent-Length: 2\\r\\n\\r\\nok",
         299, "Quite Fine Indeed", 2, "ok"},
        {"chunked", "/faults/chunked?sizes=5,1,4096", 200, "OK", -1, PatternBytes(4102)},
        {"ended by closing", "/faults/close-delimited", 200, "OK", -1, PatternBytes(3000)},
        {"a length of zero", "/faults/raw?text=HTTP/1.1 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n",
         200, "OK", 0, ""},
        {"no reason phrase, HTTP/1.0, ended by closing",
         "/faults/raw?text=HTTP/1.0 200\\r\\n\\r\\nold style", 200, "", -1, "old style",
         Row.StatusLineWithoutReasonMessage},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        if (!C.Failure.empty()) {
            auto Request = FEngine.CreateRequest();
            Request->SetUri(FServer.Url(C.Path));
            EXPECT_EQ(FailureOf(*Request), C.Failure);
            continue;
        }
        auto R = Send(FServer.Url(C.Path));
        EXPECT_EQ(R->StatusCode(), C.Status);
        EXPECT_EQ(R->StatusReason(), C.Reason);
        EXPECT_EQ(R->ContentLength(), C.Length);
        EXPECT_EQ(AsText(R->ContentAsBytes()), C.Body);
    }
}

TEST_F(WinHttpEngineTest, AnswersWithoutABodyHaveLengthZeroWhateverTheyState) {
    struct {
        const char* Name;
        std::string Method, Path;
        int Status;
        std::string StatedLength;
    } Cases[] = {
        {"HEAD", "HEAD", "/bytes/10", 200, "10"},
        {"304 stating a length", "GET",
         "/faults/raw?text=HTTP/1.1 304 Not Modified\\r\\nContent-Length: 5\\r\\n\\r\\n", 304, "5"},
        {"204 stating nothing", "GET", "/status/204", 204, ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        auto R = Send(FServer.Url(C.Path), C.Method);
        EXPECT_EQ(R->StatusCode(), C.Status);
        EXPECT_EQ(R->ContentLength(), 0);
        EXPECT_EQ(R->Headers().Get("content-length"), C.StatedLength);
        EXPECT_EQ(R->ContentAsBytes().size(), 0u);
        R.reset();
        ExpectStillUsable();
    }
}

TEST_F(WinHttpEngineTest, HeadersAreTheResponseHeadersWithoutTheStatusLine) {
    auto R = Send(FServer.Url("/faults/headers"));
    const THttpHeaders& H = R->Headers();
    EXPECT_EQ(H.Get("x-multi"), "one,two");
    EXPECT_EQ(H.Get("x-number"), "4294967295");
    EXPECT_TRUE(H.Exists("x-empty"));
    EXPECT_EQ(H.Get("content-length"), "2");
    EXPECT_EQ(H.Get("server"), "OstrelTestServer/1.0");
    for (const THttpHeaderInfo& Info : H.AllHeaders()) {
        SCOPED_TRACE(Info.Name());
        EXPECT_EQ(Info.Name().find("http/"), std::string::npos);
        EXPECT_EQ(Info.Name().find(' '), std::string::npos);
    }
    EXPECT_EQ(R->ContentType(), "");
    EXPECT_EQ(AsText(R->ContentAsBytes()), "ok");

    auto Typed = Send(FServer.Url("/bytes/3"));
    EXPECT_EQ(Typed->ContentType(), "application/octet-stream");
}

TEST_F(WinHttpEngineTest, RequestGoesOutAsWritten) {
    auto Request = FEngine.CreateRequest();
    Request->SetUri(FServer.Url("/echo?a=1&b=%41#frag ment"));
    Request->SetMethod("post");
    Request->Headers().SetValue("X-Test", "yes");
    const std::string Body = PatternBytes(65537);
    Request->SetContent(TBytes(Body.begin(), Body.end()));
    auto R = FEngine.Send(*Request);
    const std::string Echo = AsText(R->ContentAsBytes());
    const std::string Head = Echo.substr(0, Echo.find("\n\n") + 1);
    // The fragment is part of the object name, escaped on the way.
    EXPECT_EQ(Head.rfind("POST /echo?a=1&b=%41%23frag%20ment HTTP/1.1\n", 0), 0u) << Head;
    EXPECT_NE(Head.find("\nUser-Agent: Orvo Http/1.0\n"), std::string::npos) << Head;
    EXPECT_NE(Head.find("\nx-test: yes\n"), std::string::npos) << Head;
    EXPECT_NE(Head.find("\nContent-Length: 65537\n"), std::string::npos) << Head;
    EXPECT_TRUE(EndsWith(Echo, "\n\n" + Body)) << "the body arrived whole";
}

TEST_F(WinHttpEngineTest, HeaderTextThatWouldSplitTheBlockIsNotSent) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    // The system's text for 87, without its period and line break.
    const std::string& Text = Row.SystemTexts.at(87);
    const std::string Refused =
        WinHttpPrefix + "(87) " + Text.substr(0, Text.size() - 3) + "\r\nCould not send request";
    struct {
        const char* Name;
        std::string HeaderName, Value;
    } Cases[] = {
        {"CR LF in a value", "X-A", "1\r\nX-Injected: yes"},
        {"LF alone in a value", "X-A", "1\nX-Injected: yes"},
        {"CR alone in a value", "X-A", "1\rX-Injected: yes"},
        {"NUL in a value", "X-A", std::string("1\0X", 3)},
        {"LF in a name", "X-A\nX-Injected", "yes"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        auto Request = FEngine.CreateRequest();
        Request->SetUri(FServer.Url("/echo"));
        Request->SetMethod("GET");
        Request->Headers().SetValue(C.HeaderName, C.Value);
        EXPECT_EQ(FailureOf(*Request), Refused);
        ExpectStillUsable();
    }
}

TEST_F(WinHttpEngineTest, ABodyOtherThanItsStatedLengthIsNotSent) {
    const std::string Message = "HttpEngine Error.\r\nWinHttp - message body not completely sent";
    struct {
        const char* Name;
        std::int64_t AttachAt, MoveTo;
    } Cases[] = {
        {"moved forward after attaching: shorter", 0, 10},
        {"moved back after attaching: longer", 10, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Runtime::TBytesStream Stream(TBytes(100, 'b'));
        Stream.SetPosition(C.AttachAt);
        auto Request = FEngine.CreateRequest();
        Request->SetUri(FServer.Url("/faults/upload"));
        Request->SetMethod("PUT");
        Request->SetContentStream(&Stream);
        Stream.SetPosition(C.MoveTo);
        EXPECT_EQ(FailureOf(*Request), Message);
        ExpectStillUsable();
    }
}

TEST_F(WinHttpEngineTest, FramingHeadersThatContradictTheBodyAreNotSent) {
    // The smuggling shape: a server trusting "Content-Length: 3" would read the rest of the
    // body as a request of its own.
    const std::string Smuggled = "abcGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string Prefix = "HttpEngine Error.\r\nWinHttp - ";
    struct {
        const char* Name;
        std::string Method;
        std::vector<std::pair<std::string, std::string>> Headers;
        std::string Body;
        std::string Message;     // empty: sent, with the true length stated once
        std::string Added = {};  // lines the send hook adds on the handle itself
    } Cases[] = {
        {"a length shorter than the body",
         "POST",
         {{"Content-Length", "3"}},
         Smuggled,
         Prefix + "the \"Content-Length: 3\" header contradicts the message body of 38 bytes"},
        {"a length longer than the body",
         "POST",
         {{"Content-Length", "100"}},
         "abc",
         Prefix + "the \"Content-Length: 100\" header contradicts the message body of 3 bytes"},
        {"a length without a body",
         "GET",
         {{"Content-Length", "5"}},
         "",
         Prefix + "the \"Content-Length: 5\" header contradicts the message body of 0 bytes"},
        {"two lengths merged into one value",
         "POST",
         {{"Content-Length", "3"}, {"Content-Length", "3"}},
         "abc",
         Prefix + "the \"Content-Length: 3,3\" header contradicts the message body of 3 bytes"},
        {"an empty length",
         "POST",
         {{"Content-Length", ""}},
         "abc",
         Prefix + "the \"Content-Length: \" header contradicts the message body of 3 bytes"},
        {"a signed length",
         "POST",
         {{"Content-Length", "+3"}},
         "abc",
         Prefix + "the \"Content-Length: +3\" header contradicts the message body of 3 bytes"},
        {"chunked beside the length",
         "POST",
         {{"Transfer-Encoding", "chunked"}},
         Smuggled,
         Prefix + "a \"Transfer-Encoding: chunked\" header cannot be sent: the message body of "
                  "38 bytes is framed by its length"},
        {"chunked in other case, with a true length",
         "POST",
         {{"transfer-encoding", "Chunked"}, {"Content-Length", "3"}},
         "abc",
         Prefix + "a \"Transfer-Encoding: Chunked\" header cannot be sent: the message body of "
                  "3 bytes is framed by its length"},
        {"the true length", "POST", {{"Content-Length", "38"}}, Smuggled, ""},
        {"the true length with blanks", "POST", {{"content-length", " 3 "}}, "abc", ""},
        {"chunked added by the send hook",
         "POST",
         {},
         Smuggled,
         Prefix + "a \"Transfer-Encoding: chunked\" header cannot be sent: the message body of "
                  "38 bytes is framed by its length",
         "Transfer-Encoding: chunked\r\n"},
        {"a short length added by the send hook",
         "POST",
         {},
         Smuggled,
         Prefix + "the \"Content-Length: 3\" header contradicts the message body of 38 bytes",
         "Content-Length: 3\r\n"},
        {"a true length in the headers and added by the send hook",
         "POST",
         {{"Content-Length", "3"}},
         "abc",
         "",
         "Content-Length: 3\r\n"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        auto Request = FEngine.CreateRequest();
        Request->SetUri(FServer.Url("/echo"));
        Request->SetMethod(C.Method);
        for (const auto& [Name, Value] : C.Headers) Request->Headers().AddValue(Name, Value);
        if (!C.Body.empty()) Request->SetContent(TBytes(C.Body.begin(), C.Body.end()));
        if (!C.Added.empty())
            FEngine.SetBeforeWinHttpSendRequest([&C](HINTERNET Req) {
                const std::u16string Lines = TestSupport::U(C.Added);
                ASSERT_TRUE(WinHttpAddRequestHeaders(
                    Req, Lines.c_str(), static_cast<DWORD>(Lines.size()), WINHTTP_ADDREQ_FLAG_ADD));
            });
        if (!C.Message.empty()) {
            EXPECT_EQ(FailureOf(*Request), C.Message);
            FEngine.SetBeforeWinHttpSendRequest(nullptr);
            ExpectStillUsable();
            continue;
        }
        const std::string Echo = AsText(FEngine.Send(*Request)->ContentAsBytes());
        FEngine.SetBeforeWinHttpSendRequest(nullptr);
        const std::string Head = Echo.substr(0, Echo.find("\n\n") + 1);
        const std::string Stated = "\nContent-Length: " + std::to_string(C.Body.size()) + "\n";
        EXPECT_NE(Head.find(Stated), std::string::npos) << Head;
        EXPECT_EQ(Head.find(Stated), Head.rfind(Stated)) << "stated twice: " << Head;
        EXPECT_EQ(Head.find("content-length"), std::string::npos) << Head;
        EXPECT_TRUE(EndsWith(Echo, "\n\n" + C.Body)) << Echo;
    }
}

TEST_F(WinHttpEngineTest, CompressedBodiesAreDecodedExactlyOnce) {
    // With decompression switched off on the handle the response model decodes; otherwise
    // WinHTTP does and the model must leave the result alone. Where the engine does not ask
    // WinHTTP to decompress, or WinHTTP cannot, the model decodes either way.
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    for (const bool ModelDecodes : {false, true}) {
        SCOPED_TRACE(ModelDecodes ? "decoded by the response" : "decoded by WinHTTP");
        FEngine.SetBeforeWinHttpSendRequest([ModelDecodes, &Row](HINTERNET Req) {
            DWORD Off = 0;
            if (!ModelDecodes) return;
            if (Row.DecompressionOptionError == 0) {
                ASSERT_TRUE(WinHttpSetOption(Req, WINHTTP_OPTION_DECOMPRESSION, &Off, sizeof Off));
            } else {
                EXPECT_FALSE(WinHttpSetOption(Req, WINHTTP_OPTION_DECOMPRESSION, &Off, sizeof Off));
                EXPECT_EQ(GetLastError(), Row.DecompressionOptionError);
            }
        });
        for (const char* Path :
             {"/faults/compressed/gzip?n=100000", "/faults/compressed/deflate?n=100000",
              "/faults/compressed/gzip?n=100000&chunked=1"}) {
            SCOPED_TRACE(Path);
            auto R = Send(FServer.Url(Path));
            EXPECT_EQ(R->StatusCode(), 200);
            EXPECT_EQ(AsText(R->ContentAsBytes()), PatternBytes(100000));
            EXPECT_FALSE(R->Headers().Exists("content-encoding"));
            EXPECT_FALSE(R->Headers().Exists("content-length"));
            EXPECT_EQ(R->Headers().Get("x-seen-accept-encoding"),
                      ModelDecodes || !Row.EngineAsksForDecompression ? "(none)" : "gzip, deflate");
        }
    }
}

TEST_F(WinHttpEngineTest, ASendHookMayReplaceOrClearItselfWhileItRuns) {
    // What the running hook uses after replacing itself lives in its own captures; were the
    // hook run in place, AddressSanitizer would see those freed under it.
    for (const bool Clear : {true, false}) {
        SCOPED_TRACE(Clear ? "cleared" : "replaced");
        int Replacements = 0;
        std::string Seen;
        const std::string Captured(200, 'c');
        FEngine.SetBeforeWinHttpSendRequest([&, Captured](HINTERNET) {
            if (Clear)
                FEngine.SetBeforeWinHttpSendRequest(nullptr);
            else
                FEngine.SetBeforeWinHttpSendRequest([&](HINTERNET) { ++Replacements; });
            Seen = Captured;
        });
        EXPECT_EQ(Get("/status/200"), "status 200\n");
        EXPECT_EQ(Seen, Captured);
        EXPECT_EQ(Get("/status/200"), "status 200\n");
        EXPECT_EQ(Replacements, Clear ? 0 : 1);
        EXPECT_EQ(!FEngine.BeforeWinHttpSendRequest(), Clear);
    }
}

TEST_F(WinHttpEngineTest, ABodyReadToItsStatedLengthLeavesTheConnectionOpenForTheNext) {
    // The connections the server accepted so far, asked over the engine's kept connection and
    // read to the end of the body.
    const auto Accepted = [&] {
        auto R = Send(FServer.Url("/faults/connections"));
        std::string Text(64, '\0');
        Text.resize(static_cast<std::size_t>(
            R->ContentAsStream().Read(Text.data(), static_cast<std::int64_t>(Text.size()))));
        EXPECT_EQ(R->ContentAsStream().Read(Text.data(), 1), 0);
        return Text;
    };
    struct {
        const char* Name;
        std::string Path;
        bool AsBytes;  // else through the stream, exactly the stated length and no further
        std::string Body;
    } const Cases[] = {
        {"head and body together, as bytes", "/bytes/10", true, PatternBytes(10)},
        {"the body after a pause, as bytes", "/faults/stall-body?ms=100", true, "0123456789"},
        {"the body after a pause, through the stream", "/faults/stall-body?ms=100", false,
         "0123456789"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Before = Accepted();
        {
            auto R = Send(FServer.Url(C.Path));
            if (C.AsBytes) {
                const TBytes& Body = R->ContentAsBytes();
                EXPECT_EQ(std::string(Body.begin(), Body.end()), C.Body);
            } else {
                std::string Body(C.Body.size(), '\0');
                EXPECT_EQ(R->ContentLength(), static_cast<std::int64_t>(Body.size()));
                EXPECT_EQ(
                    R->ContentAsStream().Read(Body.data(), static_cast<std::int64_t>(Body.size())),
                    static_cast<std::int64_t>(Body.size()));
                EXPECT_EQ(Body, C.Body);
            }
        }
#ifndef _WIN32
        EXPECT_EQ(Accepted(), Before);
#else
        // Whether the system's WinHTTP (Wine's under the test run) pools the connection is its
        // own choice; only the answers are checked there.
        static_cast<void>(Before);
#endif
    }
}

TEST_F(WinHttpEngineTest, BodyStreamFillsALargeBufferAndThenEnds) {
    auto R = Send(FServer.Url("/bytes/300000"));
    Runtime::TStream& S = R->ContentAsStream();
    std::string Buffer(512 * 1024, '\0');
    EXPECT_EQ(S.Read(Buffer.data(), static_cast<std::int64_t>(Buffer.size())), 300000);
    Buffer.resize(300000);
    EXPECT_EQ(Buffer, PatternBytes(300000));
    EXPECT_EQ(S.Read(Buffer.data(), 10), 0);
    EXPECT_EQ(S.Position(), 300000);
}

TEST_F(WinHttpEngineTest, FailuresSayWhatWentWrongAndLeaveTheEngineUsable) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    const TestSupport::TRefusingPort Refusing;
    struct {
        const char* Name;
        std::string Url;
        int Timeout;
        bool InBody;
        std::string Message;  // empty: the answer arrives after all
    } Cases[] = {
        {"time-out waiting for the head", FServer.Url("/faults/stall-head?ms=5000"), 300, false,
         Row.HeadTimeoutMessage},
        {"time-out inside the body", FServer.Url("/faults/stall-body?ms=5000"), 300, true,
         Row.BodyTimeoutMessage},
        {"refused", "http://127.0.0.1:" + std::to_string(Refusing.Port()) + "/", 10000, false,
         WinHttpPrefix + "(12029) Could not connect to server"},
        {"unknown host", "http://no-such-host.invalid/", 10000, false,
         WinHttpPrefix + "(12007) The server name cannot be resolved"},
        {"connection closed mid-body", FServer.Url("/faults/close-mid-body"), 10000, true,
         Row.ClosedMidBodyMessage},
        {"not HTTP", FServer.Url("/faults/raw?text=garbage\\r\\n\\r\\n"), 10000, false,
         WinHttpPrefix + "(12152) The server response cannot be parsed"},
        {"port beyond 16 bits", "http://127.0.0.1:65616/", 10000, false,
         WinHttpPrefix + "(12005) The URL is not valid\r\nCould not create connection"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::string Message;
        try {
            auto R = Send(C.Url, "GET", C.Timeout);
            EXPECT_TRUE(C.InBody || C.Message.empty()) << "the send itself should fail";
            const std::string Body = AsText(R->ContentAsBytes());
            if (C.Message.empty()) {
                EXPECT_EQ(Body, "late\n");
            }
        } catch (const EWinHttpClientException& E) {
            Message = E.what();
            // The code the message states, as a number.
            EXPECT_NE(Message.find("Error: (" + std::to_string(E.Code()) + ") "), std::string::npos)
                << E.Code();
            EXPECT_EQ(E.SecureFailureFlags(), 0u);
        } catch (const EHttpEngineException& E) {
            Message = E.what();
        }
        EXPECT_EQ(Message, C.Message);
        ExpectStillUsable();
    }
}

// ---------------------------------------------------------------------------------------
// Cancelling

TEST_F(WinHttpEngineTest, CancelFromAnotherThreadEndsABlockedSend) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    std::optional<TestSupport::TSilentPeer> Peer(std::in_place);
    auto Request = FEngine.CreateRequest();
    Request->SetUri(Peer->Url("/never"));
    Request->SetMethod("GET");
    // The hook is in place before the request leaves, so it is there once the peer has it.
    std::thread Canceller([&] {
        ASSERT_TRUE(Peer->WaitForRequest());
        Request->OnCancelRequested()();
        // Where closing the handle leaves the call blocked, the end of the connection ends it.
        if (!Row.CloseEndsABlockedCall) Peer.reset();
    });
    const std::string Message = FailureOf(*Request);
    Canceller.join();
    EXPECT_EQ(Message.rfind(WinHttpPrefix, 0), 0u) << Message;
    EXPECT_TRUE(EndsWith(Message, "\r\nThe request was cancelled.")) << Message;
    // A late cancel, after the send is over, finds nothing left to close.
    Request->OnCancelRequested()();
    ExpectStillUsable();
}

TEST_F(WinHttpEngineTest, ResponseReadsWinHttpsTimesOfItsExchange) {
    auto Now = [] {
        LARGE_INTEGER T;
        QueryPerformanceCounter(&T);
        return static_cast<ULONGLONG>(T.QuadPart);
    };
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    const ULONGLONG Before = Now();
    auto R = Send(FServer.Url("/faults/stall-body?ms=200"));
    auto* W = dynamic_cast<TWinHttpResponse*>(R.get());
    ASSERT_NE(W, nullptr);
    if (!Row.RequestTimesKnown) {
        // A WinHTTP without the option: the response says it does not know, before the body
        // and after it.
        EXPECT_FALSE(W->RequestTimes().has_value());
        EXPECT_EQ(R->ContentAsString(), "0123456789");
        EXPECT_FALSE(W->RequestTimes().has_value());
        return;
    }
    // Read when asked: the head is in, the body not yet.
    auto Times = W->RequestTimes();
    ASSERT_TRUE(Times.has_value());
    EXPECT_NE(Times->rgullTimes[WinHttpReceiveResponseHeadersEnd], 0u);
    EXPECT_EQ(Times->rgullTimes[WinHttpReceiveResponseEnd], 0u);

    EXPECT_EQ(R->ContentAsString(), "0123456789");
    const ULONGLONG After = Now();
    Times = W->RequestTimes();
    ASSERT_TRUE(Times.has_value());
    const WINHTTP_REQUEST_TIME_ENTRY Order[] = {
        WinHttpNameResolutionStart,
        WinHttpNameResolutionEnd,
        WinHttpConnectionEstablishmentStart,
        WinHttpConnectionEstablishmentEnd,
        WinHttpSendRequestStart,
        WinHttpSendRequestEnd,
        WinHttpReceiveResponseStart,
        WinHttpReceiveResponseHeadersEnd,
        WinHttpReceiveResponseEnd,
    };
    ULONGLONG Last = Before;
    for (WINHTTP_REQUEST_TIME_ENTRY E : Order) {
        SCOPED_TRACE(static_cast<int>(E));
        const ULONGLONG T = Times->rgullTimes[E];
        EXPECT_GE(T, Last);
        EXPECT_LE(T, After);
        Last = T;
    }
    EXPECT_EQ(Times->rgullTimes[WinHttpTlsHandshakeClientLeg1Start], 0u);  // plain HTTP

    // After a cancel closed the request handle there is nothing left to ask.
    R->ContentAsBytes();
    auto Request = FEngine.CreateRequest();
    Request->SetUri(FServer.Url("/status/200"));
    Request->SetMethod("GET");
    auto Cancelled = FEngine.Send(*Request);
    Request->OnCancelRequested()();
    EXPECT_FALSE(dynamic_cast<TWinHttpResponse&>(*Cancelled).RequestTimes().has_value());
}

TEST_F(WinHttpEngineTest, CancelFromAnotherThreadEndsABlockedBodyRead) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    auto Request = FEngine.CreateRequest();
    Request->SetUri(FServer.Url("/faults/stall-body?ms=20000"));
    Request->SetMethod("GET");
    auto R = FEngine.Send(*Request);
    Runtime::TStream& S = R->ContentAsStream();
    char Buffer[5];
    ASSERT_EQ(S.Read(Buffer, 5), 5);
    std::string Message;
    std::thread Canceller([&] {
        // Started before the read blocks or while it does: either way the read ends cancelled.
        Request->OnCancelRequested()();
    });
    try {
        char Rest[5];
        S.Read(Rest, 5);
        // Where closing the handle leaves the read blocked, it ends when the rest arrives, and
        // the next read says the request was cancelled.
        if (!Row.CloseEndsABlockedCall) S.Read(Rest, 5);
    } catch (const EWinHttpClientException& E) {
        Message = E.what();
    }
    Canceller.join();
    EXPECT_TRUE(EndsWith(Message, "\r\nThe request was cancelled.")) << Message;
    // The response stays a response: asking it again raises the same way, and freeing it
    // closes what is left.
    EXPECT_THROW(R->StatusCode(), EWinHttpClientException);
    R.reset();
    Request.reset();
    ExpectStillUsable();
}

// ---------------------------------------------------------------------------------------
// TLS

class WinHttpEngineTls : public WinHttpEngineTest {
  protected:
    static void SetUpTestSuite() { TestSupport::TrustTestCa(); }
    static std::vector<std::string> TlsArgs(const std::string& Name) {
        return {"--tls", TestCertDir() + "/" + Name + ".pem", TestCertDir() + "/" + Name + ".key"};
    }
};

TEST_F(WinHttpEngineTls, CertificateFailuresEndWithTheCertificateText) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    struct {
        const char* Cert;
        std::string Text;
        std::uint32_t Flags;
    } Cases[] = {
        {"wronghost", "Certificate common name (host) mismatch. (00000010)", 0x10},
        {"self", "Invalid Certificate Authority. (00000008)", 0x08},
        {"expired", "Expired certificate. (00000020)", 0x20},
        {"badsig", "Invalid certificate. (00000002)", 0x02},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Cert);
        TTestServer Server(TlsArgs(C.Cert));
        auto Request = FEngine.CreateRequest();
        Request->SetUri(Server.Url("/status/200"));
        try {
            FEngine.Send(*Request);
            ADD_FAILURE() << "no exception";
        } catch (const EWinHttpClientException& E) {
            EXPECT_EQ(E.what(), Row.CertificateFailureMessage +
                                    (Row.CertificateTextFollows ? "\r\n" + C.Text : ""));
            // The code and the certificate's flags as numbers, as the text states them.
            if (Row.CertificateTextFollows) {
                EXPECT_EQ(E.Code(), static_cast<std::uint32_t>(ERROR_WINHTTP_SECURE_FAILURE));
                EXPECT_EQ(E.SecureFailureFlags(), C.Flags);
            }
        }
    }
    TTestServer Good(TlsArgs("good"));
    auto R = Send("https://" + Row.TlsHost + ":" + std::to_string(Good.Port()) + "/status/200");
    EXPECT_EQ(R->StatusCode(), 200);
    EXPECT_EQ(R->ContentAsString(), "status 200\n");
}

#ifndef _WIN32
// The same exchanges with HTTP/2 allowed and not, through an nginx that speaks both: the
// answers agree, only the protocol (and HTTP/2's missing reason phrase) differs.
TEST(WinHttpEngineHttp2, AllowedHttp2CarriesTheSameAnswers) {
    TestSupport::TrustTestCa();
    TestSupport::THttp2Server Server;
    struct {
        const char* Name;
        std::string Path;
        int Status;
        std::string Reason;  // over HTTP/1.1; HTTP/2 has none
        std::string Body;
        std::string Location = {};
    } Cases[] = {
        {"200", "/status/200", 200, "OK", "status 200\n"},
        {"500 is an answer", "/status/500", 500, "Internal Server Error", "status 500\n"},
        {"302 is returned, not followed", "/redirect?to=/status/200&code=302", 302, "Found",
         "redirect to /status/200\n", "/status/200"},
        {"a gzip body decoded once", "/faults/compressed/gzip?n=100000", 200, "OK",
         PatternBytes(100000)},
        {"a body of many frames", "/faults/chunked?sizes=65536,70000,1", 200, "OK",
         PatternBytes(135537)},
    };
    TWinHttpEngine Engine;
    for (const bool Allow : {false, true}) {
        SCOPED_TRACE(Allow ? "HTTP/2 allowed" : "HTTP/1.1 only");
        Engine.SetAllowHttp2(Allow);
        for (const auto& C : Cases) {
            SCOPED_TRACE(C.Name);
            auto Request = Engine.CreateRequest();
            Request->SetUri(Server.Url(C.Path));
            auto R = Engine.Send(*Request);
            EXPECT_EQ(dynamic_cast<TWinHttpResponse&>(*R).HttpProtocolUsed(),
                      Allow ? THttpProtocol::Http2 : THttpProtocol::Http11);
            EXPECT_EQ(R->StatusCode(), C.Status);
            EXPECT_EQ(R->StatusReason(), Allow ? "" : C.Reason);
            EXPECT_EQ(R->Headers().Get("location"), C.Location);
            EXPECT_FALSE(R->Headers().Exists("content-encoding"));
            EXPECT_EQ(AsText(R->ContentAsBytes()), C.Body);
        }
    }
}
#endif

// ---------------------------------------------------------------------------------------
// The default engine

namespace {

class TFactory : public IHttpEngineFactory {
  public:
    explicit TFactory(bool AMakes) : Makes(AMakes) {}
    std::unique_ptr<THttpEngine> CreateEngine() override {
        ++Calls;
        if (!Makes) return nullptr;
        auto Engine = std::make_unique<TWinHttpEngine>();
        Made = Engine.get();
        Engine->SetProxyMode(THttpProxyMode::Auto);
        return Engine;
    }
    bool Makes;
    int Calls = 0;
    THttpEngine* Made = nullptr;
};

/// Sets the process-wide factory for one test and removes it again.
class TFactoryScope {
  public:
    explicit TFactoryScope(std::shared_ptr<IHttpEngineFactory> F) {
        SetGlobalEngineFactory(std::move(F));
    }
    ~TFactoryScope() { SetGlobalEngineFactory(nullptr); }
};

}  // namespace

TEST_F(WinHttpEngineTest, DefaultEngineComesFromTheFactoryWhenItMakesOne) {
    struct {
        const char* Name;
        std::shared_ptr<TFactory> Factory;
        bool FactoryEngine;
    } Cases[] = {
        {"no factory", nullptr, false},
        {"factory making none", std::make_shared<TFactory>(false), false},
        {"factory making its own", std::make_shared<TFactory>(true), true},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TFactoryScope Scope(C.Factory);
        EXPECT_EQ(GlobalEngineFactory(), C.Factory);
        auto First = THttpEngine::CreateDefault();
        auto Second = THttpEngine::CreateDefault();
        ASSERT_NE(First, nullptr);
        ASSERT_NE(Second, nullptr);
        EXPECT_NE(First.get(), Second.get());
        auto* WinHttp = dynamic_cast<TWinHttpEngine*>(First.get());
        ASSERT_NE(WinHttp, nullptr);
        if (C.Factory) {
            EXPECT_EQ(C.Factory->Calls, 2);
        }
        if (C.FactoryEngine) {
            EXPECT_EQ(Second.get(), C.Factory->Made) << "the factory's engine, unchanged";
            EXPECT_EQ(WinHttp->ProxyMode(), THttpProxyMode::Auto);
        } else {
            EXPECT_EQ(WinHttp->ProxyMode(), THttpProxyMode::Default);
        }
        // Whatever it is, it sends.
        auto Request = First->CreateRequest();
        Request->SetUri(FServer.Url("/status/200"));
        EXPECT_EQ(First->Send(*Request)->StatusCode(), 200);
    }
    EXPECT_EQ(GlobalEngineFactory(), nullptr);
    EXPECT_STREQ(EHttpEngineNoDefault().what(),
                 "Default THttpEngine class not available for current platform.");
}

}  // namespace Nimbra
