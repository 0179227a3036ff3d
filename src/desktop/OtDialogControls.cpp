#include "desktop/OtDialogControls.h"

#include "desktop/OtLang.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace ot {

QPushButton* NewDialogButton(QWidget* AParent, const char* AName, const char* AKey, int AWidth,
                             int AHeight) {
    auto* b = new QPushButton(AParent);
    b->setObjectName(QLatin1String(AName));
    if (AKey)
        SetLangText(b, QString::fromUtf8(AKey));
    b->setFixedSize(AWidth, AHeight);
    b->setAutoDefault(false);
    return b;
}

QLabel* NewDialogLabel(QWidget* AParent, const char* AName, const char* AKey) {
    auto* l = new QLabel(AParent);
    l->setObjectName(QLatin1String(AName));
    SetLangText(l, QString::fromUtf8(AKey));
    return l;
}

QWidget* NewToolStrip(QWidget* AOwner, QVBoxLayout* ARoot, const char* AName, int AHeight) {
    auto* strip = new QWidget(AOwner);
    strip->setObjectName(QLatin1String(AName));
    strip->setFixedHeight(AHeight);
    ARoot->addWidget(strip);
    return strip;
}

QVBoxLayout* NewDialogRoot(QDialog& ADialog, const char* AName) {
    ADialog.setObjectName(QLatin1String(AName));
    ADialog.resize(320, 480);
    auto* root = new QVBoxLayout(&ADialog);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    return root;
}

} // namespace ot
