#pragma once
// Runs ottodo against a temporary program directory that holds a fresh queue
// database, and reads back what it left: the files below the task data
// directory and the queue rows. Run goes through the program's own entry
// point inside the test process (fast, and the test's clock applies); Spawn
// starts the built executable.

#include "syncqueue/OtSyncQueueDBModel.h"

#include <map>
#include <string>
#include <vector>

namespace ot::clitest {

struct TRunResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

// Runs program with args, feeding input to its standard input.
TRunResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input = "");

// A program directory in the temporary directory ($TMPDIR, else /tmp) with
// userdata/1/otTodolist.db, removed at the end.
class TProgramDir {
public:
    explicit TProgramDir(bool withDatabase = true);
    ~TProgramDir();
    TProgramDir(const TProgramDir&) = delete;
    TProgramDir& operator=(const TProgramDir&) = delete;

    const std::string& Path() const { return FPath; }
    std::string TaskData() const { return FPath + "/userdata/1/taskdata/"; }
    std::string Database() const { return FPath + "/userdata/1/otTodolist.db"; }

    // ottodo --dir <this directory> args..., inside this process.
    TRunResult Run(const std::vector<std::string>& args, const std::string& input = "") const;
    // The same as a child process running the built executable.
    TRunResult Spawn(const std::vector<std::string>& args, const std::string& input = "") const;
    // The same, expecting exit status 0; answers standard output without the
    // final line break.
    std::string RunOk(const std::vector<std::string>& args) const;

    // Every file and directory below the task data directory, relative to it
    // ("dir/" for a directory), mapped to the file's content.
    std::map<std::string, std::string> Tree() const;
    // Every queue row, by ID.
    std::map<std::string, TOtSyncQueueDB> Rows() const;
    // Marks an object as present in the cloud, as a synchronization pass does.
    void SetCloudFileID(const std::string& id, const std::string& fileId) const;

private:
    std::string FPath;
};

std::string OttodoPath();

} // namespace ot::clitest
