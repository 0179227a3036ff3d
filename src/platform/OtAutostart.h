#pragma once
// Start at login: an XDG autostart entry for the program in
// $XDG_CONFIG_HOME/autostart (~/.config/autostart), which desktops run when
// the user logs in.

#include <QString>

namespace ot {

class TOtAutostart {
public:
    // AConfigHome: the user's configuration directory; AProgram: the
    // executable the entry starts.
    TOtAutostart(QString AConfigHome, QString AProgram);

    // $XDG_CONFIG_HOME, or ~/.config when it is unset or not absolute.
    static QString DefaultConfigHome();

    QString EntryFileName() const;
    bool IsEnabled() const;
    // Writes or removes the entry; false when that failed.
    bool SetEnabled(bool AEnabled) const;
    // The entry's text.
    QString EntryText() const;

private:
    QString FConfigHome;
    QString FProgram;
};

// A program path as a desktop entry's Exec wants it: quoted, with the
// characters that need it escaped, when it holds any reserved character.
QString DesktopExecQuote(const QString& APath);

} // namespace ot
