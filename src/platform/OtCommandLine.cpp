#include "platform/OtCommandLine.h"

#include <QFileInfo>

namespace ot {

std::optional<QStringList> SplitCommandLine(const QString& sCommand) {
    QStringList words;
    QString word;
    bool inWord = false;
    enum class Quote { None, Single, Double } quote = Quote::None;

    for (qsizetype i = 0; i < sCommand.size(); ++i) {
        const QChar c = sCommand[i];
        switch (quote) {
        case Quote::Single:
            if (c == u'\'') {
                quote = Quote::None;
            } else {
                word += c;
            }
            continue;
        case Quote::Double:
            if (c == u'"') {
                quote = Quote::None;
            } else if (c == u'\\' && i + 1 < sCommand.size() &&
                       QStringView(u"\\\"$`").contains(sCommand[i + 1])) {
                word += sCommand[++i];
            } else {
                word += c;
            }
            continue;
        case Quote::None:
            break;
        }
        if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inWord) {
                words << word;
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == u'\'') {
            quote = Quote::Single;
        } else if (c == u'"') {
            quote = Quote::Double;
        } else if (c == u'\\') {
            if (i + 1 >= sCommand.size()) {
                return std::nullopt;
            }
            word += sCommand[++i];
        } else {
            word += c;
        }
    }
    if (quote != Quote::None) {
        return std::nullopt;
    }
    if (inWord) {
        words << word;
    }
    return words;
}

QStringList JoinProgramWithBlanks(const QStringList& aWords) {
    if (aWords.isEmpty() || QFileInfo(aWords.front()).isFile()) {
        return aWords;
    }
    QString program = aWords.front();
    for (qsizetype n = 1; n < aWords.size(); ++n) {
        program += u' ' + aWords[n];
        if (QFileInfo(program).isFile()) {
            return QStringList{program} + aWords.mid(n + 1);
        }
    }
    return aWords;
}

} // namespace ot
