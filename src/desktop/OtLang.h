#pragma once
// The translation tables (langApp) and the two ways they are used: control
// texts translated automatically, and LangTranslate for texts set by code.
//
// A control text is made translatable by giving it through SetLangText: the
// English key stays attached to the control, so switching the language
// shows the new table's value for the same key in every open window.

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace ot {
struct TTitleProblem;
}

class QAction;
class QWidget;

namespace ot {

class TLangApp : public QObject {
    Q_OBJECT
public:
    using TTable = QHash<QString, QString>;

    // The tables built into the program ("en", "cn", "tw").
    TLangApp();

    // Parses "key=value" lines (split at the first '='; "\n" in a value is
    // a line break). Lines without '=' are ignored.
    static TTable ParseTable(const QString& AText);
    void SetTable(const QString& ALang, const TTable& ATable);
    QStringList Languages() const;
    const TTable* Table(const QString& ALang) const;

    QString Lang() const { return FLang; }
    // Switches the language and re-translates the control texts of every
    // open window.
    void SetLang(const QString& ALang);

    // The control-text rule: the current table's value, else the key.
    QString Translate(const QString& AKey) const;
    // The explicit lookup: current table, else the "en" table, else the key;
    // an empty value counts as absent.
    QString LangTranslate(const QString& AString) const;

signals:
    void LangChanged();

private:
    std::vector<std::pair<QString, TTable>> FTables;
    QString FLang = "en";
};

// The program's translation component.
TLangApp& LangApp();
QString LangTranslate(const QString& AString);

// Sets a translatable control text (and keeps its key for later switches).
void SetLangText(QWidget* AControl, const QString& AKey);
void SetLangText(QAction* AAction, const QString& AKey);
// Re-applies the current table to every keyed control text below ARoot
// (ARoot included).
void TranslateControls(QWidget* ARoot);

// The message for a refused title, translated first and formatted with its
// limit afterwards.
QString TitleProblemText(const TTitleProblem& AProblem);

} // namespace ot
