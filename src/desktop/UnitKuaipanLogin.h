#pragma once
// TfrmKuaipanLogin: binds a Kuaipan account. It takes the user name and
// password, runs the binding (authorise-page address, web login, token
// exchange) and shows its progress and outcome in a status line; it closes
// with OK once a token is stored.
//
// The network steps run on a worker thread (TOtAppCore::StartKuaipanLogin)
// so the window keeps drawing; the outcome comes back through the event
// loop. Only one login runs at a time, and a window that was closed in the
// meantime never receives the outcome (no token is exchanged after it
// closed).

#include "sync/OtKuaipanAccountBinding.h"

#include <QDialog>

#include <atomic>
#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace ot {

class TOtAppCore;
class TOtPlatform;

class TfrmKuaipanLogin : public QDialog {
    Q_OBJECT
public:
    TfrmKuaipanLogin(TOtAppCore& AAppCore, TOtPlatform& APlatform, QWidget* AParent = nullptr);
    ~TfrmKuaipanLogin() override;

    void FormCreate();
    void btnLoginAuthClick();
    void btnRegisterKuaipanAccountClick();
    // A login of this window is under way.
    bool IsLogining() const { return FCancelled != nullptr; }

    QWidget* ToolBar1;
    QPushButton* btnClose;
    QPushButton* btnLoginAuth;
    QLabel* lblKuaipanAccount;
    QLabel* lblUsername;
    QLineEdit* edtUsername;
    QLabel* lblUserpwd;
    QLineEdit* edtUserpwd;
    QProgressBar* AniIndicator1;
    QLabel* lblMessage;
    QPushButton* btnRegisterKuaipanAccount;

public slots:
    void done(int r) override;

private:
    void PlaceButtons();
    void ShowLoginMessage(const QString& AText);
    void LoginFinished(const TKuaipanLoginResult& AResult);
    // Drops the login under way: it stops before exchanging a token and its
    // outcome is not shown.
    void AbandonLogin();

    TOtAppCore& FAppCore;
    TOtPlatform& FPlatform;
    std::shared_ptr<std::atomic<bool>> FCancelled;
};

} // namespace ot
