#include "desktop/OtDesktopProgram.h"

#include "OtPlatform.h"
#include "desktop/UnitTaskList.h"

#include <QApplication>

namespace ot {

int RunOtTodolist(int& argc, char** argv, const std::string& AProgramDir,
                  const std::function<void(TfrmTaskList&)>& AOnCreated) {
    QApplication app(argc, argv);
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
