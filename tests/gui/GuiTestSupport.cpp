#include "GuiTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "Ostrel.Application.h"

namespace GuiTest {

namespace {

QtMessageHandler PreviousHandler = nullptr;

// The offscreen platform warns about every dialog it cannot size through a window manager.
void QuietHandler(QtMsgType Type, const QMessageLogContext& Context, const QString& Text) {
    if (Text.startsWith(QLatin1String("This plugin does not support"))) return;
    PreviousHandler(Type, Context, Text);
}

// One application object for the whole test program, created when tests run (not when
// CTest lists them), on the offscreen platform unless the caller chose one.
class TQtEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        PreviousHandler = qInstallMessageHandler(QuietHandler);
        FApplication = std::make_unique<Ostrel::TApplication>("test_gui");
    }
    void TearDown() override {
        FApplication.reset();
        qInstallMessageHandler(PreviousHandler);
    }

  private:
    std::unique_ptr<Ostrel::TApplication> FApplication;
};

[[maybe_unused]] testing::Environment* const QtEnvironment =
    testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

std::vector<TShownDialog> CollectDialogs(const std::function<void()>& Action) {
    std::vector<TShownDialog> Shown;
    QTimer Poll;
    Poll.setInterval(5);
    QObject::connect(&Poll, &QTimer::timeout, [&Shown] {
        for (QWidget* Widget : QApplication::topLevelWidgets()) {
            auto* Box = qobject_cast<QMessageBox*>(Widget);
            if (Box == nullptr || !Box->isVisible()) continue;
            const QPoint Offset =
                Box->frameGeometry().center() - Box->screen()->availableGeometry().center();
            Shown.push_back({Box->icon(), Box->windowTitle(), Box->text(), Box->isModal(),
                             Offset.manhattanLength() <= 2});
            QAbstractButton* Ok = Box->button(QMessageBox::Ok);
            if (Ok != nullptr) {
                QTest::mouseClick(Ok, Qt::LeftButton);
            } else {
                ADD_FAILURE() << "message box without an OK button";
                Box->reject();
            }
        }
    });
    Poll.start();
    Action();
    Poll.stop();
    return Shown;
}

TRefusingPort::TRefusingPort() {
    FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FSocket < 0) throw std::runtime_error("socket failed");
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (bind(FSocket, reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        close(FSocket);
        throw std::runtime_error("bind failed");
    }
    FPort = ntohs(Address.sin_port);
}

TRefusingPort::~TRefusingPort() {
    close(FSocket);
}

}  // namespace GuiTest
