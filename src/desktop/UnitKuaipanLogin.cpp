#include "desktop/UnitKuaipanLogin.h"

#include "cloud/KuaipanHosts.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtDialogControls.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "platform/OtPlatform.h"
#include "sync/OtKuaipanSyncModel.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace ot {

TfrmKuaipanLogin::TfrmKuaipanLogin(TOtAppCore& AAppCore, TOtPlatform& APlatform, QWidget* AParent)
    : QDialog(AParent), FAppCore(AAppCore), FPlatform(APlatform) {
    QVBoxLayout* root = NewDialogRoot(*this, "frmKuaipanLogin");
    ToolBar1 = NewToolStrip(this, root, "ToolBar1", 41);
    btnClose = NewDialogButton(ToolBar1, "btnClose", "Close", 80, 22);
    btnClose->move(8, 8);
    btnLoginAuth = NewDialogButton(ToolBar1, "btnLoginAuth", "Login & Auth", 80, 22);
    btnLoginAuth->move(232, 8);

    auto* form = new QWidget(this);
    form->setObjectName(QStringLiteral("Layout3"));
    auto* box = new QVBoxLayout(form);
    box->setContentsMargins(8, 5, 8, 5);
    lblKuaipanAccount = NewDialogLabel(form, "lblKuaipanAccount", "Kuaipan Account");
    lblKuaipanAccount->setProperty("StyleLookup", QStringLiteral("TitleStyle1"));
    box->addWidget(lblKuaipanAccount);
    auto row = [&](QLabel*& label, const char* labelName, const char* key, QLineEdit*& edit,
                   const char* editName) {
        auto* line = new QHBoxLayout;
        label = NewDialogLabel(form, labelName, key);
        label->setFixedWidth(81);
        edit = new QLineEdit(form);
        edit->setObjectName(QLatin1String(editName));
        edit->setFixedSize(208, 24);
        line->addWidget(label);
        line->addWidget(edit);
        line->addStretch();
        box->addLayout(line);
    };
    row(lblUsername, "lblUsername", "Username", edtUsername, "edtUsername");
    row(lblUserpwd, "lblUserpwd", "Password", edtUserpwd, "edtUserpwd");
    edtUserpwd->setEchoMode(QLineEdit::Password);
    auto* status = new QHBoxLayout;
    AniIndicator1 = new TOtActivityIndicator(form);
    AniIndicator1->setObjectName(QStringLiteral("AniIndicator1"));
    AniIndicator1->setFixedSize(18, 18);
    AniIndicator1->setTextVisible(false);
    lblMessage = new QLabel(form);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setWordWrap(true);
    status->addWidget(AniIndicator1);
    status->addWidget(lblMessage, 1);
    box->addLayout(status);
    root->addWidget(form);

    auto* registerRow = new QWidget(this);
    registerRow->setObjectName(QStringLiteral("Layout7"));
    registerRow->setFixedHeight(24);
    btnRegisterKuaipanAccount = NewDialogButton(registerRow, "btnRegisterKuaipanAccount",
                                                "Register Kuaipan Account", 152, 22);
    btnRegisterKuaipanAccount->move(160, 0);
    root->addWidget(registerRow);
    root->addStretch(1);

    connect(&LangApp(), &TLangApp::LangChanged, this, &TfrmKuaipanLogin::PlaceButtons);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnLoginAuth, &QPushButton::clicked, this, &TfrmKuaipanLogin::btnLoginAuthClick);
    connect(btnRegisterKuaipanAccount, &QPushButton::clicked, this,
            &TfrmKuaipanLogin::btnRegisterKuaipanAccountClick);
    FormCreate();
}

TfrmKuaipanLogin::~TfrmKuaipanLogin() {
    AbandonLogin();
}

void TfrmKuaipanLogin::FormCreate() {
    setWindowTitle(LangTranslate(QStringLiteral("Kuaipan Account")));
    lblMessage->clear();
    AniIndicator1->setVisible(false);
    PlaceButtons();
}

