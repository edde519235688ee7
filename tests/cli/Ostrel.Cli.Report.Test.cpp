// The terminal mode's report without a network: waterfalls drawn from phase times, and the
// verdict on two stacks' outcomes.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <functional>

#include "Ostrel.Cli.Report.h"

namespace {

using namespace Ostrel::Cli;

TProbe Answer(TStack Stack, int Status, double WallMs) {
    TProbe P;
    P.Stack = Stack;
    P.Answered = true;
    P.Status = Status;
    P.WallMs = WallMs;
    return P;
}

TProbe Failure(TStack Stack, TFailure Failure, double WallMs) {
    TProbe P;
    P.Stack = Stack;
    P.Failure = Failure;
    P.WallMs = WallMs;
    for (TMoment& M : P.Moments) M = TMoment::None();
    return P;
}

// Moments from a text such as "1 2 - 4 ? 6": a number is reached at that millisecond,
// "-" did not happen, "?" is not told.
std::array<TMoment, MilestoneCount> Moments(const std::string& Text) {
    std::array<TMoment, MilestoneCount> Out{};
    std::size_t I = 0;
    for (int M = 0; M < MilestoneCount; ++M) {
        while (I < Text.size() && Text[I] == ' ') ++I;
        std::size_t J = Text.find(' ', I);
        if (J == std::string::npos) J = Text.size();
        const std::string W = Text.substr(I, J - I);
        Out[M] = W == "-" ? TMoment::None() : W == "?" ? TMoment{} : TMoment::At(std::stod(W));
        I = J;
    }
    return Out;
}

TEST(CliReport, WaterfallDrawsEachPhaseOnTheScale) {
    struct {
        const char* Name;
        bool Answered;
        std::string Moments;
        double WallMs, ScaleMs;
        std::string Line;
    } Cases[] = {
        {"every phase", true, "1 2 3 4 8 10", 10, 10, "dctswwwwrr"},
        {"plain HTTP has no TLS", true, "2 4 - 5 9 10", 10, 10, "ddccswwwwr"},
        {"shorter than the scale", true, "1 2 - 3 4 5", 5, 10, "dcswr     "},
        {"a phase under one column still shows", true, "0.01 0.02 - 0.03 9 10", 10, 10,
         "dcswwwwwwr"},
        // Qt tells when its handshake ended, not where its connect did.
        {"phases the stack cannot tell apart", true, "? ? 4 5 8 10", 10, 10, "????swwwrr"},
        {"reused connection", true, "- - - 1 9 10", 10, 10, "swwwwwwwwr"},
        {"a long phase leaves room for the rest", true, "9.9 9.92 - 9.94 9.96 10", 10, 10,
         "ddddddcswr"},
        {"failure after connecting", false, "1 3 - - - -", 10, 10, "dccxxxxxxx"},
        {"failure with no times", false, "- - - - - -", 4, 10, "xxxx      "},
        {"answer without times", true, "? ? ? ? ? ?", 10, 10, "??????????"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TProbe P = C.Answered ? Answer(TStack::Nimbra, 200, C.WallMs)
                              : Failure(TStack::Nimbra, TFailure::Timeout, C.WallMs);
        P.Moments = Moments(C.Moments);
        const std::string Line = Waterfall(P, C.ScaleMs, 10);
        EXPECT_EQ(Line, C.Line) << "moments " << C.Moments;
    }
}

TEST(CliReport, VerdictSaysWhyTheStacksDiffer) {
    TProbe QtFollowed = Answer(TStack::Qt, 200, 5);
    QtFollowed.Redirects = 1;
    QtFollowed.FollowedTo = "http://h/next";
    TProbe NimbraRedirect = Answer(TStack::Nimbra, 302, 5);
    NimbraRedirect.Location = "/next";
    TProbe QtRefused = Failure(TStack::Qt, TFailure::Tls, 5);
    QtRefused.Problem = "untrusted issuer";
    TProbe NimbraRefused = Failure(TStack::Nimbra, TFailure::Tls, 5);
    NimbraRefused.Problem = "untrusted issuer";
    struct {
        const char* Name;
        TProbe Qt, Nimbra;
        bool Agree;
        std::string Text;
        int Code;
    } Cases[] = {
        {"same status", Answer(TStack::Qt, 200, 1), Answer(TStack::Nimbra, 200, 1), true,
         "both answered 200", 0},
        {"same status, not 200", Answer(TStack::Qt, 503, 1), Answer(TStack::Nimbra, 503, 1), true,
         "both answered 503", 1},
        {"one followed a redirect", QtFollowed, NimbraRedirect, false,
         "qt followed the redirect to http://h/next and answered 200; nimbra returned the 302 "
         "itself (Location: /next)",
         3},
        {"different statuses", Answer(TStack::Qt, 200, 1), Answer(TStack::Nimbra, 500, 1), false,
         "different statuses: qt 200, nimbra 500", 3},
        {"one refused the certificate", QtRefused, Answer(TStack::Nimbra, 200, 1), false,
         "qt refused the certificate (untrusted issuer); nimbra answered 200", 3},
        {"one timed out", Answer(TStack::Qt, 200, 1), Failure(TStack::Nimbra, TFailure::Timeout, 1),
         false, "nimbra timed out; qt answered 200", 3},
        {"both refused the certificate", QtRefused, NimbraRefused, true,
         "both refused the certificate (untrusted issuer)", 4},
        {"both failed alike", Failure(TStack::Qt, TFailure::Connection, 1),
         Failure(TStack::Nimbra, TFailure::Connection, 1), true, "both failed (connection)", 4},
        {"failed differently", Failure(TStack::Qt, TFailure::NoTransport, 1),
         Failure(TStack::Nimbra, TFailure::InProcServerMissing, 1), false,
         "qt has no transport for this URL's scheme; nimbra failed: no in-process server has "
         "that name",
         3},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TUrlReport R = MakeReport("u", {C.Qt, C.Nimbra});
        EXPECT_TRUE(R.Verdict.Compared);
        EXPECT_EQ(R.Verdict.Agree, C.Agree);
        EXPECT_EQ(R.Verdict.Text, C.Text);
        EXPECT_EQ(R.ExitCode, C.Code);
    }
    // One stack alone is never a disagreement.
    const TUrlReport Alone = MakeReport("u", {Failure(TStack::Qt, TFailure::Timeout, 1)});
    EXPECT_FALSE(Alone.Verdict.Compared);
    EXPECT_EQ(Alone.ExitCode, 4);
}

TProbe Over(TProbe P, std::string Protocol) {
    P.Protocol = std::move(Protocol);
    return P;
}

// HTTP/2 frames the same exchange differently: the same status over both protocols is
// agreement, with a note that the stacks did not speak alike; text and JSON carry each
// stack's protocol.
TEST(CliReport, DifferentProtocolsAreNotedNotHeldAgainstTheAnswer) {
    const TProbe QtH2 = Over(Answer(TStack::Qt, 200, 1), "HTTP/2");
    struct {
        const char* Name;
        TProbe Qt, Nimbra;
        bool Agree;
        std::string Text, Note;
        int Code;
    } Cases[] = {
        {"same status, different protocols", QtH2, Over(Answer(TStack::Nimbra, 200, 1), "HTTP/1.1"),
         true, "both answered 200",
         "same answer over different protocols: qt over HTTP/2, nimbra over HTTP/1.1", 0},
        {"same status, both HTTP/2", QtH2, Over(Answer(TStack::Nimbra, 200, 1), "HTTP/2"), true,
         "both answered 200", "", 0},
        {"different statuses and protocols", Over(Answer(TStack::Qt, 404, 1), "HTTP/1.1"),
         Over(Answer(TStack::Nimbra, 500, 1), "HTTP/2"), false,
         "different statuses: qt 404, nimbra 500",
         "the stacks also spoke different protocols: qt over HTTP/1.1, nimbra over HTTP/2", 3},
        {"one protocol untold", QtH2, Answer(TStack::Nimbra, 200, 1), true, "both answered 200", "",
         0},
        {"one failed", QtH2, Failure(TStack::Nimbra, TFailure::Timeout, 1), false,
         "nimbra timed out; qt answered 200", "", 3},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TUrlReport R = MakeReport("https://h/", {C.Qt, C.Nimbra});
        EXPECT_EQ(R.Verdict.Agree, C.Agree);
        EXPECT_EQ(R.Verdict.Text, C.Text);
        EXPECT_EQ(R.Verdict.Note, C.Note);
        EXPECT_EQ(R.ExitCode, C.Code);

        const std::string Text = FormatText({R});
        EXPECT_EQ(Text.find("  note    ") != std::string::npos, !C.Note.empty()) << Text;
        if (!C.Note.empty()) {
            EXPECT_NE(Text.find("\n  note    " + C.Note + "\n\n"), std::string::npos) << Text;
        }

        TOptions Options;
        Options.Http2 = true;
        QJsonParseError Error{};
        const QJsonObject Doc =
            QJsonDocument::fromJson(QByteArray::fromStdString(FormatJson({R}, Options)), &Error)
                .object();
        ASSERT_EQ(Error.error, QJsonParseError::NoError) << Error.errorString().toStdString();
        EXPECT_EQ(Doc["nimbra_http2"], QJsonValue(true));
        const QJsonObject U = Doc["urls"].toArray()[0].toObject();
        const QJsonValue Note = U["verdict"].toObject()["note"];
        EXPECT_EQ(Note.isNull() ? std::string() : Note.toString().toStdString(), C.Note);
        const QJsonArray Results = U["results"].toArray();
        for (int I = 0; I < 2; ++I) {
            const TProbe& P = I == 0 ? C.Qt : C.Nimbra;
            const QJsonValue Protocol = Results[I].toObject()["protocol"];
            EXPECT_EQ(Protocol.isNull() ? std::string() : Protocol.toString().toStdString(),
                      P.Protocol);
        }
    }
    // The stack's line names its protocol after the status.
    const std::string Text = FormatText({MakeReport("https://h/", {Over(QtH2, "HTTP/2")})});
    EXPECT_NE(Text.find("\n  qt      200  HTTP/2  1.0 ms"), std::string::npos) << Text;
}

TEST(CliReport, PhaseWhereTheExchangeBrokeOffIsNamed) {
    TProbe P = Failure(TStack::Qt, TFailure::Tls, 6);
    P.TimesFrom = "Qt's signals";
    P.Moments = Moments("? ? - - - -");
    P.Moments[TlsDone] = TMoment::BrokeOff();
    const std::vector<TUrlReport> Reports = {MakeReport("https://h/", {P})};
    const std::string Text = FormatText(Reports);
    EXPECT_NE(Text.find("ms: name resolution ?, connect ?, TLS failed, request sent -, first byte "
                        "-, end -  (from Qt's signals)\n"),
              std::string::npos)
        << Text;
    EXPECT_EQ(Waterfall(P, 6, 6), "xxxxxx");
    const std::string Json = FormatJson(Reports, TOptions{});
    EXPECT_NE(Json.find("\"tls_handshake\":null"), std::string::npos) << Json;
    EXPECT_NE(Json.find("\"phase_failed\":\"tls_handshake\""), std::string::npos) << Json;
    P.Moments[TlsDone] = TMoment::None();
    EXPECT_NE(FormatJson({MakeReport("https://h/", {P})}, TOptions{}).find("\"phase_failed\":null"),
              std::string::npos);
}

TEST(CliReport, MissingPhaseTimesAreSaidNotInvented) {
    TProbe P = Answer(TStack::Nimbra, 200, 3);
    P.TimesNote = "this WinHTTP does not offer request times";
    const std::string Text = FormatText({MakeReport("http://h/", {P})});
    EXPECT_NE(Text.find("phases: not available (this WinHTTP does not offer request times)"),
              std::string::npos)
        << Text;
    EXPECT_EQ(Text.find("ms: name resolution"), std::string::npos) << Text;
    const std::string Json = FormatJson({MakeReport("http://h/", {P})}, TOptions{});
    EXPECT_NE(Json.find("\"phases_from\":null"), std::string::npos) << Json;
    EXPECT_NE(Json.find("\"phases_untold\":[\"name_resolution\",\"connect\",\"tls_handshake\","
                        "\"request_sent\",\"first_byte\",\"end\"]"),
              std::string::npos)
        << Json;
}

TEST(CliReport, HostileTextStaysInItsPlace) {
    // A URL and a message as they may come: control characters that would drive the
    // terminal, bytes that are not UTF-8, line breaks inside a message.
    const std::string Url = "http://h/\x1b[2J\xff\xfe\"q\\";
    TProbe P = Failure(TStack::Qt, TFailure::Other, 1);
    P.Message = "first line\r\nsecond\tline \xc3\xa9";
    const std::vector<TUrlReport> Reports = {MakeReport(Url, {P})};

    const std::string Text = FormatText(Reports);
    EXPECT_EQ(Text.find('\x1b'), std::string::npos);
    EXPECT_NE(Text.find("http://h/?[2J"), std::string::npos) << Text;
    EXPECT_NE(Text.find("first line / second?line \xc3\xa9\n"), std::string::npos) << Text;

    QJsonParseError Error{};
    const QJsonDocument Doc =
        QJsonDocument::fromJson(QByteArray::fromStdString(FormatJson(Reports, TOptions{})), &Error);
    ASSERT_EQ(Error.error, QJsonParseError::NoError) << Error.errorString().toStdString();
    const QJsonObject U = Doc.object()["urls"].toArray()[0].toObject();
    EXPECT_EQ(U["url"].toString(), QString::fromUtf8("http://h/\x1b[2J\uFFFD\uFFFD\"q\\"));
    EXPECT_EQ(U["results"].toArray()[0].toObject()["failure"].toObject()["message"].toString(),
              QString::fromUtf8("first line\r\nsecond\tline \xc3\xa9"));
}

// The first control character a terminal would act on in Text, as "offset: bytes", or ""
// when there is none: C0 but the line end, DEL, C1 as UTF-8 characters and as lone bytes.
std::string FirstControl(const std::string& Text) {
    for (std::size_t I = 0; I < Text.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(Text[I]);
        const unsigned char Next =
            I + 1 < Text.size() ? static_cast<unsigned char>(Text[I + 1]) : 0;
        const bool Control =
            (C < 0x20 && C != '\n') || C == 0x7F || (C == 0xC2 && Next >= 0x80 && Next <= 0x9F);
        // A byte 0x80-0x9F stands alone unless a lead byte before it starts its character.
        bool Lone = false;
        if (C >= 0x80 && C <= 0x9F) {
            std::size_t Lead = I;
            while (Lead > 0 && I - Lead < 3 &&
                   (static_cast<unsigned char>(Text[Lead]) & 0xC0) == 0x80)
                --Lead;
            Lone = (static_cast<unsigned char>(Text[Lead]) & 0xC0) != 0xC0;
        }
        if (Control || Lone) {
            char Buf[48];
            std::snprintf(Buf, sizeof Buf, "offset %zu: %02x %02x", I, C, Next);
            return Buf;
        }
    }
    return "";
}

// Whether a string anywhere in the JSON value holds Part.
bool HoldsText(const QJsonValue& V, const QString& Part) {
    if (V.isString()) return V.toString().contains(Part);
    if (V.isArray())
        for (const QJsonValue& E : V.toArray())
            if (HoldsText(E, Part)) return true;
    if (V.isObject())
        for (const QJsonValue& E : V.toObject())
            if (HoldsText(E, Part)) return true;
    return false;
}

TEST(CliReport, PrintableEscapesEveryControl) {
    const struct {
        const char* Name;
        std::string In, Out;
    } Cases[] = {
        {"plain text", "GET /a?b=c", "GET /a?b=c"},
        {"ESC, BEL and NUL", std::string("a\x1b]0;t\x07z\0!", 10), "a?]0;t?z?!"},
        {"DEL", "a\x7fz", "a?z"},
        {"tab", "a\tz", "a?z"},
        {"line breaks", "a\r\nb\nc\rd", "a / b / c / d"},
        {"C1 CSI as a character",
         "a\xc2\x9b"
         "2Jz",
         "a?2Jz"},
        {"C1 OSC and ST as characters",
         "\xc2\x9d"
         "0;t\xc2\x9c",
         "?0;t?"},
        {"first and last C1", "\xc2\x80\xc2\x9f", "??"},
        {"lone C1 bytes",
         "a\x9b"
         "2J\x80\x9f",
         "a?2J??"},
        {"C1 written too long", "\xe0\x82\x9b", "\xe0??"},
        {"bytes of a cut character", "\xe2\x82z\x9b", "\xe2?z?"},
        {"characters that are not controls", "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"Latin-1 letters as lone bytes", "Gr\xfc\xdf", "Gr\xfc\xdf"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Printable(C.In), C.Out);
    }
}

TEST(CliReport, NoControlFromTheNetworkOrTheUrlReachesTheTerminal) {
    // What a hostile server or URL may put in each field the text shows.
    const std::string Hostile =
        "x-\x1b]0;title\x07\x1b[2J\xc2\x9b"
        "2J\x9b"
        "2J\x7f\xc2\x9d"
        "0;t\xc2\x9c";
    auto Redirected = [] {
        TProbe P = Answer(TStack::Nimbra, 302, 2);
        P.Location = "/next";
        return P;
    };
    auto Followed = [] {
        TProbe P = Answer(TStack::Qt, 200, 2);
        P.Redirects = 1;
        P.FollowedTo = "http://h/next";
        return P;
    };
    auto Tls = [] {
        TProbe P = Failure(TStack::Qt, TFailure::Tls, 2);
        P.Problem = "untrusted issuer";
        P.Message = "handshake";
        return P;
    };
    struct TPlanted {
        std::string Url;
        std::vector<TProbe> Probes;
    };
    const struct {
        const char* Name;
        std::function<void(TPlanted&, const std::string&)> Plant;
    } Cases[] = {
        {"URL", [](TPlanted& R, const std::string& H) { R.Url += H; }},
        {"coding name",
         [](TPlanted& R, const std::string& H) {
             R.Probes[1].Compressed = true;
             R.Probes[1].Encoding = H;
         }},
        {"reason phrase", [](TPlanted& R, const std::string& H) { R.Probes[0].Reason = H; }},
        {"Location",
         [&](TPlanted& R, const std::string& H) {
             R.Probes[1] = Redirected();
             R.Probes[1].Location += H;
         }},
        {"where a redirect led",
         [&](TPlanted& R, const std::string& H) {
             R.Probes[0] = Followed();
             R.Probes[0].FollowedTo += H;
             R.Probes[1] = Redirected();
         }},
        {"the stack's message",
         [&](TPlanted& R, const std::string& H) {
             R.Probes[0] = Tls();
             R.Probes[0].Message = H;
         }},
        {"certificate problem",
         [&](TPlanted& R, const std::string& H) {
             R.Probes[0] = Tls();
             R.Probes[0].Problem = H;
         }},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TPlanted Planted{"http://h/", {Answer(TStack::Qt, 200, 2), Answer(TStack::Nimbra, 200, 2)}};
        C.Plant(Planted, Hostile);
        const TUrlReport R = MakeReport(Planted.Url, Planted.Probes);
        const std::string Text = FormatText({R});
        EXPECT_EQ(FirstControl(Text), "") << Text;
        // What the field said is still there, made harmless.
        EXPECT_NE(Text.find("x-?]0;title??[2J?2J?2J??0;t?"), std::string::npos) << Text;

        // JSON keeps every character, escaped, and nothing a terminal would act on.
        const std::string Json = FormatJson({R}, TOptions{});
        EXPECT_EQ(FirstControl(Json), "") << Json;
        QJsonParseError Error{};
        const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(Json), &Error);
        ASSERT_EQ(Error.error, QJsonParseError::NoError) << Error.errorString().toStdString();
        EXPECT_TRUE(HoldsText(Doc.object(), QString::fromUtf8("\x1b]0;title\x07\x1b[2J\xc2\x9b"
                                                              "2J\xef\xbf\xbd"
                                                              "2J\x7f\xc2\x9d")));
    }
}

}  // namespace
