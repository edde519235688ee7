// Drives the real main window and the real message boxes it opens.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "GuiTestSupport.h"
#include "Nimbra.HttpServer.Context.h"
#include "Nimbra.HttpServer.Dispatcher.h"
#include "Nimbra.InProc.Server.h"
#include "Ostrel.MainForm.h"
#include "TestServer.h"

namespace {

using GuiTest::CollectDialogs;
using GuiTest::TShownDialog;
using Ostrel::Tfrm_OstrelLoginMain;

class MainFormTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { Server = std::make_unique<TestSupport::TTestServer>(); }
    static void TearDownTestSuite() { Server.reset(); }

    void SetUp() override {
        Form = std::make_unique<Tfrm_OstrelLoginMain>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    }

    // Types the URL and clicks a button the way a user does.
    std::vector<TShownDialog> Click(QPushButton* Button, const QString& Url) {
        Form->edt_url->setText(Url);
        return CollectDialogs([&] { QTest::mouseClick(Button, Qt::LeftButton); });
    }
    std::vector<TShownDialog> ClickVantor(const QString& Url) {
        return Click(Form->btn_vantor, Url);
    }
    std::vector<TShownDialog> ClickNimbra(const QString& Url) {
        return Click(Form->btn_nimbra, Url);
    }

    static QString ServerUrl(const char* Path) { return QString::fromStdString(Server->Url(Path)); }

    static inline std::unique_ptr<TestSupport::TTestServer> Server;
    std::unique_ptr<Tfrm_OstrelLoginMain> Form;
};

TEST_F(MainFormTest, ContentAndGeometry) {
    EXPECT_EQ(Form->windowTitle(), "HTTP request");
    EXPECT_EQ(Form->size(), QSize(626, 67));

    EXPECT_EQ(Form->Panel2->parentWidget(), Form.get());
    EXPECT_EQ(Form->Panel2->geometry(), QRect(0, 0, 626, 67));
    EXPECT_TRUE(Form->Panel2->isVisible());

    struct TControl {
        const char* Name;
        QWidget* Widget;
        QRect Geometry;
        QString Caption;
    };
    const TControl Controls[] = {
        {"edt_url", Form->edt_url, QRect(4, 35, 617, 23), {}},
        {"btn_vantor", Form->btn_vantor, QRect(4, 7, 176, 25), "Vantor request - THttpClient"},
        {"btn_nimbra", Form->btn_nimbra, QRect(186, 8, 180, 25), "Orvo (nimbra)"},
    };
    for (const TControl& C : Controls) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(C.Widget->objectName(), C.Name);
        EXPECT_EQ(C.Widget->parentWidget(), Form->Panel2);
        EXPECT_EQ(C.Widget->geometry(), C.Geometry);
        EXPECT_TRUE(C.Widget->isVisible());
        EXPECT_EQ(C.Widget->font().family(), "Segoe UI");
        EXPECT_EQ(C.Widget->font().pixelSize(), 12);
        if (auto* Button = qobject_cast<QPushButton*>(C.Widget)) {
            EXPECT_EQ(Button->text(), C.Caption);
        }
    }

    const QString Url = Form->edt_url->text();
    EXPECT_TRUE(Url.startsWith("https://")) << Url.toStdString();
    EXPECT_TRUE(QUrl(Url).isValid());
    EXPECT_FALSE(QUrl(Url).host().isEmpty());

    // Centred on its screen (to the pixel, allowing for odd sizes).
    const QPoint Centre = Form->frameGeometry().center();
    const QPoint ScreenCentre = Form->screen()->availableGeometry().center();
    EXPECT_LE((Centre - ScreenCentre).manhattanLength(), 2)
        << Centre.x() << "," << Centre.y() << " vs " << ScreenCentre.x() << "," << ScreenCentre.y();
}

TEST_F(MainFormTest, TabMovesFromUrlBoxToFirstThenSecondButton) {
    QApplication::setActiveWindow(Form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    Form->edt_url->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(Form->edt_url->hasFocus());

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Form->btn_vantor);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Form->btn_nimbra);
}

TEST_F(MainFormTest, EmptyUrlBoxShowsNothing) {
    Form->edt_url->clear();
    for (QPushButton* Button : {Form->btn_vantor, Form->btn_nimbra}) {
        SCOPED_TRACE(Button->objectName().toStdString());
        const auto Shown = CollectDialogs([&] { QTest::mouseClick(Button, Qt::LeftButton); });
        EXPECT_TRUE(Shown.empty()) << Shown.front().Text.toStdString();
    }
}

