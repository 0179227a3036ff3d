#include "common/FileUtil.h"
#include "desktop/OtDesktopProgram.h"

int main(int argc, char** argv) {
    return ot::RunOtTodolist(argc, argv, ot::ExecutableDir());
}
