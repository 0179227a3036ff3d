#include "desktop/UnitFind.h"

#include "desktop/OtLang.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QVBoxLayout>

namespace ot {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TOtFindPanel::TOtFindPanel(QWidget* AParent) : QFrame(AParent) {
    setObjectName(QStringLiteral("pnlFind"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(4);
    edtFind = new QLineEdit(this);
    edtFind->setObjectName(QStringLiteral("edtFind"));
    edtFind->setClearButtonEnabled(true);
    edtFind->installEventFilter(this);
    layout->addWidget(edtFind);
    lvResults = new QListWidget(this);
    lvResults->setObjectName(QStringLiteral("lvResults"));
    lvResults->setTextElideMode(Qt::ElideRight);
    lvResults->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lvResults->installEventFilter(this);
    layout->addWidget(lvResults, 1);
    lblCount = new QLabel(this);
    lblCount->setObjectName(QStringLiteral("lblCount"));
    layout->addWidget(lblCount);
    connect(edtFind, &QLineEdit::textChanged, this, [this](const QString& t) { Filter(t); });
    connect(lvResults, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* i) { Choose(lvResults->row(i)); });
    // Enter in the field takes the first result.
    connect(edtFind, &QLineEdit::returnPressed, this, [this] { Choose(0); });
    ShowResults(false);
    hide();
}

void TOtFindPanel::Open(const TOtTaskClassList& ALists) {
    FEntries.clear();
    for (const auto& cls : ALists) {
        if (!cls)
            continue;
        for (const auto& item : cls->TaskList())
            FEntries.push_back(
                {item, Q(item->Title()) + QStringLiteral(" — ") + Q(cls->Title()),
                 (Q(item->Title()) + QLatin1Char('\n') + Q(item->Remarks())).toCaseFolded()});
    }
    edtFind->setPlaceholderText(LangTranslate(QStringLiteral("Find in every list")));
    show();
    Filter(edtFind->text());
    edtFind->setFocus();
    edtFind->selectAll();
}

void TOtFindPanel::Close() {
    const bool wasShown = isVisible();
    hide();
    edtFind->clear();
    FEntries.clear();
    FShown.clear();
    lvResults->clear();
    ShowResults(false);
    if (wasShown && OnChanged)
        OnChanged();
}

void TOtFindPanel::ShowResults(bool AShown) {
    lvResults->setVisible(AShown);
    lblCount->setVisible(AShown);
    // With results the panel takes the pages' room; without, only the field's.
    setSizePolicy(QSizePolicy::Preferred, AShown ? QSizePolicy::Expanding : QSizePolicy::Fixed);
    if (AShown == FResultsShown)
        return;
    FResultsShown = AShown;
    if (OnChanged)
        OnChanged();
}

int TOtFindPanel::Filter(const QString& AText) {
    const QString needle = AText.trimmed().toCaseFolded();
    FShown.clear();
    int found = 0;
    if (!needle.isEmpty())
        for (std::size_t k = 0; k < FEntries.size(); ++k)
            if (FEntries[k].Folded.contains(needle)) {
                ++found;
                if (FShown.size() < MaxShown)
                    FShown.push_back(k);
            }
    lvResults->setUpdatesEnabled(false);
    lvResults->clear();
    for (std::size_t k : FShown)
        lvResults->addItem(FEntries[k].Shown);
    lvResults->setUpdatesEnabled(true);
    lblCount->setText(needle.isEmpty() ? QString()
                                       : LangTranslate(QStringLiteral("%d task(s) found"))
                                             .replace(QLatin1String("%d"), QString::number(found)));
    ShowResults(!needle.isEmpty());
    return found;
}

void TOtFindPanel::Choose(int ARow) {
    if (ARow < 0 || ARow >= static_cast<int>(FShown.size()))
        return;
    const TOtTaskItemPtr chosen = FEntries[FShown[static_cast<std::size_t>(ARow)]].Item;
    Close();
    if (OnChosen)
        OnChosen(chosen);
}

bool TOtFindPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape) {
            Close();
            return true;
        }
        // Down from the field goes into the results.
        if (watched == edtFind && key == Qt::Key_Down && lvResults->count() > 0) {
            lvResults->setFocus();
            lvResults->setCurrentRow(0);
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace ot
