#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <memory>

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

}  // namespace GuiTest