TEST_F(MainFormTest, StatusDecidesTheMessage) {
    struct TCase {
        const char* Name;
        const char* Path;
        const char* Message;
    };
    const TCase Cases[] = {
        {"200", "/status/200", "Request called successfully."},
        {"redirect followed to 200", "/redirect?code=301&to=/status/200",
         "Request called successfully."},
        {"204 is not 200", "/status/204", "Request called unsuccessfully. (204)"},
        {"redirect followed to 500", "/redirect?code=307&to=/status/500",
         "Request called unsuccessfully. (500)"},
        {"302 without Location is not followed", "/redirect-no-location/302",
         "Request called unsuccessfully. (302)"},
        {"300 is not a redirect the client follows", "/redirect?code=300&to=/status/200",
         "Request called unsuccessfully. (300)"},
        {"404", "/status/404", "Request called unsuccessfully. (404)"},
        {"500", "/status/500", "Request called unsuccessfully. (500)"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const auto Shown = ClickVantor(ServerUrl(C.Path));
        ASSERT_EQ(Shown.size(), 1u);
        EXPECT_EQ(Shown[0].Text, C.Message);
        EXPECT_EQ(Shown[0].Icon, QMessageBox::NoIcon);
        EXPECT_EQ(Shown[0].Title, "Ostrel");
        EXPECT_TRUE(Shown[0].Modal);
        EXPECT_TRUE(Shown[0].Centred);
    }
}

TEST_F(MainFormTest, BlanksAreSentAsTheyAreAndEndInTheErrorBox) {
    for (QPushButton* Button : {Form->btn_vantor, Form->btn_nimbra}) {
        SCOPED_TRACE(Button->objectName().toStdString());
        const auto Shown = Click(Button, "   ");
        ASSERT_EQ(Shown.size(), 1u);
        EXPECT_EQ(Shown[0].Icon, QMessageBox::Critical);
        EXPECT_EQ(Shown[0].Title, "Ostrel");
        EXPECT_TRUE(Shown[0].Modal);
        EXPECT_TRUE(Shown[0].Centred);
        EXPECT_FALSE(Shown[0].Text.isEmpty());
        EXPECT_EQ(Form->edt_url->text(), "   ");
    }
}

TEST_F(MainFormTest, RefusedConnectionShowsErrorBoxAndWindowStaysUsable) {
    TestSupport::TRefusingPort Refusing;
    const auto Shown =
        ClickVantor(QStringLiteral("http://127.0.0.1:%1/status/200").arg(Refusing.Port()));
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0].Icon, QMessageBox::Critical);
    EXPECT_TRUE(Shown[0].Text.contains("refused", Qt::CaseInsensitive))
        << Shown[0].Text.toStdString();

    EXPECT_TRUE(Form->isVisible());
    EXPECT_TRUE(Form->isEnabled());
    const auto Again = ClickVantor(ServerUrl("/status/200"));
    ASSERT_EQ(Again.size(), 1u);
    EXPECT_EQ(Again[0].Text, "Request called successfully.");
}

/// An in-process server with one module answering 200 with a short text; unregistered again
/// when the test ends.
class TInProcHello : public Nimbra::THttpServerModule {
  public:
    TInProcHello() : THttpServerModule("/") {}

  protected:
    void ProcessRequest(Nimbra::THttpServerContext& Context) override {
        Context.Response().SetStatusCode(200);
        Context.Response().Close(Runtime::TBytes{'h', 'e', 'l', 'l', 'o'});
    }
};

struct TRegisteredInProcServer {
    explicit TRegisteredInProcServer(const char* AName) : Name(AName) {
        Nimbra::TInProcHttpServer::Get(Name).Dispatcher().AddModule(
            std::make_unique<TInProcHello>());
    }
    ~TRegisteredInProcServer() { Nimbra::TInProcHttpServer::Remove(Name); }
    std::string Name;
};

