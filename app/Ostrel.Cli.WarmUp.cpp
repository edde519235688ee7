#include "Ostrel.Cli.WarmUp.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "Ostrel.Cli.NimbraProbe.h"
#include "Ostrel.Cli.Probe.h"
#include "Ostrel.HttpClient.h"

namespace Ostrel::Cli {

namespace {

// Long enough for a loaded machine; the server answers at once.
constexpr int WarmUpTimeoutMs = 5000;

// On a thread of its own, as Nimbra's probe blocks the thread that calls it: answers every
// plain request with an empty 200 and hangs up on a TLS hello.
class TWarmUpServer : public QThread {
  public:
    TWarmUpServer() {
        start();
        std::unique_lock Lock(FLock);
        FReadyChanged.wait(Lock, [this] { return FReady; });
    }
    ~TWarmUpServer() override {
        quit();
        wait();
    }

    /// 0 when no port could be had.
    quint16 Port() const { return FPort; }

  protected:
    void run() override {
        QTcpServer Server;
        const bool Listening = Server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&Server, &QTcpServer::newConnection, [&Server] {
            while (QTcpSocket* Socket = Server.nextPendingConnection()) Serve(Socket);
        });
        {
            std::lock_guard Lock(FLock);
            FPort = Listening ? Server.serverPort() : 0;
            FReady = true;
        }
        FReadyChanged.notify_all();
        if (Listening) exec();
    }

  private:
    static void Serve(QTcpSocket* Socket) {
        QObject::connect(Socket, &QTcpSocket::disconnected, Socket, &QObject::deleteLater);
        auto Head = std::make_shared<QByteArray>();
        QObject::connect(Socket, &QTcpSocket::readyRead, Socket, [Socket, Head] {
            *Head += Socket->readAll();
            if (Head->startsWith('\x16')) {  // a TLS handshake record
                Socket->abort();
            } else if (Head->contains("\r\n\r\n")) {
                Socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                Socket->disconnectFromHost();
            }
        });
    }

    std::mutex FLock;
    std::condition_variable FReadyChanged;
    bool FReady = false;
    quint16 FPort = 0;
};

}  // namespace

void WarmUp(bool UseQt, bool UseNimbra) {
    // The system resolver loads its own libraries on its first lookup, for either stack.
    QHostInfo::fromName(QStringLiteral("localhost"));
    const TWarmUpServer Server;
    if (Server.Port() == 0) return;
    for (const char* Scheme : {"http", "https"}) {
        const std::string Url =
            std::string(Scheme) + "://127.0.0.1:" + std::to_string(Server.Port()) + "/";
        if (UseQt) {
            THTTPClient Client;
            ProbeQt(Client, Url, WarmUpTimeoutMs);
        }
        if (UseNimbra) ProbeNimbra(Url, WarmUpTimeoutMs);
    }
}

}  // namespace Ostrel::Cli
