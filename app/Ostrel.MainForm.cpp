#include "Ostrel.MainForm.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "Nimbra.Http.Client.h"
#include "Ostrel.Application.h"
#include "Ostrel.HttpClient.h"

namespace Ostrel {

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
    const std::shared_ptr<IHTTPResponse> Response = Client.Get(Url);
    ShowMessage(RequestOutcomeText(Response->StatusCode()));
}

void Tfrm_OstrelLoginMain::btn_nimbraClick(QObject*) {
    const QString Url = edt_url->text();
    if (Url.isEmpty()) return;
    // The request blocks the GUI thread, so input typed meanwhile waits until it is over.
    // The response goes before the client that made it.
    Nimbra::THttpClient Client;
    const std::unique_ptr<Nimbra::THttpResponse> Response = Client.Get(Url.toStdString());
    ShowMessage(RequestOutcomeText(Response->StatusCode()));
}

}  // namespace Ostrel
