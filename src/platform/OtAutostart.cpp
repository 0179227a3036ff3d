#include "platform/OtAutostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace ot {

namespace {
const QString kEntryName = QStringLiteral("org.brenmoor.ottodolist.desktop");
} // namespace

TOtAutostart::TOtAutostart(QString AConfigHome, QString AProgram)
    : FConfigHome(std::move(AConfigHome)), FProgram(std::move(AProgram)) {}

QString TOtAutostart::DefaultConfigHome() {
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative values are to be ignored.
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return home;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString TOtAutostart::EntryFileName() const {
    return FConfigHome + QStringLiteral("/autostart/") + kEntryName;
}

bool TOtAutostart::IsEnabled() const {
    return QFile::exists(EntryFileName());
}

QString TOtAutostart::EntryText() const {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Sarnic Tasks\n"
                          "Exec=%1\n"
                          "Icon=otTodolist\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(DesktopExecQuote(FProgram));
}

bool TOtAutostart::SetEnabled(bool AEnabled) const {
    const QString file = EntryFileName();
    if (!AEnabled)
        return !QFile::exists(file) || QFile::remove(file);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(EntryText().toUtf8());
    return out.commit();
}

QString DesktopExecQuote(const QString& APath) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (const QChar c : APath)
        quote = quote || reserved.contains(c);
    // A literal '%' is written as "%%" in every case.
    QString escaped = QString(APath).replace(QLatin1Char('%'), QLatin1String("%%"));
    if (!quote)
        return escaped;
    QString inner;
    for (const QChar c : escaped) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            inner += QLatin1Char('\\');
        inner += c;
    }
    // The value itself is a string of the key file, where a backslash is
    // written doubled.
    inner.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

} // namespace ot
