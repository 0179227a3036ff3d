#pragma once
// Turning a whole command line into a program and its arguments, as a shell
// would split it but without running one.

#include <QString>
#include <QStringList>

#include <optional>

namespace ot {

// Splits at blanks and tabs; single quotes keep everything literally, double
// quotes keep blanks and let a backslash escape \ " $ `, a backslash outside
// quotes takes the next character literally. No expansion of any kind.
// Nothing for an unterminated quote or a trailing backslash.
std::optional<QStringList> SplitCommandLine(const QString& sCommand);

// Callers build command lines by appending to the program directory without
// quoting it, so a directory with blanks splits the program name. When the
// first word names no file, the shortest run of leading words that, joined by
// single blanks, names an existing file becomes the program. Other lists come
// back unchanged.
QStringList JoinProgramWithBlanks(const QStringList& aWords);

} // namespace ot
