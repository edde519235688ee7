// The application object's error box for exceptions that leave event handlers.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <stdexcept>

#include "GuiTestSupport.h"
#include "Ostrel.Application.h"
#include "Runtime.Exception.h"

namespace {

using GuiTest::CollectDialogs;

// A widget whose own event handler throws, as code not run through Invoke would.
class TThrowingWidget : public QWidget {
  protected:
    void mousePressEvent(QMouseEvent*) override { throw std::runtime_error("from an event"); }
};

TEST(ApplicationTest, ExceptionFromAHandlerShowsItsMessage) {
    QPushButton Button("go");
    int Clicks = 0;
    QObject::connect(&Button, &QPushButton::clicked, [&] {
        ++Clicks;
        Ostrel::TApplication::Instance()->Invoke(
            [] { throw Runtime::EConvertError("'x' is not a valid integer value"); });
    });
    Button.show();

    for (int Round = 1; Round <= 2; ++Round) {
        SCOPED_TRACE(Round);
        const auto Shown = CollectDialogs([&] { QTest::mouseClick(&Button, Qt::LeftButton); });
        ASSERT_EQ(Shown.size(), 1u);
        EXPECT_EQ(Shown[0].Icon, QMessageBox::Critical);
        EXPECT_EQ(Shown[0].Title, "Ostrel");
        EXPECT_EQ(Shown[0].Text, "'x' is not a valid integer value");
        EXPECT_EQ(Clicks, Round);
        EXPECT_FALSE(Button.isDown());
    }
}

TEST(ApplicationTest, ExceptionEscapingAnEventHandlerIsCaughtByNotify) {
    TThrowingWidget Widget;
    Widget.resize(40, 40);
    Widget.show();
    for (int Round = 1; Round <= 2; ++Round) {
        SCOPED_TRACE(Round);
        const auto Shown = CollectDialogs([&] { QTest::mouseClick(&Widget, Qt::LeftButton); });
        ASSERT_EQ(Shown.size(), 1u);
        EXPECT_EQ(Shown[0].Icon, QMessageBox::Critical);
        EXPECT_EQ(Shown[0].Text, "from an event");
    }
}

}  // namespace
