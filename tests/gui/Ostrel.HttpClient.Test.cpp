// The stock-client wrapper against the local test server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QSslConfiguration>
#include <QUrl>
#include <cstdlib>
#include <filesystem>

#include "GuiTestSupport.h"
#include "Http2Server.h"
#include "Ostrel.HttpClient.h"
#include "TestServer.h"

namespace {

using Ostrel::EHTTPClientException;
using Ostrel::THTTPClient;

class HttpClientTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { Server = std::make_unique<TestSupport::TTestServer>(); }
    static void TearDownTestSuite() { Server.reset(); }

    static QString ServerUrl(const std::string& Path) {
        return QString::fromStdString(Server->Url(Path));
    }

    // The message of the exception Get throws, or a failure when it returns.
    static std::string GetError(THTTPClient& Client, const QString& Url) {
        try {
            const auto Response = Client.Get(Url);
            ADD_FAILURE() << "answered " << Response->StatusCode();
        } catch (const EHTTPClientException& E) {
            EXPECT_STREQ(E.ClassName(), "EHTTPClientException");
            return E.what();
        }
        return {};
    }

    static inline std::unique_ptr<TestSupport::TTestServer> Server;
};

// Qt signals 4xx and 5xx as errors of its own; every one of them is still an answer.
TEST_F(HttpClientTest, EveryStatusIsAnAnswer) {
    const int Codes[] = {200, 201, 204, 299, 304, 400, 401, 403, 404, 405,
                         407, 409, 410, 418, 500, 501, 503, 504, 599};
    THTTPClient Client;
    for (int Code : Codes) {
        SCOPED_TRACE(Code);
        const auto Response = Client.Get(ServerUrl("/status/" + std::to_string(Code)));
        EXPECT_EQ(Response->StatusCode(), Code);
    }
}

TEST_F(HttpClientTest, FollowsRedirectChains) {
    const std::string Inner = "/redirect?code=308&to=/status/204";
    const std::string Outer = "/redirect?code=302&to=" +
                              QUrl::toPercentEncoding(QString::fromStdString(Inner)).toStdString();
    THTTPClient Client;
    const auto Response = Client.Get(ServerUrl(Outer));
    EXPECT_EQ(Response->StatusCode(), 204);
}

// Redirects Qt cannot follow are answers with their own status.
TEST_F(HttpClientTest, UnfollowedRedirectsAreAnswers) {
    struct TCase {
        const char* Name;
        std::string Path;
        int Status;
    };
    const TCase Cases[] = {
        {"302 without Location", "/redirect-no-location/302", 302},
        {"308 without Location", "/redirect-no-location/308", 308},
        {"300 is never followed", "/redirect?code=300&to=/status/200", 300},
        {"Location with a scheme Qt does not speak", "/redirect?code=301&to=ftp://127.0.0.1/", 301},
        {"followed, then without Location", "/redirect?code=303&to=/redirect-no-location/307", 307},
    };
    THTTPClient Client;
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Client.Get(ServerUrl(C.Path))->StatusCode(), C.Status);
    }
}

// A redirect that is followed and then fails in transport is a failure, not the 3xx.
TEST_F(HttpClientTest, FailureAfterRedirectIsAnError) {
    TestSupport::TRefusingPort Refusing;
    THTTPClient Client;
    const std::string Message =
        GetError(Client, ServerUrl("/redirect?code=302&to=http://127.0.0.1:" +
                                   std::to_string(Refusing.Port()) + "/"));
    EXPECT_NE(QString::fromStdString(Message).indexOf("refused", 0, Qt::CaseInsensitive), -1)
        << Message;
}

TEST_F(HttpClientTest, LargeBodyIsReadToTheEnd) {
    THTTPClient Client;
    EXPECT_EQ(Client.Get(ServerUrl("/bytes/8000000"))->StatusCode(), 200);
}

TEST_F(HttpClientTest, SilentServerEndsInTimeOut) {
    THTTPClient Client;
    EXPECT_EQ(Client.ResponseTimeout(), 60000);
    Client.SetResponseTimeout(100);
    const std::string Message = GetError(Client, ServerUrl("/delay/20000"));
    EXPECT_NE(Message.find("time-out"), std::string::npos) << Message;
}

