#include "upgrader/UnitProgress.h"

#include "upgrader/OtUpgradeLang.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

namespace ot {

namespace {
QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

TfrmProgress::TfrmProgress(const TUpgradeLang& ALang, QWidget* AParent)
    : QWidget(AParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowStaysOnTopHint),
      FLang(ALang) {
    setObjectName(QStringLiteral("frmProgress"));
    setWindowTitle(Q(FLang.LangTranslate("Progress")));
    setFixedSize(400, 99);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 10);
    layout->setSpacing(6);
    lblTip = new QLabel(this);
    lblTip->setObjectName(QStringLiteral("lblTip"));
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar2 = new QProgressBar(this);
    ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
    for (QProgressBar* bar : {ProgressBar1, ProgressBar2}) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        bar->setFixedHeight(18);
    }
    layout->addWidget(lblTip);
    layout->addWidget(ProgressBar1);
    layout->addWidget(ProgressBar2);
}

void TfrmProgress::showEvent(QShowEvent* AEvent) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        QRect frame = frameGeometry();
        frame.moveCenter(area.center());
        move(frame.topLeft());
    }
    QWidget::showEvent(AEvent);
}

void TfrmProgress::Reset() {
    lblTip->clear();
    ProgressBar1->setValue(0);
    ProgressBar2->setValue(0);
    FTaskIndex = 0;
}

void TfrmProgress::SetATaskProgress(int APosition) {
    ProgressBar1->setValue(APosition);
    if (FTotalTaskCount > 0)
        ProgressBar2->setValue(static_cast<int>(100.0 / FTotalTaskCount * FTaskIndex +
                                                double(APosition) / FTotalTaskCount));
}

void TfrmProgress::SetTotalProgress(int APosition) {
    ProgressBar2->setValue(APosition);
}

void TfrmProgress::SetTipStr(std::int64_t ATotalCount, std::int64_t ACurrentCount, double ASpeed) {
    const auto kb = [](std::int64_t bytes) {
        return QString::number(double(bytes) / 1024, 'f', 1) + QStringLiteral(" KB");
    };
    const QString text = Q(FLang.LangTranslate("Download: %s, Total: %s, Speed: %s"));
    const QStringList parts = text.split(QStringLiteral("%s"));
    const QStringList values = {kb(ACurrentCount), kb(ATotalCount),
                                QString::number(ASpeed, 'f', 2) + QStringLiteral(" KB/s")};
    QString tip = parts.value(0);
    for (int i = 1; i < parts.size(); ++i)
        tip += values.value(i - 1) + parts[i];
    lblTip->setText(tip);
}

void TfrmProgress::SetTipStr(const QString& AStr) {
    lblTip->setText(AStr);
}

} // namespace ot
