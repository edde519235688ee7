#pragma once
// The main window: a URL box and one button per HTTP stack.

#include <QWidget>

class QFrame;
class QLineEdit;
class QPushButton;

namespace Ostrel {

/// The application's main window. Every click reads the URL box anew and keeps nothing.
class Tfrm_OstrelLoginMain : public QWidget {
  public:
    explicit Tfrm_OstrelLoginMain(QWidget* Parent = nullptr);

    QFrame* Panel2;
    QLineEdit* edt_url;
    QPushButton* btn_vantor;
    QPushButton* btn_nimbra;

    /// GET through Qt's own HTTP client; reports whether the answer was 200.
    void btn_vantorClick(QObject* Sender);
    /// GET through the framework's client, on a thread of its own; reports whether the
    /// answer was 200.
    void btn_nimbraClick(QObject* Sender);
    // While either request runs, the window paints and shows a busy cursor but ignores
    // clicks and keys; Esc cancels the request (its error box follows), and so does closing
    // the window (nothing follows).

    static constexpr int ClientWidth = 626;
    static constexpr int ClientHeight = 67;
    static constexpr const char* InitialUrl = "https://example.com/";

  protected:
    void resizeEvent(QResizeEvent* Event) override;
    void showEvent(QShowEvent* Event) override;

  private:
    bool FCentred = false;
};

/// Text shown for a finished request: only 200 counts as success.
QString RequestOutcomeText(int StatusCode);

}  // namespace Ostrel
