#include "desktop/OtDialogControls.h"

#include "desktop/OtLang.h"

#include <QDialog>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QTimerEvent>

#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

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

TOtElidedLabel::TOtElidedLabel(Qt::TextElideMode AMode, QWidget* AParent)
    : QLabel(AParent), FMode(AMode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QSize TOtElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

QSize TOtElidedLabel::sizeHint() const {
    return {0, QLabel::sizeHint().height()};
}

void TOtElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QString shown = fontMetrics().elidedText(text(), FMode, area.width());
    setToolTip(shown == text() ? QString() : text());
    style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                          shown, foregroundRole());
}

namespace {
constexpr int kDots = 8;
constexpr int kStepMs = 90;
} // namespace

TOtActivityIndicator::TOtActivityIndicator(QWidget* AParent) : QProgressBar(AParent) {
    setTextVisible(false);
}

void TOtActivityIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const bool busy = minimum() == 0 && maximum() == 0;
    const QRectF area = QRectF(rect()).adjusted(1, 1, -1, -1);
    const double side = std::min(area.width(), area.height());
    const double dot = side / 5.0;
    const double radius = side / 2.0 - dot / 2.0;
    QColor color = palette().color(QPalette::WindowText);
    painter.translate(area.center());
    for (int i = 0; i < kDots; ++i) {
        // The leading dot is the strongest; the others trail off behind it.
        const int age = (FStep - i + kDots) % kDots;
        color.setAlphaF(busy ? 1.0 - age * 0.11 : 0.25);
        painter.setBrush(color);
        painter.save();
        painter.rotate(360.0 * i / kDots);
        painter.drawEllipse(QPointF(0, -radius), dot / 2.0, dot / 2.0);
        painter.restore();
    }
}

void TOtActivityIndicator::showEvent(QShowEvent* AEvent) {
    QProgressBar::showEvent(AEvent);
    FTimer.start(kStepMs, this);
}

void TOtActivityIndicator::hideEvent(QHideEvent* AEvent) {
    FTimer.stop();
    QProgressBar::hideEvent(AEvent);
}

void TOtActivityIndicator::timerEvent(QTimerEvent* AEvent) {
    if (AEvent->timerId() != FTimer.timerId()) {
        QProgressBar::timerEvent(AEvent);
        return;
    }
    if (minimum() == 0 && maximum() == 0) {
        FStep = (FStep + 1) % kDots;
        update();
    }
}

} // namespace ot
