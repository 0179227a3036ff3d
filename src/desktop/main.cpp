#include "common/AppPaths.h"
#include "common/FileUtil.h"
#include "common/Version.h"
#include "desktop/OtDesktopProgram.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const ot::TAppPaths paths = ot::TAppPaths::ForProgram(ot::ExecutableDir());
    // Answered without a display: which version, and whose data it would use.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("otTodolist %s\ndata: %s, %s\n", ot::ProgramVersion(), paths.ModeName(),
                    paths.DataRoot.c_str());
        return 0;
    }
    return ot::RunOtTodolist(argc, argv, paths);
}