// The same URL through both stacks, so a difference between them shows in one place. An
// empty Message means the error box, whose text must contain Contains.
TEST_F(MainFormTest, BothStacksSideBySide) {
    TestSupport::TRefusingPort Refusing;
    const TRegisteredInProcServer Hello("hello");
    const QString RefusedUrl =
        QStringLiteral("http://127.0.0.1:%1/status/200").arg(Refusing.Port());

    struct TOutcome {
        const char* Message;   // the message box's text, or null for the error box
        const char* Contains;  // part of the error box's text
    };
    struct TCase {
        const char* Name;
        QString Url;
        TOutcome Vantor;
        TOutcome Nimbra;
    };
    const TCase Cases[] = {
        {"200",
         ServerUrl("/status/200"),
         {"Request called successfully.", nullptr},
         {"Request called successfully.", nullptr}},
        {"204",
         ServerUrl("/status/204"),
         {"Request called unsuccessfully. (204)", nullptr},
         {"Request called unsuccessfully. (204)", nullptr}},
        {"302: Qt follows it, the framework returns it",
         ServerUrl("/redirect?code=302&to=/status/200"),
         {"Request called successfully.", nullptr},
         {"Request called unsuccessfully. (302)", nullptr}},
        {"500",
         ServerUrl("/status/500"),
         {"Request called unsuccessfully. (500)", nullptr},
         {"Request called unsuccessfully. (500)", nullptr}},
        {"refused port",
         RefusedUrl,
         {nullptr, "refused"},
         {nullptr, "Could not perform WinHttp operation.\nError: (12029)"}},
        {"unknown host",
         QStringLiteral("http://name.invalid/"),
         {nullptr, "not found"},
         {nullptr, "Could not perform WinHttp operation.\nError: (12007)"}},
        // The framework sends only http and https: another scheme, or none, never reaches the
        // live server behind it as plain HTTP.
        {"ftp to a live server",
         QStringLiteral("ftp") + ServerUrl("/status/200").mid(4),
         {nullptr, "Protocol \"ftp\" is unknown"},
         {nullptr, "Error: (12006)"}},
        {"no scheme, to a live server",
         ServerUrl("/status/200").mid(7),
         {nullptr, "unknown"},
         {nullptr, "Error: (12006)"}},
        {"local URL without a server",
         QStringLiteral("local://nobody/x"),
         {nullptr, "local"},
         {nullptr, "In-process server \"nobody\" not found"}},
        {"local URL whose server is registered",
         QStringLiteral("LOCAL://Hello/greeting"),
         {nullptr, "local"},
         {"Request called successfully.", nullptr}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::pair<QPushButton*, TOutcome> Sides[] = {{Form->btn_vantor, C.Vantor},
                                                           {Form->btn_nimbra, C.Nimbra}};
        for (const auto& [Button, Expected] : Sides) {
            SCOPED_TRACE(Button->objectName().toStdString());
            const auto Shown = Click(Button, C.Url);
            ASSERT_EQ(Shown.size(), 1u);
            EXPECT_EQ(Shown[0].Title, "Ostrel");
            EXPECT_TRUE(Shown[0].Modal);
            if (Expected.Message != nullptr) {
                EXPECT_EQ(Shown[0].Icon, QMessageBox::NoIcon);
                EXPECT_EQ(Shown[0].Text, Expected.Message);
            } else {
                EXPECT_EQ(Shown[0].Icon, QMessageBox::Critical);
                EXPECT_TRUE(Shown[0].Text.contains(Expected.Contains, Qt::CaseInsensitive))
                    << Shown[0].Text.toStdString();
            }
            // Whatever happened, the window is still there and answers the next click.
            EXPECT_TRUE(Form->isVisible());
            EXPECT_TRUE(Form->isEnabled());
        }
    }
    const auto Again = ClickNimbra(ServerUrl("/status/200"));
    ASSERT_EQ(Again.size(), 1u);
    EXPECT_EQ(Again[0].Text, "Request called successfully.");
}

// Counts the paint events of the window and its controls while it lives.
class TPaintCounter : public QObject {
  public:
    explicit TPaintCounter(QWidget& Window) : FWindow(Window) { qApp->installEventFilter(this); }
    ~TPaintCounter() override { qApp->removeEventFilter(this); }
    int Count() const { return FCount; }

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::Paint && Watched->isWidgetType() &&
            static_cast<QWidget*>(Watched)->window() == &FWindow)
            ++FCount;
        return false;
    }

  private:
    QWidget& FWindow;
    int FCount = 0;
};

