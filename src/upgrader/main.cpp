// otUpgrade: looks for newer versions of the programs in its directory on the
// maker's update server and installs them.
//
// otUpgrade [-L:lang] [-App:name] [-Auth:type] [-Silence]
//           [--screenshot VIEW=FILE ...]   VIEW: upgrade, progress

#include "common/FileUtil.h"
#include "common/Version.h"
#include "upgrader/OtUpgradePublicKey.h"
#include "upgrader/UnitProgress.h"
#include "upgrader/UnitUpgrade.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

// Saves the requested pictures once the window is up; the progress window is
// shown as it looks half-way through the first of the offered downloads.
int TakeScreenshots(ot::TfrmUpgrade& AForm,
                    const std::vector<std::pair<std::string, std::string>>& AViews) {
    int status = 0;
    for (const auto& [view, file] : AViews) {
        QWidget* widget = nullptr;
        if (view == "upgrade") {
            widget = &AForm;
        } else if (view == "progress") {
            ot::TfrmProgress& progress = AForm.Progress();
            progress.SetTotalTaskCount(
                static_cast<int>(std::max<std::size_t>(1, AForm.AppList().size())));
            progress.SetTaskIndex(0);
            progress.show();
            progress.SetATaskProgress(40);
            progress.SetTipStr(1572864, 629146, 312.5);
            widget = &progress;
        }
        QApplication::processEvents();
        if (!widget || !widget->grab().save(QString::fromStdString(file), "PNG")) {
            std::fprintf(stderr, "otUpgrade: cannot take %s into %s\n", view.c_str(), file.c_str());
            status = 1;
        }
        AForm.Progress().hide();
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("otUpgrade %s\n", ot::ProgramVersion());
        return 0;
    }
    QApplication app(argc, argv);
    ot::TUpgradeStart start;
    start.AppPath = ot::ExecutableDir();
    for (int i = 1; i < argc; ++i)
        start.Args.emplace_back(argv[i]);
    start.PublicKey = std::string(ot::BuiltInUpgradePublicKey());
    ot::TfrmUpgrade form(std::move(start));
    if (!form.FormCreate())
        return 0;
    form.show();
    if (!form.Args().Screenshots.empty()) {
        int status = 0;
        QTimer::singleShot(300, [&] {
            status = TakeScreenshots(form, form.Args().Screenshots);
            form.close();
        });
        app.exec();
        return status;
    }
    return app.exec();
}
