// Loading a task tree of 10,000 items in 100 classes (half with remarks)
// with LoadTaskClassList, beside a plain loop that lists the same
// directories and reads every file into memory, in the same run.
//
//   bench_load_tasks [rounds]     (default 7; medians are reported)

#include "BenchTaskTree.h"

#include "common/AppPaths.h"
#include "common/Clock.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ot;
namespace fs = std::filesystem;

namespace {

constexpr int kClasses = bench::kTreeClasses;
constexpr int kItemsPerClass = bench::kTreeItemsPerClass;

long ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

bool ReadFile(const std::string& name, std::string& out) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    ::fstat(fd, &st);
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    while (used < out.size()) {
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n <= 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    out.resize(used);
    ::close(fd);
    return true;
}

// The floor: list the class directories, list each one, read every file.
std::size_t PlainLoop(const std::string& taskDataPath, std::vector<std::string>& contents) {
    contents.clear();
    std::size_t files = 0;
    for (const auto& dir : fs::directory_iterator(taskDataPath)) {
        if (!dir.is_directory())
            continue;
        for (const auto& file : fs::directory_iterator(dir.path())) {
            std::string data;
            if (ReadFile(file.path().string(), data)) {
                contents.push_back(std::move(data));
                ++files;
            }
        }
    }
    return files;
}

std::size_t CountItems(const TOtTaskClassList& list) {
    std::size_t n = 0;
    for (const auto& cls : list)
        n += cls->TaskList().size();
    return n;
}

template <typename F> double Millis(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::string tmpl = (fs::temp_directory_path() / "ot-bench-load-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        return 1;
    const std::string taskDataPath = TAppPaths::FromProgramDir(tmpl).TaskDataPath;
    bench::BuildBenchTree(taskDataPath);
    malloc_trim(0);

    // Memory first, in a process that has loaded nothing yet.
    std::size_t loadedItems = 0;
    long rssGrowth = 0;
    long heapGrowth = 0;
    {
        const long rssBefore = ResidentBytes();
        const std::size_t heapBefore = HeapInUse();
        TOtTaskClassList list;
        TOtTaskUtility::LoadTaskClassList(taskDataPath, list);
        loadedItems = CountItems(list);
        rssGrowth = ResidentBytes() - rssBefore;
        heapGrowth = static_cast<long>(HeapInUse()) - static_cast<long>(heapBefore);
    }

    std::vector<std::string> contents;
    PlainLoop(taskDataPath, contents); // warm the page cache for both
    std::vector<double> plain, load;
    std::size_t plainFiles = 0, items = 0;
    for (int r = 0; r < rounds; ++r) {
        plain.push_back(Millis([&] { plainFiles = PlainLoop(taskDataPath, contents); }));
        contents.clear();
        contents.shrink_to_fit();
        TOtTaskClassList list;
        load.push_back(Millis([&] { TOtTaskUtility::LoadTaskClassList(taskDataPath, list); }));
        items = CountItems(list);
    }

    std::error_code ec;
    fs::remove_all(tmpl, ec);

    if (items != static_cast<std::size_t>(kClasses * kItemsPerClass) || plainFiles != items ||
        loadedItems != items) {
        std::fprintf(stderr, "loaded %zu items, plain loop read %zu files\n", items, plainFiles);
        return 1;
    }
    const double plainMs = Median(plain), loadMs = Median(load);
    std::printf("items                      %zu in %d classes\n", items, kClasses);
    std::printf("plain list + read (median) %.1f ms\n", plainMs);
    std::printf("LoadTaskClassList (median) %.1f ms\n", loadMs);
    std::printf("ratio                      %.2fx (target <= 2x)\n", loadMs / plainMs);
    std::printf("resident memory growth     %.0f bytes per item (target <= 1024)\n",
                static_cast<double>(rssGrowth) / static_cast<double>(loadedItems));
    std::printf("heap in use growth         %.0f bytes per item\n",
                static_cast<double>(heapGrowth) / static_cast<double>(loadedItems));
    return 0;
}
