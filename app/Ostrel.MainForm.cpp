#include "Ostrel.MainForm.h"

#include <QApplication>
#include <QEventLoop>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "Nimbra.Http.Client.h"
#include "Ostrel.Application.h"
#include "Ostrel.HttpClient.h"

// Qt registers the resources of a static library only when asked to (and only outside a
// namespace).
static void InitResources() {
    Q_INIT_RESOURCE(ostrel);
}

namespace Ostrel {

namespace {

// Events that come from the user's mouse, keyboard, touch screen or pen.
bool IsUserInput(QEvent::Type Type) {
    switch (Type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::NonClientAreaMouseMove:
        case QEvent::HoverEnter:
        case QEvent::HoverMove:
        case QEvent::HoverLeave:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
        case QEvent::NativeGesture:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::DragLeave:
        case QEvent::Drop:
            return true;
        default:
            return false;
    }
}

// While a request runs: a busy cursor, and the user's input dropped, so that clicks and keys
// do nothing, while the window goes on painting. Esc cancels the request, and so does closing
// the window, which then closes as always. (A loop that excludes user input would hold back
// Esc and the close request as well.)
class TRequestWait : public QObject {
  public:
    TRequestWait(QWidget& Window, std::function<void()> Cancel)
        : FWindow(Window), FCancel(std::move(Cancel)) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        qApp->installEventFilter(this);
    }
    ~TRequestWait() override {
        qApp->removeEventFilter(this);
        QApplication::restoreOverrideCursor();
    }
    TRequestWait(const TRequestWait&) = delete;
    TRequestWait& operator=(const TRequestWait&) = delete;

    /// Runs the request; false when the window was closed meanwhile: the request was
    /// cancelled then, and its outcome is no longer anyone's concern.
    bool Run(const std::function<void()>& Request) {
        try {
            Request();
        } catch (...) {
            if (FWindowClosed) return false;
            throw;
        }
        return !FWindowClosed;
    }

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        const QEvent::Type Type = Event->type();
        if (Type == QEvent::Close && Watched == &FWindow) {
            FWindowClosed = true;
            FCancel();
            return false;
        }
        if ((Type == QEvent::KeyPress || Type == QEvent::KeyRelease) &&
            static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Escape) {
            if (Type == QEvent::KeyPress) FCancel();
            return true;
        }
        return IsUserInput(Type);
    }

  private:
    QWidget& FWindow;
    std::function<void()> FCancel;
    bool FWindowClosed = false;
};

// One GET through Nimbra on a thread of its own, so that the GUI thread goes on painting:
// the client, its engines, the request and the response are made, used and freed there, as
// the click handler would. The GUI thread waits for the outcome and may cancel meanwhile.
class TNimbraGet {
  public:
    explicit TNimbraGet(std::string Url) : FUrl(std::move(Url)), FThread([this] { Run(); }) {}
    ~TNimbraGet() { CancelAndJoin(); }
    TNimbraGet(const TNimbraGet&) = delete;
    TNimbraGet& operator=(const TNimbraGet&) = delete;

    /// Waits in a local event loop until the request has ended, then returns its status code
    /// or raises what it raised.
    int Wait() {
        QEventLoop Loop;
        // The engine installs the request's cancel hook only once it sends: a cancel asked
        // for before then is tried again until it takes or the request ends.
        QTimer Retry;
        QObject::connect(&Retry, &QTimer::timeout, [this] { TryCancel(); });
        Retry.start(20);
        bool Running = false;
        {
            std::lock_guard Lock(FLock);
            Running = !FDone;
            if (Running) FLoop = &Loop;
        }
        if (Running) Loop.exec();
        {
            std::lock_guard Lock(FLock);
            FLoop = nullptr;
        }
        // The loop also ends when the application is told to quit.
        CancelAndJoin();
        if (FError) std::rethrow_exception(FError);
        return FStatus;
    }

    /// Cancels the request through the engine's cancel hook. Any thread.
    void Cancel() {
        {
            std::lock_guard Lock(FLock);
            FCancelWanted = true;
        }
        TryCancel();
    }

  private:
    void Run() {
        try {
            Nimbra::THttpClient Client;
            std::unique_ptr<Nimbra::THttpRequest> Request = Client.CreateRequest();
            Request->SetUri(FUrl);
            Request->SetMethod("GET");
            Publish(Request.get());
            std::unique_ptr<Nimbra::THttpResponse> Response;
            try {
                Response = Client.Send(*Request);
            } catch (...) {
                Publish(nullptr);
                throw;
            }
            // As THttpClient::Get does: the request goes before the status is read, and the
            // response before the client that made it.
            Publish(nullptr);
            Request.reset();
            FStatus = Response->StatusCode();
        } catch (...) {
            FError = std::current_exception();
        }
        std::lock_guard Lock(FLock);
        FDone = true;
        FDoneChanged.notify_all();
        if (FLoop != nullptr)
            QMetaObject::invokeMethod(FLoop, &QEventLoop::quit, Qt::QueuedConnection);
    }

    void Publish(Nimbra::THttpRequest* Request) {
        std::lock_guard Lock(FLock);
        FRequest = Request;
    }

    void TryCancel() {
        std::function<void()> Hook;
        {
            std::lock_guard Lock(FLock);
            if (!FCancelWanted || FRequest == nullptr) return;
            Hook = FRequest->OnCancelRequested();
        }
        // The hook holds what it needs to close the request itself, so it runs safely after
        // the request has ended too.
        if (Hook) Hook();
    }

