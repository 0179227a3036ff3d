#include "desktop/OtLang.h"

#include "repository/OtTaskOperations.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QVariant>
#include <QWidget>

namespace ot {

namespace {
constexpr const char* kLangKey = "otLangKey";
const char* const kBuiltInLanguages[] = {"en", "cn", "tw"};
} // namespace

TLangApp::TLangApp() {
    for (const char* code : kBuiltInLanguages) {
        QFile f(QStringLiteral(":/lang/%1.lang").arg(QLatin1String(code)));
        if (f.open(QIODevice::ReadOnly))
            SetTable(QLatin1String(code), ParseTable(QString::fromUtf8(f.readAll())));
    }
}

TLangApp::TTable TLangApp::ParseTable(const QString& AText) {
    TTable table;
    const QStringList lines = AText.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        QString value = line.mid(eq + 1);
        value.replace(QLatin1String("\\n"), QLatin1String("\n"));
        table.insert(line.left(eq), value);
    }
    return table;
}

void TLangApp::SetTable(const QString& ALang, const TTable& ATable) {
    for (auto& [code, table] : FTables)
        if (code == ALang) {
            table = ATable;
            return;
        }
    FTables.emplace_back(ALang, ATable);
}

QStringList TLangApp::Languages() const {
    QStringList codes;
    for (const auto& entry : FTables)
        codes << entry.first;
    return codes;
}

const TLangApp::TTable* TLangApp::Table(const QString& ALang) const {
    for (const auto& [code, table] : FTables)
        if (code == ALang)
            return &table;
    return nullptr;
}

void TLangApp::SetLang(const QString& ALang) {
    FLang = ALang;
    for (QWidget* w : QApplication::topLevelWidgets())
        TranslateControls(w);
    emit LangChanged();
}

QString TLangApp::Translate(const QString& AKey) const {
    if (const TTable* t = Table(FLang)) {
        const QString v = t->value(AKey);
        if (!v.isEmpty())
            return v;
    }
    return AKey;
}

QString TLangApp::LangTranslate(const QString& AString) const {
    const TTable* t = Table(FLang);
    if (!t)
        t = Table(QStringLiteral("en"));
    if (!t)
        return AString;
    const QString v = t->value(AString);
    return v.isEmpty() ? AString : v;
}

TLangApp& LangApp() {
    static TLangApp* app = new TLangApp; // lives as long as the process
    return *app;
}

QString LangTranslate(const QString& AString) {
    return LangApp().LangTranslate(AString);
}

namespace {
void ApplyText(QObject* o, const QString& text) {
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        b->setText(QString(text).replace(QLatin1Char('&'), QLatin1String("&&"))); // no mnemonics
    else if (auto* l = qobject_cast<QLabel*>(o))
        l->setText(text);
    else if (auto* g = qobject_cast<QGroupBox*>(o))
        g->setTitle(text);
    else if (auto* a = qobject_cast<QAction*>(o))
        a->setText(text);
}

void TranslateObject(QObject* o) {
    const QVariant key = o->property(kLangKey);
    if (key.isValid())
        ApplyText(o, LangApp().Translate(key.toString()));
}
} // namespace

void SetLangText(QWidget* AControl, const QString& AKey) {
    AControl->setProperty(kLangKey, AKey);
    TranslateObject(AControl);
}

void SetLangText(QAction* AAction, const QString& AKey) {
    AAction->setProperty(kLangKey, AKey);
    TranslateObject(AAction);
}

void TranslateControls(QWidget* ARoot) {
    TranslateObject(ARoot);
    for (QObject* o : ARoot->findChildren<QObject*>())
        TranslateObject(o);
}

QString TitleProblemText(const TTitleProblem& AProblem) {
    return LangTranslate(QString::fromStdString(AProblem.Key))
        .replace(QLatin1String("%d"), QString::number(AProblem.Limit));
}

} // namespace ot
