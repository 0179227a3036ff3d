#include "desktop/UnitTrash.h"

#include "common/DateTime.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace ot {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TfrmTrash::TfrmTrash(QWidget* AParent, const TOtTaskOperations& AOperations,
                     TOtTaskClassList& ALists, std::function<void(const TOtTaskItemPtr&)> AOnRestored)
    : QDialog(AParent), FOperations(AOperations), FLists(ALists),
      FOnRestored(std::move(AOnRestored)) {
    setObjectName(QStringLiteral("frmTrash"));
    auto* layout = new QVBoxLayout(this);
    tvTrash = new QTreeWidget(this);
    tvTrash->setObjectName(QStringLiteral("tvTrash"));
    tvTrash->setColumnCount(3);
    tvTrash->setRootIsDecorated(false);
    tvTrash->setSelectionMode(QAbstractItemView::SingleSelection);
    tvTrash->header()->setStretchLastSection(true);
    // The title takes what the other columns leave, elided with "…".
    tvTrash->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    tvTrash->setTextElideMode(Qt::ElideRight);
    layout->addWidget(tvTrash);
    lblEmpty = new QLabel(this);
    lblEmpty->setObjectName(QStringLiteral("lblEmpty"));
    lblEmpty->setWordWrap(true);
    layout->addWidget(lblEmpty);
    auto* buttons = new QHBoxLayout;
    btnRestore = new QPushButton(this);
    btnRestore->setObjectName(QStringLiteral("btnRestore"));
    btnClose = new QPushButton(this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    buttons->addStretch();
    buttons->addWidget(btnRestore);
    buttons->addWidget(btnClose);
    layout->addLayout(buttons);
    connect(btnRestore, &QPushButton::clicked, this, &TfrmTrash::btnRestoreClick);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(tvTrash, &QTreeWidget::itemSelectionChanged, this,
            [this] { btnRestore->setEnabled(!tvTrash->selectedItems().empty()); });
    resize(320, 360);
    TranslateUI();
    Reload();
}

void TfrmTrash::TranslateUI() {
    setWindowTitle(LangTranslate(QStringLiteral("Recently Deleted")));
    tvTrash->setHeaderLabels({LangTranslate(QStringLiteral("Deleted")),
                              LangTranslate(QStringLiteral("Task Classification")),
                              LangTranslate(QStringLiteral("Task"))});
    lblEmpty->setText(LangTranslate(QStringLiteral("No task was deleted in the last 30 days.")));
    btnRestore->setText(LangTranslate(QStringLiteral("Restore")));
    btnClose->setText(LangTranslate(QStringLiteral("Close")));
}

void TfrmTrash::Reload() {
    FKept = TOtTaskTrash(FOperations.Paths()).List();
    tvTrash->clear();
    for (const auto& t : FKept) {
        auto* row = new QTreeWidgetItem(tvTrash);
        row->setText(0, Q(FormatDateTime("mm-dd hh:nn", t.Deleted)));
        row->setText(1, Q(t.Class->Title()));
        row->setText(2, Q(t.Item->Title()));
    }
    // The list's column takes at most a third of the width; the title the rest.
    tvTrash->resizeColumnToContents(0);
    tvTrash->resizeColumnToContents(1);
    tvTrash->setColumnWidth(1, std::min(tvTrash->columnWidth(1), width() / 3));
    lblEmpty->setVisible(FKept.empty());
    btnRestore->setEnabled(false);
}

void TfrmTrash::btnRestoreClick() {
    const int row = tvTrash->indexOfTopLevelItem(tvTrash->currentItem());
    if (row < 0 || row >= static_cast<int>(FKept.size()))
        return;
    TOtTaskItemPtr restored;
    const TTaskOpResult r =
        FOperations.RestoreTrashedTask(FLists, FKept[static_cast<std::size_t>(row)], &restored);
    if (!r) {
        ShowMessageDialog(LangTranslate(QStringLiteral("The task could not be restored: %s"))
                              .replace(QLatin1String("%s"), Q(r.Message)),
                          mtError, QMessageBox::Ok);
    } else if (FOnRestored) {
        FOnRestored(restored);
    }
    Reload();
}

} // namespace ot