// While a request waits on a slow answer the window paints and shows a busy cursor; a click
// on the other button and keys typed into the URL box do nothing; Esc cancels the request,
// which ends in the error box with the stack's own words.
TEST_F(MainFormTest, SlowRequestPaintsIgnoresInputAndEscCancelsIt) {
    struct TCase {
        const char* Name;
        QPushButton* Button;
        QPushButton* Other;
        const char* Says;
    };
    const TCase Cases[] = {
        {"btn_vantor", Form->btn_vantor, Form->btn_nimbra, "Operation canceled"},
        {"btn_nimbra", Form->btn_nimbra, Form->btn_vantor,
         "Could not perform WinHttp operation.\nError: (12017) "},
    };
    // The server answers after 10 s; everything below happens long before.
    const QString Slow = ServerUrl("/delay/10000");
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        struct {
            bool Fired = false;
            bool Painted = false;
            int Cursor = -1;
            QString UrlAfterTyping;
        } During;
        const TPaintCounter Paints(*Form);
        QElapsedTimer Clock;
        Clock.start();
        QTimer::singleShot(50, Form.get(), [&] {
            During.Fired = true;
            const int Before = Paints.Count();
            Form->update();
            During.Painted = QTest::qWaitFor([&] { return Paints.Count() > Before; }, 5000);
            if (const QCursor* Cursor = QApplication::overrideCursor())
                During.Cursor = Cursor->shape();
            QTest::mouseClick(C.Other, Qt::LeftButton);
            QTest::keyClicks(Form->edt_url, "typed");
            QTest::keyClick(Form->edt_url, Qt::Key_Home);
            QTest::keyClick(Form->edt_url, Qt::Key_Delete);
            During.UrlAfterTyping = Form->edt_url->text();
            QTest::keyClick(Form->edt_url, Qt::Key_Escape);
        });
        const auto Shown = Click(C.Button, Slow);
        EXPECT_TRUE(During.Fired);
        EXPECT_LT(Clock.elapsed(), 9000) << "the request was not cancelled";
        EXPECT_TRUE(During.Painted) << "no paint event while the request waited";
        EXPECT_EQ(During.Cursor, Qt::BusyCursor);
        EXPECT_EQ(During.UrlAfterTyping, Slow);
        // One box: the cancelled request's; the other button's click started nothing.
        ASSERT_EQ(Shown.size(), 1u);
        EXPECT_EQ(Shown[0].Icon, QMessageBox::Critical);
        EXPECT_EQ(Shown[0].Title, "Ostrel");
        EXPECT_TRUE(Shown[0].Modal);
        EXPECT_TRUE(Shown[0].Centred);
        // Qt's text alone (a time-out would add to it); WinHTTP's code and what was done.
        if (C.Button == Form->btn_vantor)
            EXPECT_EQ(Shown[0].Text, C.Says);
        else
            EXPECT_TRUE(Shown[0].Text.startsWith(C.Says) &&
                        Shown[0].Text.endsWith("\nThe request was cancelled."))
                << Shown[0].Text.toStdString();
        // Afterwards the window is as before and answers again.
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        const auto Again = Click(C.Button, ServerUrl("/status/200"));
        ASSERT_EQ(Again.size(), 1u);
        EXPECT_EQ(Again[0].Text, "Request called successfully.");
    }
}

// Closing the window while a request waits cancels the request; nothing is shown after, and
// the click is over long before the server would have answered.
TEST_F(MainFormTest, ClosingDuringARequestCancelsIt) {
    // The program ends when its window closes; this application object serves every test.
    QApplication::setQuitOnLastWindowClosed(false);
    const auto Restore = qScopeGuard([] { QApplication::setQuitOnLastWindowClosed(true); });
    for (const char* Name : {"btn_vantor", "btn_nimbra"}) {
        SCOPED_TRACE(Name);
        Form = std::make_unique<Tfrm_OstrelLoginMain>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        QPushButton* Button = Form->findChild<QPushButton*>(Name);
        bool Closed = false;
        QTimer::singleShot(100, Form.get(), [&] { Closed = Form->close(); });
        QElapsedTimer Clock;
        Clock.start();
        const auto Shown = Click(Button, ServerUrl("/delay/20000"));
        EXPECT_LT(Clock.elapsed(), 10000);
        EXPECT_TRUE(Closed);
        EXPECT_FALSE(Form->isVisible());
        EXPECT_TRUE(Shown.empty()) << Shown.front().Text.toStdString();
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
}

// The window shows the image the package installs for the desktop, at both of its sizes.
TEST_F(MainFormTest, WindowHasTheOstrelIcon) {
    const QIcon Icon = Form->windowIcon();
    ASSERT_FALSE(Icon.isNull());
    ASSERT_NE(Form->windowHandle(), nullptr);
    EXPECT_FALSE(Form->windowHandle()->icon().isNull());
    for (int Size : {48, 256}) {
        SCOPED_TRACE(Size);
        const QImage Wanted = QImage(QStringLiteral(OSTREL_DESKTOP_DIR "/ostrel-%1.png").arg(Size))
                                  .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_FALSE(Wanted.isNull());
        // Compared premultiplied, as the pixmap holds it: transparent pixels have no colour.
        EXPECT_EQ(Icon.pixmap(Size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                  Wanted);
    }
}

TEST_F(MainFormTest, ScreenshotIsWritten) {
    const QImage Image = Form->grab().toImage();
    ASSERT_EQ(Image.size(), QSize(626, 67) * Form->devicePixelRatio());
    ASSERT_TRUE(Image.save(OSTREL_SCREENSHOT, "PNG")) << OSTREL_SCREENSHOT;
    QImage Read(OSTREL_SCREENSHOT);
    EXPECT_EQ(Read.size(), Image.size());
}

}  // namespace
