// Ostrel: one window, a URL box and two buttons, each sending a GET through its own stack.

#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "Ostrel.Application.h"
#include "Ostrel.MainForm.h"

namespace {

const char* NeedsDisplay =
    "ostrel: the window needs a display (DISPLAY or WAYLAND_DISPLAY); ostrel-cli URL works "
    "without one";

bool HasValue(const char* Name) {
    const char* Value = std::getenv(Name);
    return Value != nullptr && *Value != '\0';
}

// While the platform starts, Qt's messages are held back: if it cannot open the display it
// ends with a fatal message and several lines about plugins, which say less than one line.
QStringList StartupMessages;
QtMessageHandler DefaultHandler = nullptr;

void StartupHandler(QtMsgType Type, const QMessageLogContext&, const QString& Text) {
    if (Type == QtFatalMsg) {
        const char* Display = std::getenv("DISPLAY");
        std::fprintf(stderr, "%s; could not open %s\n", NeedsDisplay,
                     HasValue("DISPLAY") ? Display : "the display");
        std::_Exit(1);
    }
    StartupMessages << Text;
}

}  // namespace

int main(int, char** argv) {
    if (!HasValue("DISPLAY") && !HasValue("WAYLAND_DISPLAY") && !HasValue("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "%s\n", NeedsDisplay);
        return 1;
    }
    DefaultHandler = qInstallMessageHandler(StartupHandler);
    Ostrel::TApplication Application(argv[0]);
    // The name of the installed desktop entry: desktops take the window's icon from it.
    Application.setDesktopFileName("ostrel");
    qInstallMessageHandler(DefaultHandler);
    for (const QString& Text : StartupMessages) qWarning("%s", qUtf8Printable(Text));

    Ostrel::Tfrm_OstrelLoginMain frm_OstrelLoginMain;
    frm_OstrelLoginMain.show();
    return Application.exec();
}
