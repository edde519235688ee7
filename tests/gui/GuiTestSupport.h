#pragma once
// Shared pieces of the GUI tests: the application object on the offscreen platform, a
// collector for the message boxes an action opens, and a port that refuses connections.

#include <QMessageBox>
#include <QString>
#include <functional>
#include <vector>

namespace GuiTest {

/// What a message box showed before the collector closed it with OK.
struct TShownDialog {
    QMessageBox::Icon Icon;
    QString Title;
    QString Text;
    bool Modal;
    bool Centred;  // on its screen, to within a pixel or two
};

/// Runs Action; every message box that opens meanwhile is read and closed by clicking OK.
std::vector<TShownDialog> CollectDialogs(const std::function<void()>& Action);

}  // namespace GuiTest

#include <ostream>

/// Lets GoogleTest print QString values in failure messages.
inline void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}
