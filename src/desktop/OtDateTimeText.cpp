#include "desktop/OtDateTimeText.h"

#include <QLocale>

#include <cmath>

namespace ot {

QDateTime ToQDateTime(TDateTime dt) {
    const DateTimeParts p = DecodeDateTime(dt);
    return QDateTime(QDate(p.Year, p.Month, p.Day),
                     QTime(p.Hour, p.Minute, p.Second, p.MilliSecond));
}

TDateTime FromQDate(const QDate& d) {
    return d.isValid() ? EncodeDate(d.year(), d.month(), d.day()) : 0;
}

TDateTime FromQTime(const QTime& t) {
    return t.isValid() ? EncodeTime(t.hour(), t.minute(), t.second()) : 0;
}

QString ShortDateText(TDateTime dt) {
    return QLocale::system().toString(ToQDateTime(dt).date(), QLocale::ShortFormat);
}

TDateTime ParseShortDate(const QString& text) {
    QDate d = QLocale::system().toDate(text, QLocale::ShortFormat);
    // Two-digit years of the short format come back in the 1900s.
    if (d.isValid() && d.year() < 1950 &&
        !QLocale::system().dateFormat(QLocale::ShortFormat).contains(QLatin1String("yyyy")))
        d = d.addYears(100);
    return FromQDate(d);
}

namespace {
// The long time format without its time zone, which a stored time of day
// does not have.
QString LongTimeFormat() {
    QString f = QLocale::system().timeFormat(QLocale::LongFormat);
    f.remove(QLatin1Char('t'));
    return f.trimmed();
}
} // namespace

QString LongTimeText(TDateTime dt) {
    return QLocale::system().toString(ToQDateTime(dt).time(), LongTimeFormat());
}

TDateTime ParseTimeText(const QString& text) {
    QTime t = QLocale::system().toTime(text, LongTimeFormat());
    if (!t.isValid())
        t = QTime::fromString(text, QStringLiteral("hh:mm"));
    if (!t.isValid())
        t = QTime::fromString(text, QStringLiteral("hh:mm:ss"));
    return t.isValid() ? FromQTime(t) : 0;
}

QString DateTimeText(TDateTime dt) {
    return QLocale::system().toString(ToQDateTime(dt), QLocale::ShortFormat);
}

} // namespace ot
