#include "Ostrel.Application.h"

#include <QMessageBox>
#include <QScreen>

namespace Ostrel {

namespace {

// Qt places a dialog without parent in the upper part of the screen; ours sit in the middle.
void ExecCentred(QMessageBox& Box) {
    Box.setWindowModality(Qt::ApplicationModal);
    Box.show();
    if (const QScreen* Screen = Box.screen()) {
        QRect Frame = Box.frameGeometry();
        Frame.moveCenter(Screen->availableGeometry().center());
        Box.move(Frame.topLeft());
    }
    Box.exec();
}

}  // namespace

TApplication* TApplication::FInstance = nullptr;

TApplication::TApplication(const char* ProgramName)
    : Detail::TProgramArgs(ProgramName), QApplication(Argc, Argv) {
    FInstance = this;
    // No display name: on X11 Qt would append it to the main window's caption.
    setApplicationName(Title());
}

TApplication::~TApplication() {
    if (FInstance == this) FInstance = nullptr;
}

void TApplication::ShowMessage(const QString& Text) {
    QMessageBox Box(QMessageBox::NoIcon, Title(), Text, QMessageBox::Ok);
    ExecCentred(Box);
}

void TApplication::HandleException(const std::exception& E) {
    // Framework messages break their lines with CR LF; a message box wants LF alone.
    QString Text = QString::fromUtf8(E.what());
    Text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    ShowError(Text);
}

void TApplication::ShowError(const QString& Text) {
    QMessageBox Box(QMessageBox::Critical, Title(), Text, QMessageBox::Ok);
    ExecCentred(Box);
}

void TApplication::Invoke(const std::function<void()>& Handler) {
    try {
        Handler();
    } catch (const std::exception& E) {
        HandleException(E);
    } catch (...) {
        ShowError(QStringLiteral("Unknown exception."));
    }
}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    // Last line of defence for handlers not run through Invoke.
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& E) {
        HandleException(E);
    } catch (...) {
        ShowError(QStringLiteral("Unknown exception."));
    }
    return false;
}

void ShowMessage(const QString& Text) {
    TApplication::Instance()->ShowMessage(Text);
}

}  // namespace Ostrel
