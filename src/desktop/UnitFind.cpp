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

TfrmFind::TfrmFind(QWidget* AParent, const TOtTaskClassList& ALists) : QDialog(AParent) {
    setObjectName(QStringLiteral("frmFind"));
    setWindowTitle(LangTranslate(QStringLiteral("Find")));
    auto* layout = new QVBoxLayout(this);
    edtFind = new QLineEdit(this);
    edtFind->setObjectName(QStringLiteral("edtFind"));
    edtFind->setPlaceholderText(LangTranslate(QStringLiteral("Find in every list")));
    edtFind->setClearButtonEnabled(true);
    layout->addWidget(edtFind);
    lvResults = new QListWidget(this);
    lvResults->setObjectName(QStringLiteral("lvResults"));
    lvResults->setTextElideMode(Qt::ElideRight);
    lvResults->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(lvResults);
    lblCount = new QLabel(this);
    lblCount->setObjectName(QStringLiteral("lblCount"));
    layout->addWidget(lblCount);
    for (const auto& cls : ALists) {
        if (!cls)
            continue;
        for (const auto& item : cls->TaskList())
            FEntries.push_back({item, Q(item->Title()) + QStringLiteral(" — ") + Q(cls->Title()),
                                (Q(item->Title()) + QLatin1Char('\n') + Q(item->Remarks()))
                                    .toCaseFolded()});
    }
    connect(edtFind, &QLineEdit::textChanged, this, [this](const QString& t) { Filter(t); });
    connect(lvResults, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* i) { Choose(lvResults->row(i)); });
    // Enter in the field takes the first result.
    connect(edtFind, &QLineEdit::returnPressed, this, [this] { Choose(0); });
    resize(320, 360);
    Filter(QString());
}

int TfrmFind::Filter(const QString& AText) {
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
    return found;
}

void TfrmFind::Choose(int ARow) {
    if (ARow < 0 || ARow >= static_cast<int>(FShown.size()))
        return;
    FChosen = FEntries[FShown[static_cast<std::size_t>(ARow)]].Item;
    accept();
}

} // namespace ot