    void CancelAndJoin() {
        if (!FThread.joinable()) return;
        std::unique_lock Lock(FLock);
        while (!FDone) {
            FCancelWanted = true;
            Lock.unlock();
            TryCancel();
            Lock.lock();
            FDoneChanged.wait_for(Lock, std::chrono::milliseconds(20));
        }
        Lock.unlock();
        FThread.join();
    }

    const std::string FUrl;
    std::mutex FLock;  // guards the members below up to FThread
    std::condition_variable FDoneChanged;
    Nimbra::THttpRequest* FRequest = nullptr;  // while it is being sent
    bool FCancelWanted = false;
    bool FDone = false;
    QEventLoop* FLoop = nullptr;  // the loop Wait runs, told when the request has ended
    // Written by the thread before it reports FDone.
    int FStatus = 0;
    std::exception_ptr FError;
    std::thread FThread;  // last: starts once everything above exists
};

}  // namespace

Tfrm_OstrelLoginMain::Tfrm_OstrelLoginMain(QWidget* Parent) : QWidget(Parent) {
    setObjectName(QStringLiteral("frm_OstrelLoginMain"));
    setWindowTitle(QStringLiteral("HTTP request"));

    // "Segoe UI" is rarely installed outside Windows; fontconfig then picks the closest
    // family. 12 px is the character height without internal leading, i.e. the em size.
    QFont Font(QStringLiteral("Segoe UI"));
    Font.setPixelSize(12);
    Font.setStyleHint(QFont::SansSerif);
    setFont(Font);

    // The form's face is the colour of a button face.
    QPalette Palette = palette();
    Palette.setColor(QPalette::Window, Palette.color(QPalette::Button));
    setPalette(Palette);
    setAutoFillBackground(true);

    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel2->setLineWidth(1);
    Panel2->setGeometry(0, 0, ClientWidth, ClientHeight);

    edt_url = new QLineEdit(Panel2);
    edt_url->setObjectName(QStringLiteral("edt_url"));
    edt_url->setGeometry(4, 35, 617, 23);
    edt_url->setText(QString::fromLatin1(InitialUrl));

    btn_vantor = new QPushButton(QStringLiteral("Vantor request - THttpClient"), Panel2);
    btn_vantor->setObjectName(QStringLiteral("btn_vantor"));
    btn_vantor->setGeometry(4, 7, 176, 25);

    btn_nimbra = new QPushButton(QStringLiteral("Orvo (nimbra)"), Panel2);
    btn_nimbra->setObjectName(QStringLiteral("btn_nimbra"));
    btn_nimbra->setGeometry(186, 8, 180, 25);

    // Buttons take focus from Tab as well as clicks, as on Windows.
    btn_vantor->setFocusPolicy(Qt::StrongFocus);
    btn_nimbra->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(edt_url, btn_vantor);
    setTabOrder(btn_vantor, btn_nimbra);

    QObject::connect(btn_vantor, &QPushButton::clicked, this, [this] {
        TApplication::Instance()->Invoke([this] { btn_vantorClick(btn_vantor); });
    });
    QObject::connect(btn_nimbra, &QPushButton::clicked, this, [this] {
        TApplication::Instance()->Invoke([this] { btn_nimbraClick(btn_nimbra); });
    });

    // The image the desktop entry names, built into the program so that it needs no
    // installed icon theme.
    InitResources();
    QIcon Icon;
    for (const char* Size : {"48", "256"})
        Icon.addFile(QStringLiteral(":/ostrel/ostrel-%1.png").arg(QLatin1String(Size)));
    setWindowIcon(Icon);

    resize(ClientWidth, ClientHeight);
}

void Tfrm_OstrelLoginMain::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    Panel2->setGeometry(rect());  // the panel fills the client area
}

void Tfrm_OstrelLoginMain::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (FCentred) return;
    FCentred = true;
    if (const QScreen* Screen = screen() ? screen() : QGuiApplication::primaryScreen()) {
        QRect Frame = frameGeometry();
        Frame.moveCenter(Screen->availableGeometry().center());
        move(Frame.topLeft());
    }
}

QString RequestOutcomeText(int StatusCode) {
    if (StatusCode == 200) return QStringLiteral("Request called successfully.");
    return QStringLiteral("Request called unsuccessfully. (%1)").arg(StatusCode);
}

void Tfrm_OstrelLoginMain::btn_vantorClick(QObject*) {
    const QString Url = edt_url->text();
    if (Url.isEmpty()) return;
    THTTPClient Client;
    std::shared_ptr<IHTTPResponse> Response;
    {
        TRequestWait Wait(*this, [&Client] { Client.Cancel(); });
        if (!Wait.Run([&] { Response = Client.Get(Url); })) return;
    }
    ShowMessage(RequestOutcomeText(Response->StatusCode()));
}

void Tfrm_OstrelLoginMain::btn_nimbraClick(QObject*) {
    const QString Url = edt_url->text();
    if (Url.isEmpty()) return;
    int Status = 0;
    {
        TNimbraGet Get(Url.toStdString());
        TRequestWait Wait(*this, [&Get] { Get.Cancel(); });
        if (!Wait.Run([&] { Status = Get.Wait(); })) return;
    }
    ShowMessage(RequestOutcomeText(Status));
}

}  // namespace Ostrel