TEST_F(HttpClientTest, TransportFailuresThrowWithQtsText) {
    TestSupport::TRefusingPort Refusing;
    struct TCase {
        const char* Name;
        QString Url;
        const char* Expected;  // part of the message
    };
    const TCase Cases[] = {
        {"refused", QStringLiteral("http://127.0.0.1:%1/").arg(Refusing.Port()), "refused"},
        {"blanks", "   ", "Protocol \"\" is unknown"},
        {"no scheme", "127.0.0.1/x", "Protocol \"\" is unknown"},
        {"file URL is not read", "file:///dev/zero", "Protocol \"file\" is unknown"},
        {"data URL", "data:text/plain,hello", "Protocol \"data\" is unknown"},
        {"name not resolved", "http://name.invalid/", "not found"},
    };
    THTTPClient Client;
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Message = GetError(Client, C.Url);
        EXPECT_NE(QString::fromStdString(Message).indexOf(C.Expected, 0, Qt::CaseInsensitive), -1)
            << Message;
    }
}

// Against https servers with the certificates of tests/support/make-test-certs.
class HttpClientTlsTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        CertDir = std::filesystem::temp_directory_path() /
                  ("ostrel-gui-certs-" + std::to_string(getpid()));
        const std::string Command = TestSupport::TTestServer::SupportDir() + "/make-test-certs '" +
                                    CertDir.string() + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(Command.c_str()), 0) << Command;
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(CertDir); }

    static std::unique_ptr<TestSupport::TTestServer> Https(const char* Name) {
        const auto Base = (CertDir / Name).string();
        return std::make_unique<TestSupport::TTestServer>(
            std::vector<std::string>{"--tls", Base + ".pem", Base + ".key"});
    }

    static inline std::filesystem::path CertDir;
};

TEST_F(HttpClientTlsTest, UntrustedCertificatesFailWithQtsText) {
    for (const char* Name : {"self", "good", "expired", "wronghost"}) {
        SCOPED_TRACE(Name);
        const auto Server = Https(Name);
        THTTPClient Client;
        try {
            Client.Get(QString::fromStdString(Server->Url("/status/200")));
            ADD_FAILURE() << "no error";
        } catch (const EHTTPClientException& E) {
            EXPECT_NE(std::string(E.what()).find("SSL handshake failed"), std::string::npos)
                << E.what();
        }
    }
}

// With the test CA trusted, https works, and a redirect from https down to http is an answer
// that is not followed.
TEST_F(HttpClientTlsTest, TrustedServerAnswersAndHttpsToHttpIsNotFollowed) {
    const QSslConfiguration Saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration Trusting = Saved;
    Trusting.addCaCertificates((CertDir / "ca.pem").string().c_str());
    QSslConfiguration::setDefaultConfiguration(Trusting);

    const auto Secure = Https("good");
    TestSupport::TTestServer Plain;
    THTTPClient Client;
    EXPECT_EQ(Client.Get(QString::fromStdString(Secure->Url("/status/200")))->StatusCode(), 200);
    const std::string Down = "/redirect?code=302&to=" + Plain.Url("/status/200");
    EXPECT_EQ(Client.Get(QString::fromStdString(Secure->Url(Down)))->StatusCode(), 302);
    const std::string Up = "/redirect?code=302&to=" + Secure->Url("/status/204");
    EXPECT_EQ(Client.Get(QString::fromStdString(Plain.Url(Up)))->StatusCode(), 204);

    QSslConfiguration::setDefaultConfiguration(Saved);
}

// Qt offers HTTP/2 on https by itself; the trace says when the server took it.
TEST_F(HttpClientTlsTest, TraceTellsWhetherTheAnswerCameOverHttp2) {
    const QSslConfiguration Saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration Trusting = Saved;
    Trusting.addCaCertificates((CertDir / "ca.pem").string().c_str());
    Trusting.addCaCertificates((TestSupport::TestCertDir() + "/ca.pem").c_str());
    QSslConfiguration::setDefaultConfiguration(Trusting);

    const TestSupport::THttp2Server Both;  // HTTP/2 and HTTP/1.1, chosen in the handshake
    const auto Http11Only = Https("good");
    TestSupport::TTestServer Plain;
    const struct {
        const char* Name;
        std::string Url;
        bool Http2;
    } Cases[] = {
        {"a server that speaks HTTP/2", Both.Url("/status/200"), true},
        {"an https server without HTTP/2", Http11Only->Url("/status/200"), false},
        {"plain http", Plain.Url("/status/200"), false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THTTPClient Client;
        Ostrel::THTTPTrace Trace;
        EXPECT_EQ(Client.Get(QString::fromStdString(C.Url), &Trace)->StatusCode(), 200);
        EXPECT_EQ(Trace.Http2, C.Http2);
    }
    QSslConfiguration::setDefaultConfiguration(Saved);
}

}  // namespace
