#pragma once
// The task tree the benchmarks load and list: 10,000 items in 100 classes,
// half with remarks, a third with due dates, a fifth with alerts.

#include "common/Clock.h"
#include "common/DateTime.h"
#include "tasks/OtTask.h"
#include "tasks/OtTaskUtility.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace ot::bench {

inline constexpr int kTreeClasses = 100;
inline constexpr int kTreeItemsPerClass = 100;

// The remarks of the items that have some, in turn.
inline const std::string kTreeRemarks[] = {
    "Ask about the delivery & the invoice <before Friday>",
    "Line one of a longer note\r\nLine two with more detail about what to bring\r\nThree",
    "Short",
    "Call back: +86 10 1234 5678, extension 42; mention the order number 2016-0305",
};

// Writes the tree below taskDataPath (the files plainly: a benchmark's
// fixture needs no flush).
inline void BuildBenchTree(const std::string& taskDataPath) {
    auto clock = std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 8, 0, 0));
    ScopedClock scoped(clock);
    for (int c = 0; c < kTreeClasses; ++c) {
        clock->AdvanceSeconds(2);
        auto cls = std::make_shared<TOtTaskClass>("List " + std::to_string(c) + " (home/work)");
        std::filesystem::create_directories(taskDataPath + cls->Path());
        for (int i = 0; i < kTreeItemsPerClass; ++i) {
            clock->AdvanceSeconds(2);
            const bool withRemarks = i % 2 == 0;
            TOtTaskItem item("Task " + std::to_string(i) + " of list " + std::to_string(c),
                             withRemarks ? kTreeRemarks[i / 2 % 4] : "", tsNotCompleted,
                             i % 3 == 0 ? EncodeDate(2016, 4, 1 + i % 28) : 0,
                             i % 5 == 0 ? EncodeTime(9, 15) : 0, cls, nullptr);
            item.SetPriority(i % 10);
            std::ofstream out(taskDataPath + item.Path(), std::ios::binary);
            out << TOtTaskUtility::TaskFileContent(item.Remarks());
            if (!out.flush()) {
                std::fprintf(stderr, "cannot write %s\n", item.Path().c_str());
                std::exit(1);
            }
        }
    }
}

} // namespace ot::bench
