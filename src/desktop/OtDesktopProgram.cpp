#include "desktop/OtDesktopProgram.h"

#include "desktop/OtScreenshots.h"
#include "desktop/UnitTaskList.h"
#include "platform/OtPlatform.h"
#include "platform/OtSingleInstance.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

namespace ot {

int RunOtTodolist(int& argc, char** argv, const std::string& AProgramDir,
                  const std::function<void(TfrmTaskList&)>& AOnCreated) {
    return RunOtTodolist(argc, argv, TAppPaths::FromProgramDir(AProgramDir), AOnCreated);
}

int RunOtTodolist(int& argc, char** argv, const TAppPaths& APaths,
                  const std::function<void(TfrmTaskList&)>& AOnCreated) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/otTodolist.png")));
    // The compositor matches the window to the menu entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.brenmoor.ottodolist"));
    // A second start on the same task tree shows the running window instead.
    TOtSingleInstance instance(QString::fromStdString(APaths.DataRoot),
                               TOtSingleInstance::DefaultSocketDir());
    if (!instance.Claim())
        return 0;
    std::unique_ptr<TOtPlatform> platform = CreateDesktopPlatform();
    TfrmTaskList form(*platform, APaths);
    if (!form.FormCreate())
        return 1;
    QObject::connect(&instance, &TOtSingleInstance::activationRequested, &form,
                     &TfrmTaskList::BringToFront);
    form.CreateDialogs();
    if (AOnCreated)
        AOnCreated(form);
    std::vector<TScreenshotRequest> screenshots;
    if (!ParseScreenshotRequests(QApplication::arguments(), screenshots))
        return 2;
    form.show();
    if (!screenshots.empty()) {
        QTimer::singleShot(0, &form,
                           [&] { QApplication::exit(TakeScreenshots(form, screenshots) ? 0 : 1); });
    }
    return QApplication::exec();
}

} // namespace ot