void TfrmKuaipanLogin::PlaceButtons() {
    // Right-aligned, and widened where a language's text needs more room.
    for (auto [button, width] :
         {std::pair{btnLoginAuth, 80}, std::pair{btnRegisterKuaipanAccount, 152}}) {
        const int w = std::max(width, button->sizeHint().width());
        button->setFixedWidth(w);
        button->move(312 - w, button->y());
    }
}

void TfrmKuaipanLogin::ShowLoginMessage(const QString& AText) {
    lblMessage->setText(AText);
}

void TfrmKuaipanLogin::btnLoginAuthClick() {
    // One login at a time, in this window and in the program.
    if (IsLogining() || FAppCore.IsLoginRunning())
        return;
    if (edtUsername->text().trimmed().isEmpty()) {
        ShowMessageDialog(QStringLiteral("Username cannot be empty!"), mtWarning, QMessageBox::Ok);
        edtUsername->setFocus();
        return;
    }
    if (edtUserpwd->text().trimmed().isEmpty()) {
        ShowMessageDialog(QStringLiteral("Password cannot be empty!"), mtWarning, QMessageBox::Ok);
        edtUserpwd->setFocus();
        return;
    }
    AniIndicator1->setRange(0, 0); // running
    AniIndicator1->setVisible(true);
    ShowLoginMessage(LangTranslate(QStringLiteral("Logining, please wait ...")));

    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    QPointer<TfrmKuaipanLogin> self(this);
    const bool started = FAppCore.StartKuaipanLogin(
        edtUsername->text().toStdString(), edtUserpwd->text().toStdString(), cancelled,
        [self, cancelled](const TKuaipanLoginResult& AResult) {
            // Back on the window's thread; a window closed meanwhile (or gone)
            // hears nothing.
            QMetaObject::invokeMethod(
                qApp,
                [self, cancelled, AResult] {
                    if (self && !*cancelled && self->FCancelled == cancelled)
                        self->LoginFinished(AResult);
                },
                Qt::QueuedConnection);
        });
    if (started) {
        FCancelled = cancelled;
    } else {
        AniIndicator1->setVisible(false);
        ShowLoginMessage(LangTranslate(QStringLiteral("Login failed!")));
    }
}

void TfrmKuaipanLogin::LoginFinished(const TKuaipanLoginResult& AResult) {
    FCancelled.reset();
    AniIndicator1->setRange(0, 1); // stopped, still visible
    const QString text = QString::fromStdString(AResult.Text);
    switch (AResult.Kind) {
    case TKuaipanLoginResult::lrSuccess:
        ShowLoginMessage(LangTranslate(QStringLiteral("Authorized success!")));
        accept();
        return;
    case TKuaipanLoginResult::lrVerifierFailed:
        // The translation tables carry this key with its trailing blank.
        ShowLoginMessage(LangTranslate(QStringLiteral("Authorization failed! Verifier: ")) + text);
        return;
    case TKuaipanLoginResult::lrAuthoriseFailed:
        ShowLoginMessage(LangTranslate(QStringLiteral("Authorization failed:")) + text);
        return;
    case TKuaipanLoginResult::lrClockSkew:
        ShowLoginMessage(LangTranslate(QString::fromUtf8(ClockSkewStatus)));
        return;
    case TKuaipanLoginResult::lrNoAuthorizeURL:
    case TKuaipanLoginResult::lrCancelled:
        ShowLoginMessage(LangTranslate(QStringLiteral("Login failed!")));
        return;
    }
}

void TfrmKuaipanLogin::AbandonLogin() {
    if (FCancelled) {
        *FCancelled = true;
        FCancelled.reset();
    }
}

void TfrmKuaipanLogin::done(int r) {
    // Closing ends this window's interest in a login still running.
    if (r != QDialog::Accepted)
        AbandonLogin();
    QDialog::done(r);
}

void TfrmKuaipanLogin::btnRegisterKuaipanAccountClick() {
    const TKuaipanHosts& hosts = FAppCore.KuaipanHosts();
    FPlatform.Open(QStringLiteral("http://") +
                   QString::fromStdString(hosts.HostOf(hosts.Site, false)) + QStringLiteral("/"));
}

} // namespace ot
