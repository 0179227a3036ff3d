// The shipped style sheets: they parse, and the row looks that the task
// lists paint from carry the colours of their variant.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QStyle>

#include <gtest/gtest.h>

namespace {

QStringList g_warnings;
void CollectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg) {
        g_warnings << message;
    }
}

QString StylesDir() {
    return QStringLiteral(OT_SOURCE_DIR "/resources/styles");
}

QString ReadStyle(const QString& name) {
    QFile f(StylesDir() + "/" + name);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
    return QString::fromUtf8(f.readAll());
}

// A row painted from its look: the frame carries the look's name, its labels
// the element names.
struct Row {
    QFrame frame;
    QLabel* title;
    QLabel* remarks;

    Row(const QString& look, bool selected) {
        frame.setProperty("StyleLookup", look);
        frame.setProperty("selected", selected ? "true" : "false");
        title = new QLabel("t", &frame);
        title->setObjectName("title");
        remarks = new QLabel("r", &frame);
        remarks->setObjectName("remarks");
        frame.ensurePolished();
        title->ensurePolished();
        remarks->ensurePolished();
    }
    QString TitleColour() const { return title->palette().color(QPalette::WindowText).name(); }
};

TEST(Styles, FileNamesCarryTheirVariant) {
    const QStringList files = QDir(StylesDir()).entryList({"*.Style"}, QDir::Files);
    EXPECT_TRUE(files.contains("Light.1.Style"));
    EXPECT_TRUE(files.contains("Dark.0.Style"));
    for (const QString& f : files) {
        const QString lower = f.toLower();
        EXPECT_NE(lower.contains("1.style"), lower.contains("0.style")) << f.toStdString();
    }
}

TEST(Styles, SheetsParseAndRowsFollowTheirVariant) {
    struct Case {
        const char* file;
        const char* variant;
        bool lightTitle; // variant 0: light titles that turn #242734 when selected
    };
    for (const Case c : {Case{"Light.1.Style", "1", false}, Case{"Dark.0.Style", "0", true}}) {
        SCOPED_TRACE(c.file);
        g_warnings.clear();
        const auto previous = qInstallMessageHandler(CollectWarnings);
        qApp->setStyleSheet(ReadStyle(c.file));
        Row plain(QString("TVTaskItemSimpleNotCompleted") + c.variant, false);
        Row selected(QString("TVTaskItemSimpleNotCompleted") + c.variant, true);
        Row completed(QString("TVTaskItemSimpleCompleted") + c.variant, false);
        Row detail(QString("TVTaskItemDetailWithRemarks") + c.variant, false);
        qInstallMessageHandler(previous);
        EXPECT_TRUE(g_warnings.isEmpty()) << g_warnings.join("\n").toStdString();

        const QColor title(plain.TitleColour());
        if (c.lightTitle) {
            EXPECT_GT(title.lightness(), 160) << plain.TitleColour().toStdString();
            EXPECT_EQ(selected.TitleColour(), "#242734");
        } else {
            EXPECT_EQ(plain.TitleColour(), "#242734");
            EXPECT_EQ(selected.TitleColour(), "#ffffff");
        }
        // Completed titles are grey, remarks a grey that is neither title colour.
        EXPECT_NE(completed.TitleColour(), plain.TitleColour());
        const QColor remarks = detail.remarks->palette().color(QPalette::WindowText);
        EXPECT_NE(remarks.name(), plain.TitleColour());
        EXPECT_LT(std::abs(remarks.red() - remarks.blue()), 40);
        // Detail titles are larger than the simple ones.
        EXPECT_GT(detail.title->font().pixelSize(), plain.title->font().pixelSize());
    }
    qApp->setStyleSheet(QString());
}

} // namespace
