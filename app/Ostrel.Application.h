#pragma once
// The application object: owns the GUI loop, shows the message and error boxes, and turns an
// exception that leaves an event handler into an error box instead of ending the program.

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>

namespace Ostrel {

namespace Detail {
/// Qt keeps references to argc/argv, so they live in a base constructed before QApplication.
struct TProgramArgs {
    explicit TProgramArgs(const char* ProgramName)
        : Argv{const_cast<char*>(ProgramName), nullptr} {}
    int Argc = 1;
    char* Argv[2];
};
}  // namespace Detail

/// QApplication that displays exceptions escaping handlers; the one instance is
/// TApplication::Instance() while it lives.
class TApplication : private Detail::TProgramArgs, public QApplication {
  public:
    /// The program reads no command-line argument, so Qt gets only the program name.
    explicit TApplication(const char* ProgramName);
    ~TApplication() override;

    static TApplication* Instance() { return FInstance; }

    /// Caption of every message and error box.
    static QString Title() { return QStringLiteral("Ostrel"); }

    /// Modal message box with the text and an OK button; returns when the user closes it.
    void ShowMessage(const QString& Text);
    /// Modal error box with the exception's message.
    void HandleException(const std::exception& E);

    /// Runs an event handler; an exception that leaves it is shown in the error box, so no
    /// exception ever unwinds through Qt's own frames.
    void Invoke(const std::function<void()>& Handler);

    bool notify(QObject* Receiver, QEvent* Event) override;

  private:
    void ShowError(const QString& Text);

    static TApplication* FInstance;
};

/// Shows a message box through the application object.
void ShowMessage(const QString& Text);

}  // namespace Ostrel
