#pragma once
// The shared date-time value as the windows show it: conversions to and from
// Qt's calendar types and the system's short date and time texts.

#include "common/DateTime.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

namespace ot {

QDateTime ToQDateTime(TDateTime dt);
TDateTime FromQDate(const QDate& d);
TDateTime FromQTime(const QTime& t);

// The system's short date text and back (0 when it does not parse).
QString ShortDateText(TDateTime dt);
TDateTime ParseShortDate(const QString& text);
// The system's long time text and back; "hh:mm" parses as well.
QString LongTimeText(TDateTime dt);
TDateTime ParseTimeText(const QString& text);
// Date and time in the system's short format.
QString DateTimeText(TDateTime dt);

} // namespace ot
