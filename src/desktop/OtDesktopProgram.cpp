#include "desktop/OtDesktopProgram.h"

#include "OtPlatform.h"
#include "desktop/UnitTaskList.h"

#include <QApplication>
#include <QIcon>

namespace ot {

int RunOtTodolist(int& argc, char** argv, const std::string& AProgramDir,
                  const std::function<void(TfrmTaskList&)>& AOnCreated) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/otTodolist.png")));
    std::unique_ptr<TOtPlatform> platform = CreateDesktopPlatform();
    TfrmTaskList form(*platform, AProgramDir);
    if (!form.FormCreate())
        return 1;
    form.CreateDialogs();
    if (AOnCreated)
        AOnCreated(form);
    form.show();
    return QApplication::exec();
}

} // namespace ot
