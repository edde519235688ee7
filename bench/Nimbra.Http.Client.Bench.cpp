// The client facade as an application uses it, in paired rounds (Bench.Pairs.h): one reused
// THttpClient doing Get of a small file from nginx on 127.0.0.1 and reading the body to its
// end, against
//  - raw libcurl with one reused easy handle (the facade, the engine and libwinhttp together
//    should cost little over the transfer itself), and
//  - Qt's QNetworkAccessManager driven synchronously, as the window's first button drives it
//    (one reused client, an event loop per request).

#include <curl/curl.h>

#include <QCoreApplication>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "Bench.Curl.h"
#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Nimbra.Http.Client.h"
#include "Ostrel.HttpClient.h"

namespace {

constexpr std::int64_t SmallSize = 1024;

/// One Get through a client kept for the whole run, the body read to its end.
class TFacadeGet {
  public:
    explicit TFacadeGet(std::string Url) : FUrl(std::move(Url)) {}

    void operator()() {
        const std::unique_ptr<Nimbra::THttpResponse> Response = FClient.Get(FUrl);
        if (Response->StatusCode() != 200 ||
            static_cast<std::int64_t>(Response->ContentAsBytes().size()) != SmallSize)
            throw std::runtime_error("THttpClient: transfer of " + FUrl + " failed");
    }

  private:
    Nimbra::THttpClient FClient;
    std::string FUrl;
};

/// One Get through the stock client the window's first button uses, kept for the whole run.
class TQtGet {
  public:
    explicit TQtGet(const std::string& Url) : FUrl(QString::fromStdString(Url)) {}

    void operator()() {
        if (FClient.Get(FUrl)->StatusCode() != 200)
            throw std::runtime_error("Qt: transfer of " + FUrl.toStdString() + " failed");
    }

  private:
    Ostrel::THTTPClient FClient;
    QString FUrl;
};

}  // namespace

int main(int argc, char** argv) {
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        QCoreApplication App(argc, argv);
        curl_global_init(CURL_GLOBAL_ALL);
        const Bench::TNginx Nginx({{"small.txt", std::string(SmallSize, 'x')}});
        const std::string Url = Nginx.Url("small.txt");
        {
            TFacadeGet Facade(Url);
            // The engine's request headers, so both send the same bytes: its user agent, and
            // the Accept-Encoding WinHTTP adds when it is asked to decompress.
            Bench::TCurlOptions Headers;
            Headers.UserAgent = "Orvo Http/1.0";
            Headers.AcceptEncoding = "gzip, deflate";
            Bench::TCurlGet Curl(Url, SmallSize, Headers);
            const auto R = Bench::ComparePairs([&] { Facade(); }, [&] { Curl(); }, Opt);
            Bench::Record(Bench::RatioFigure("client.small-gets",
                                             "THttpClient::Get / raw libcurl, keep-alive GETs "
                                             "of 1 KiB",
                                             R, 0.95),
                          Opt);
        }
        {
            TFacadeGet Facade(Url);
            TQtGet Qt(Url);
            const auto R = Bench::ComparePairs([&] { Facade(); }, [&] { Qt(); }, Opt);
            Bench::Record(Bench::RatioFigure("client.small-gets-vs-qt",
                                             "THttpClient::Get / Qt's QNetworkAccessManager "
                                             "driven synchronously, keep-alive GETs of 1 KiB",
                                             R, 3.0),
                          Opt);
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_client: %s\n", E.what());
        return 1;
    }
}
