// ostrel-cli as a user runs it: the real program against local servers started here, its
// JSON parsed, its text read, its exit codes and its command line checked.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Http2Server.h"
#include "TestServer.h"

extern char** environ;

namespace {

using TestSupport::TRefusingPort;
using TestSupport::TTestServer;

struct TRun {
    int Code = -1;
    std::string Out, Err;
};

// Runs ostrel-cli with the arguments and the environment of this test, plus Env
// ("NAME=value"), and waits for it.
TRun RunCli(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {}) {
    TRun R;
    std::vector<std::string> Argv = {std::string(OSTREL_BIN_DIR) + "/ostrel-cli"};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    std::vector<char*> ArgPtrs;
    for (auto& A : Argv) ArgPtrs.push_back(A.data());
    ArgPtrs.push_back(nullptr);
    std::vector<std::string> EnvText(Env);
    for (char** E = environ; *E; ++E) EnvText.emplace_back(*E);
    std::vector<char*> EnvPtrs;
    for (auto& E : EnvText) EnvPtrs.push_back(E.data());
    EnvPtrs.push_back(nullptr);

    int Out[2], Err[2];
    if (pipe2(Out, O_CLOEXEC) != 0 || pipe2(Err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return R;
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&Actions, Err[1], STDERR_FILENO);
    pid_t Pid = -1;
    const int Rc = posix_spawn(&Pid, ArgPtrs[0], &Actions, nullptr, ArgPtrs.data(), EnvPtrs.data());
    posix_spawn_file_actions_destroy(&Actions);
    close(Out[1]);
    close(Err[1]);
    if (Rc != 0) {
        close(Out[0]);
        close(Err[0]);
        ADD_FAILURE() << "could not start " << Argv[0];
        return R;
    }
    pollfd Fds[2] = {{Out[0], POLLIN, 0}, {Err[0], POLLIN, 0}};
    std::string* Into[2] = {&R.Out, &R.Err};
    int Open = 2;
    while (Open > 0) {
        if (poll(Fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int I = 0; I < 2; ++I) {
            if (Fds[I].fd < 0 || !(Fds[I].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char Buf[4096];
            const ssize_t N = read(Fds[I].fd, Buf, sizeof Buf);
            if (N > 0) {
                Into[I]->append(Buf, static_cast<std::size_t>(N));
            } else if (N == 0 || errno != EINTR) {
                close(Fds[I].fd);
                Fds[I].fd = -1;
                --Open;
            }
        }
    }
    int Status = 0;
    while (waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    R.Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    return R;
}

QJsonObject ParseJson(const TRun& R) {
    QJsonParseError Error{};
    const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(R.Out), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError)
        << Error.errorString().toStdString() << " in:\n"
        << R.Out;
    EXPECT_TRUE(Doc.isObject());
    return Doc.object();
}

std::string Str(const QJsonValue& V) {
    return V.isNull() ? "(null)" : V.toString().toStdString();
}

const std::string& CertDir() {
    static const std::string Dir = [] {
        std::string D = (std::filesystem::temp_directory_path() /
                         ("ostrel-cli-certs-" + std::to_string(getpid())))
                            .string();
        std::string Cmd =
            TTestServer::SupportDir() + "/make-test-certs '" + D + "' >/dev/null 2>&1";
        if (std::system(Cmd.c_str()) != 0)
            ADD_FAILURE() << "certificate generation failed: " << Cmd;
        return D;
    }();
    return Dir;
}

std::vector<std::string> TlsArgs(const std::string& Name) {
    return {"--tls", CertDir() + "/" + Name + ".pem", CertDir() + "/" + Name + ".key"};
}

// The milestones of a stack's result that were reached, checked for order and against its
// wall time: each no earlier than the one before, none after the whole call.
std::string ReachedPhases(const QJsonObject& Result) {
    static const char* const Keys[] = {"name_resolution", "connect",    "tls_handshake",
                                       "request_sent",    "first_byte", "end"};
    const QJsonObject Phases = Result["phases_ms"].toObject();
    const double Wall = Result["wall_ms"].toDouble();
    std::string Out;
    double Last = 0;
    for (const char* K : Keys) {
        const QJsonValue V = Phases[QLatin1String(K)];
        if (V.isNull()) continue;
        EXPECT_TRUE(V.isDouble()) << K;
        EXPECT_GE(V.toDouble(), Last) << K << " before the phase it follows";
        EXPECT_LE(V.toDouble(), Wall + 0.001) << K << " after the end of the call";
        Last = V.toDouble();
        Out += (Out.empty() ? "" : " ") + std::string(K);
    }
    return Out;
}

class CliTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { Server = std::make_unique<TTestServer>(); }
    static void TearDownTestSuite() { Server.reset(); }
    static std::string Url(const std::string& Path) { return Server->Url(Path); }
    static inline std::unique_ptr<TTestServer> Server;
};

TEST_F(CliTest, HelpExplainsEveryOptionAndExitCode) {
    const TRun R = RunCli({"--help"});
    EXPECT_EQ(R.Code, 0);
    EXPECT_EQ(R.Err, "");
    for (const char* Text :
         {"Usage: ostrel-cli", "--json", "--timeout MS", "--stack qt|nimbra", "--http2", "--help",
          "\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  "})
        EXPECT_NE(R.Out.find(Text), std::string::npos) << Text;
    // Help wins over URLs: nothing is sent.
    EXPECT_EQ(RunCli({"-h", "http://127.0.0.1:1/"}).Out, R.Out);
}

TEST_F(CliTest, BadUsageSays2AndSendsNothing) {
    struct {
        const char* Name;
        std::vector<std::string> Args;
        std::string Says;
    } Cases[] = {
        {"no URL", {}, "no URL given"},
        {"no URL, only options", {"--json", "--timeout", "5"}, "no URL given"},
        {"unknown option", {"--verbose", "http://x/"}, "unknown option --verbose"},
        {"time-out without value", {"http://x/", "--timeout"}, "--timeout needs a value"},
        {"time-out zero", {"--timeout", "0", "http://x/"}, "--timeout needs a whole number"},
        {"time-out not a number", {"--timeout=5s", "http://x/"}, "not \"5s\""},
        {"time-out too large", {"--timeout", "99999999999", "http://x/"}, "--timeout needs"},
        {"unknown stack", {"--stack", "curl", "http://x/"}, "--stack is qt or nimbra"},
        {"stack twice", {"--stack", "qt", "--stack=nimbra", "http://x/"}, "--stack given twice"},
        {"flag with a value", {"--json=yes", "http://x/"}, "--json takes no value"},
        {"--http2 with a value", {"--http2=no", "http://x/"}, "--http2 takes no value"},
        {"empty URL", {""}, "an empty URL"},
        // The command line is quoted back without the escapes that would drive the terminal.
        {"option with escapes",
         {"--x\x1b]0;t\x07\xc2\x9b"
          "2J",
          "http://x/"},
         "unknown option --x?]0;t??2J\n"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TRun R = RunCli(C.Args);
        EXPECT_EQ(R.Code, 2);
        EXPECT_EQ(R.Out, "");
        EXPECT_NE(R.Err.find(C.Says), std::string::npos) << R.Err;
        EXPECT_NE(R.Err.find("--help"), std::string::npos) << R.Err;
    }
}

TEST_F(CliTest, BothStacksOneUrlEach) {
    const TRefusingPort Refusing;
    TTestServer SelfSigned(TlsArgs("self"));
    struct {
        const char* Name;
        std::string Url;
        int Code;
        // Per stack: the status ("" for a failure) or the failure category.
        std::string Qt, Nimbra;
        bool Agree;
        std::string VerdictSays;
    } Cases[] = {
        {"200 on both", Url("/status/200"), 0, "200", "200", true, "both answered 200"},
        {"404 on both", Url("/status/404"), 1, "404", "404", true, "both answered 404"},
        {"a body of 3 MB", Url("/bytes/3000000"), 0, "200", "200", true, "both answered 200"},
        {"redirect: one follows it", Url("/redirect?to=/status/200"), 3, "200", "302", false,
         "qt followed the redirect"},
        {"refused port", "http://127.0.0.1:" + std::to_string(Refusing.Port()) + "/", 4,
         "connection", "connection", true, "both failed (connection)"},
        {"unknown host", "http://no-such-host.invalid/", 4, "name-resolution", "name-resolution",
         true, "both failed (name-resolution)"},
        {"certificate both refuse", SelfSigned.Url("/status/200"), 4, "tls", "tls", true,
         "both refused the certificate (untrusted issuer)"},
        {"in-process URL", "local://nobody/x", 3, "no-transport", "inproc-server-missing", false,
         "qt has no transport"},
        {"not a URL", "http://", 4, "invalid-url", "invalid-url", true, "both failed"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TRun R = RunCli({"--json", C.Url});
        EXPECT_EQ(R.Code, C.Code) << R.Out << R.Err;
        const QJsonObject Doc = ParseJson(R);
        EXPECT_EQ(Doc["exit_code"].toInt(), C.Code);
        const QJsonArray Urls = Doc["urls"].toArray();
        ASSERT_EQ(Urls.size(), 1);
        const QJsonObject U = Urls[0].toObject();
        EXPECT_EQ(Str(U["url"]), C.Url);
        EXPECT_EQ(U["exit_code"].toInt(), C.Code);
        const QJsonArray Results = U["results"].toArray();
        ASSERT_EQ(Results.size(), 2);
        const std::string* Expected[] = {&C.Qt, &C.Nimbra};
        const char* Stacks[] = {"qt", "nimbra"};
        for (int I = 0; I < 2; ++I) {
            SCOPED_TRACE(Stacks[I]);
            const QJsonObject Res = Results[I].toObject();
            EXPECT_EQ(Str(Res["stack"]), Stacks[I]);
            const bool Answered = Res["answered"].toBool();
            const std::string Outcome = Answered ? std::to_string(Res["status"].toInt())
                                                 : Str(Res["failure"].toObject()["category"]);
            EXPECT_EQ(Outcome, *Expected[I]);
            if (!Answered) {
                EXPECT_FALSE(Str(Res["failure"].toObject()["message"]).empty());
            }
            EXPECT_GT(Res["wall_ms"].toDouble(), 0.0);
        }
        const QJsonObject Verdict = U["verdict"].toObject();
        EXPECT_TRUE(Verdict["compared"].toBool());
        EXPECT_EQ(Verdict["agree"].toBool(), C.Agree);
        EXPECT_NE(Str(Verdict["text"]).find(C.VerdictSays), std::string::npos)
            << Str(Verdict["text"]);
    }
}

TEST_F(CliTest, AnswersCarryLocationCompressionAndCertificateProblems) {
    TTestServer Expired(TlsArgs("expired"));
    // Redirect: Nimbra returns it with its Location, Qt follows it to where it leads.
    TRun R = RunCli({"--json", Url("/redirect?to=/status/204&code=301")});
    QJsonArray Results = ParseJson(R)["urls"].toArray()[0].toObject()["results"].toArray();
    EXPECT_EQ(Results[0].toObject()["status"].toInt(), 204);
    EXPECT_EQ(Results[0].toObject()["redirects_followed"].toInt(), 1);
    EXPECT_EQ(Str(Results[0].toObject()["followed_to"]), Url("/status/204"));
    EXPECT_EQ(Results[1].toObject()["status"].toInt(), 301);
    EXPECT_EQ(Str(Results[1].toObject()["location"]), "/status/204");
    EXPECT_EQ(Results[1].toObject()["redirects_followed"].toInt(), 0);

    // A gzip body: both stacks decode it and say it came compressed.
    R = RunCli({"--json", Url("/faults/compressed/gzip?n=20000")});
    EXPECT_EQ(R.Code, 0);
    Results = ParseJson(R)["urls"].toArray()[0].toObject()["results"].toArray();
    for (const QJsonValue& V : Results) {
        SCOPED_TRACE(Str(V.toObject()["stack"]));
        EXPECT_EQ(V.toObject()["compressed"], QJsonValue(true));
        EXPECT_NE(Str(V.toObject()["content_encoding"]).find("gzip"), std::string::npos);
    }
    // A plain one says it did not.
    R = RunCli({"--json", Url("/bytes/2000")});
    Results = ParseJson(R)["urls"].toArray()[0].toObject()["results"].toArray();
    for (const QJsonValue& V : Results) EXPECT_EQ(V.toObject()["compressed"], QJsonValue(false));

    // The certificate problem is named the same way for both stacks.
    R = RunCli({"--json", Expired.Url("/status/200")}, {"CURL_CA_BUNDLE=" + CertDir() + "/ca.pem"});
    EXPECT_EQ(R.Code, 4) << R.Out;
    const QJsonObject U = ParseJson(R)["urls"].toArray()[0].toObject();
    Results = U["results"].toArray();
    // Qt does not trust the test CA either, and says so too.
    EXPECT_EQ(Str(U["verdict"].toObject()["text"]),
              "both refused the certificate (qt: untrusted issuer, expired or not yet valid; "
              "nimbra: expired or not yet valid)");
    EXPECT_EQ(Str(Results[1].toObject()["failure"].toObject()["problem"]),
              "expired or not yet valid");
    EXPECT_NE(Str(Results[0].toObject()["failure"].toObject()["problem"])
                  .find("expired or not yet valid"),
              std::string::npos);
}

TEST_F(CliTest, PhaseTimesComeFromEachStack) {
    TTestServer Good(TlsArgs("good"));
    const std::string CaEnv = "CURL_CA_BUNDLE=" + CertDir() + "/ca.pem";
    struct {
        const char* Name;
        std::vector<std::string> Args;
        std::string Stack;
        std::string Reached;
    } Cases[] = {
        {"nimbra over http",
         {"--stack", "nimbra", Url("/status/200")},
         "nimbra",
         "name_resolution connect request_sent first_byte end"},
        {"nimbra over https",
         {"--stack=nimbra", Good.Url("/status/200")},
         "nimbra",
         "name_resolution connect tls_handshake request_sent first_byte end"},
        // Qt tells the request, the head and the end; it does not tell its connect apart.
        {"qt over http",
         {"--stack", "qt", Url("/status/200")},
         "qt",
         "request_sent first_byte end"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::string> Args = {"--json"};
        Args.insert(Args.end(), C.Args.begin(), C.Args.end());
        const TRun R = RunCli(Args, {CaEnv});
        EXPECT_EQ(R.Code, 0) << R.Out << R.Err;
        const QJsonObject Doc = ParseJson(R);
        EXPECT_EQ(Doc["stacks"].toArray().size(), 1);
        const QJsonObject U = Doc["urls"].toArray()[0].toObject();
        EXPECT_FALSE(U["verdict"].toObject()["compared"].toBool());
        const QJsonArray Results = U["results"].toArray();
        ASSERT_EQ(Results.size(), 1);
        const QJsonObject Res = Results[0].toObject();
        EXPECT_EQ(Str(Res["stack"]), C.Stack);
        EXPECT_EQ(ReachedPhases(Res), C.Reached);
        EXPECT_FALSE(Res["phases_from"].isNull());
    }
}

// One-time costs (loading libraries, the first session) are in no URL's figures: the phases
// the client spends before its request is out take as long for the first URL as for later
// ones of the same server, to within an order of magnitude. The request is the same each time.
TEST_F(CliTest, FirstUrlCarriesNoStartUpCost) {
    const std::string U = Url("/status/200");
    // What differs by more than tenfold, or "" when nothing does. Under 0.3 ms is noise.
    auto Outliers = [&] {
        const TRun R = RunCli({"--json", U, U, U});
        EXPECT_EQ(R.Code, 0) << R.Out << R.Err;
        const QJsonArray Urls = ParseJson(R)["urls"].toArray();
        std::string Found;
        if (Urls.size() != 3) return std::string("not three URLs");
        for (int S = 0; S < 2; ++S) {
            auto Phases = [&](int I) {
                return Urls[I]
                    .toObject()["results"]
                    .toArray()[S]
                    .toObject()["phases_ms"]
                    .toObject();
            };
            for (const char* Key : {"name_resolution", "connect", "request_sent"}) {
                const QJsonValue First = Phases(0)[QLatin1String(Key)];
                if (!First.isDouble()) continue;
                const double Later = std::max({Phases(1)[QLatin1String(Key)].toDouble(),
                                               Phases(2)[QLatin1String(Key)].toDouble(), 0.3});
                if (First.toDouble() > 10 * Later)
                    Found += std::string(S ? "nimbra " : "qt ") + Key + " " +
                             std::to_string(First.toDouble()) + " ms, later " +
                             std::to_string(Later) + " ms; ";
            }
        }
        return Found;
    };
    // A busy machine may hold up any one exchange; start-up costs hold up the first every time.
    std::string Found = Outliers();
    if (!Found.empty()) Found = Outliers();
    EXPECT_EQ(Found, "");
}

// The text says what happened in the stacks' own terms: a handshake that failed is not one
// that did not happen, and a local:// URL never reaches WinHTTP.
TEST_F(CliTest, TextNamesFailedHandshakesAndInProcessUrls) {
    TTestServer SelfSigned(TlsArgs("self"));
    struct {
        const char* Name;
        std::string Url;
        std::string Stack;
        std::string Says, SaysNot;
    } Cases[] = {
        {"qt refuses the certificate", SelfSigned.Url("/status/200"), "qt",
         "ms: name resolution ?, connect ?, TLS failed, request sent -, first byte -, end -",
         "TLS -"},
        {"local URL without a server", "local://nobody/x", "nimbra",
         "phases: not available (sent in process: no network phases)", "WinHTTP"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TRun R = RunCli({"--stack", C.Stack, C.Url});
        EXPECT_EQ(R.Code, 4) << R.Out << R.Err;
        // The block of the stack: from its line to the waterfall.
        const std::size_t From = R.Out.find("\n  " + C.Stack + " ");
        ASSERT_NE(From, std::string::npos) << R.Out;
        const std::string Block = R.Out.substr(From, R.Out.find('|', From) - From);
        EXPECT_NE(Block.find(C.Says), std::string::npos) << Block;
        EXPECT_EQ(Block.find(C.SaysNot), std::string::npos) << Block;
    }
    // The legend says what "failed" stands for.
    EXPECT_NE(RunCli({"local://nobody/x"}).Out.find("failed: the exchange broke off in it"),
              std::string::npos);
}

// Each answer names the protocol it came over; HTTP/2 is spoken only on https, and Nimbra
// offers it only with --http2.
TEST_F(CliTest, EachAnswerNamesItsProtocol) {
    TTestServer Good(TlsArgs("good"));     // HTTP/1.1 only
    const TestSupport::THttp2Server Both;  // HTTP/2 and HTTP/1.1, chosen in the handshake
    const TRefusingPort Refusing;
    const std::string CaEnv = "CURL_CA_BUNDLE=" + CertDir() + "/ca.pem";
    struct {
        const char* Name;
        std::vector<std::string> Args;
        std::vector<std::string> Protocols;  // per stack asked; "(null)" without an answer
        bool Http2;
        std::string Ca = CertDir() + "/ca.pem";
    } Cases[] = {
        {"offered to a server that speaks it",
         {"--stack", "nimbra", "--http2", Both.Url("/status/200")},
         {"HTTP/2"},
         true,
         TestSupport::TestCertDir() + "/ca.pem"},
        {"not offered to a server that speaks it",
         {"--stack", "nimbra", Both.Url("/status/200")},
         {"HTTP/1.1"},
         false,
         TestSupport::TestCertDir() + "/ca.pem"},
        {"plain http stays HTTP/1.1 on both",
         {"--http2", Url("/status/200")},
         {"HTTP/1.1", "HTTP/1.1"},
         true},
        {"a server without HTTP/2",
         {"--stack", "nimbra", "--http2", Good.Url("/status/200")},
         {"HTTP/1.1"},
         true},
        {"not offered", {"--stack", "nimbra", Good.Url("/status/200")}, {"HTTP/1.1"}, false},
        {"no answer, no protocol",
         {"--http2", "http://127.0.0.1:" + std::to_string(Refusing.Port()) + "/"},
         {"(null)", "(null)"},
         true},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::string> Args = {"--json"};
        Args.insert(Args.end(), C.Args.begin(), C.Args.end());
        const TRun R = RunCli(Args, {"CURL_CA_BUNDLE=" + C.Ca});
        const QJsonObject Doc = ParseJson(R);
        EXPECT_EQ(Doc["nimbra_http2"], QJsonValue(C.Http2));
        const QJsonObject U = Doc["urls"].toArray()[0].toObject();
        const QJsonArray Results = U["results"].toArray();
        ASSERT_EQ(Results.size(), static_cast<qsizetype>(C.Protocols.size())) << R.Out;
        for (qsizetype I = 0; I < Results.size(); ++I)
            EXPECT_EQ(Str(Results[I].toObject()["protocol"]),
                      C.Protocols[static_cast<std::size_t>(I)]);
        EXPECT_TRUE(U["verdict"].toObject()["note"].isNull());
    }
    // The text names it after the status (HTTP/2 has no reason phrase).
    TRun R = RunCli({"--stack", "nimbra", "--http2", Good.Url("/status/200")}, {CaEnv});
    EXPECT_NE(R.Out.find("\n  nimbra  200 OK  HTTP/1.1  "), std::string::npos) << R.Out;
    R = RunCli({"--stack", "nimbra", "--http2", Both.Url("/status/200")},
               {"CURL_CA_BUNDLE=" + TestSupport::TestCertDir() + "/ca.pem"});
    EXPECT_NE(R.Out.find("\n  nimbra  200  HTTP/2  "), std::string::npos) << R.Out;
}

TEST_F(CliTest, TimeOutAppliesToBothStacks) {
    const TRun R = RunCli({"--json", "--timeout", "300", Url("/faults/stall-head?ms=4000")});
    EXPECT_EQ(R.Code, 4) << R.Out;
    const QJsonObject Doc = ParseJson(R);
    EXPECT_EQ(Doc["timeout_ms"].toInt(), 300);
    const QJsonObject U = Doc["urls"].toArray()[0].toObject();
    for (const QJsonValue& V : U["results"].toArray()) {
        SCOPED_TRACE(Str(V.toObject()["stack"]));
        EXPECT_EQ(Str(V.toObject()["failure"].toObject()["category"]), "timeout");
        EXPECT_TRUE(V.toObject()["phases_ms"].toObject()["end"].isNull());
    }
    EXPECT_EQ(Str(U["verdict"].toObject()["text"]), "both failed (timeout)");
}

TEST_F(CliTest, SeveralUrlsExitWithTheWorstCode) {
    const TRefusingPort Refusing;
    const std::string Refused = "http://127.0.0.1:" + std::to_string(Refusing.Port()) + "/";
    struct {
        const char* Name;
        std::vector<std::string> Urls;
        int Code;
    } Cases[] = {
        {"all 200", {Url("/status/200"), Url("/bytes/10")}, 0},
        {"a 404 among 200s", {Url("/status/200"), Url("/status/404")}, 1},
        {"a failure after a 404", {Url("/status/404"), Refused}, 4},
        {"a disagreement and a failure", {Url("/redirect?to=/status/200"), Refused}, 4},
        {"a disagreement and a 404", {Url("/status/404"), Url("/redirect?to=/status/200")}, 3},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TRun R = RunCli(C.Urls);
        EXPECT_EQ(R.Code, C.Code) << R.Out;
        // The text names every URL, in order.
        std::size_t At = 0;
        for (const std::string& U : C.Urls) {
            At = R.Out.find(U + "\n", At);
            EXPECT_NE(At, std::string::npos) << U;
        }
    }
}

TEST_F(CliTest, TextShowsBothStacksOnOneScale) {
    const TRun R = RunCli({Url("/status/200")});
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_EQ(R.Err, "");
    std::vector<std::string> Lines;
    for (std::size_t I = 0, J; I < R.Out.size(); I = J + 1) {
        J = R.Out.find('\n', I);
        if (J == std::string::npos) J = R.Out.size();
        Lines.push_back(R.Out.substr(I, J - I));
    }
    ASSERT_GE(Lines.size(), 8u) << R.Out;
    EXPECT_EQ(Lines[0], Url("/status/200"));
    EXPECT_EQ(Lines[1].rfind("  qt      200 OK  ", 0), 0u) << Lines[1];
    // Two waterfalls of one width, one per stack.
    std::vector<std::string> Falls;
    for (const auto& L : Lines)
        if (L.find('|') != std::string::npos) Falls.push_back(L);
    ASSERT_EQ(Falls.size(), 2u) << R.Out;
    EXPECT_EQ(Falls[0].size(), Falls[1].size());
    EXPECT_NE(Falls[1].find('r'), std::string::npos) << Falls[1];
    EXPECT_NE(R.Out.find("\n  nimbra  200 OK  "), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("\n  verdict agree: both answered 200\n"), std::string::npos) << R.Out;
}

}  // namespace
