#include "desktop/UnitManageTaskClass.h"

#include "repository/OtTaskOperations.h"

#include "app/AppContext.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtDialogControls.h"
#include "desktop/OtLang.h"
#include "desktop/OtManageTaskClassGUIUtility.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitTaskList.h"
#include "tasks/OtTaskUtility.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace ot {

namespace {
QToolButton* NewFlatButton(QWidget* AParent, const char* AName, const QString& AGlyph, int x,
                           int y) {
    auto* b = new QToolButton(AParent);
    b->setObjectName(QLatin1String(AName));
    b->setAutoRaise(true);
    b->setText(AGlyph);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setGeometry(x, y, 20, 20);
    return b;
}
} // namespace

TfrmManageTaskClass::TfrmManageTaskClass(TfrmTaskList& AMainForm)
    : QDialog(&AMainForm), FMainForm(AMainForm) {
    setWindowFlag(Qt::Window);
    QVBoxLayout* root = NewDialogRoot(*this, "frmManageTaskClass");
    ToolBar1 = NewToolStrip(this, root, "ToolBar1", 40);
    edtTaskClassName = new QLineEdit(ToolBar1);
    edtTaskClassName->setObjectName(QStringLiteral("edtTaskClassName"));
    edtTaskClassName->setGeometry(8, 8, 273, 22);
    edtTaskClassName->setTextMargins(0, 0, 24, 0);
    edtTaskClassName->installEventFilter(this);
    btnAddTaskClass = NewFlatButton(ToolBar1, "btnAddTaskClass", QStringLiteral("+"), 258, 9);
    btnDelTaskClass = NewFlatButton(ToolBar1, "btnDelTaskClass", QStringLiteral("\u2212"), 288, 9);
    lbTaskClass = new QListWidget(this);
    lbTaskClass->setObjectName(QStringLiteral("lbTaskClass"));
    lbTaskClass->setUniformItemSizes(true);
    root->addWidget(lbTaskClass, 1);

    connect(btnAddTaskClass, &QToolButton::clicked, this,
            &TfrmManageTaskClass::btnAddTaskClassClick);
    connect(btnDelTaskClass, &QToolButton::clicked, this,
            &TfrmManageTaskClass::btnDelTaskClassClick);
    connect(lbTaskClass, &QListWidget::itemDoubleClicked, this,
            &TfrmManageTaskClass::lbTaskClassDblClick);
    connect(lbTaskClass, &QListWidget::currentRowChanged, this,
            [this] { SetTaskClassEntrySelected(lbTaskClass); });
    FormCreate();
}

TfrmManageTaskClass::~TfrmManageTaskClass() {
    FormDestroy();
}

void TfrmManageTaskClass::FormCreate() {
    setWindowTitle(LangTranslate(QStringLiteral("Management Task Classification")));
    FManageTaskClassGUI = std::make_unique<TOtManageTaskClassGUI>(
        lbTaskClass, FMainForm.TaskClassList(), *FMainForm.TaskClassGUI(), FMainForm.AppCore());
    FManageTaskClassGUI->Load();
}

void TfrmManageTaskClass::FormDestroy() {
    FManageTaskClassGUI.reset();
}

void TfrmManageTaskClass::Warn(const QString& AText) {
    ShowMessageDialog(AText, mtWarning, QMessageBox::Ok);
    edtTaskClassName->setFocus();
}

void TfrmManageTaskClass::btnAddTaskClassClick() {
    const QString title = edtTaskClassName->text();
    if (const TTitleProblem problem = CheckTaskClassTitle(title.toStdString())) {
        Warn(TitleProblemText(problem));
        return;
    }
    if (FManageTaskClassGUI->DoAddTaskClass(title))
        edtTaskClassName->clear();
}

void TfrmManageTaskClass::btnDelTaskClassClick() {
    FManageTaskClassGUI->DoDeleteTaskClass();
}

void TfrmManageTaskClass::lbTaskClassDblClick() {
    const int k = lbTaskClass->currentRow();
    if (k < 0)
        return;
    FMainForm.TaskClassGUI()->SetTaskClassIndex(k);
    FMainForm.LoadTaskList();
    FMainForm.SetMoveButtons();
    accept();
}

void TfrmManageTaskClass::edtTaskClassNameKeyDown(int Key, Qt::KeyboardModifiers) {
    if (Key == 13)
        btnAddTaskClassClick();
}

bool TfrmManageTaskClass::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edtTaskClassName && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            edtTaskClassNameKeyDown(13, key->modifiers());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ExecManageTaskClass(TfrmTaskList& AMainForm) {
    TfrmManageTaskClass manager(AMainForm);
    manager.move(MainFormPosSize.Left, MainFormPosSize.Top);
    ExecModal(manager);
}

} // namespace ot
