// The translation tables as the program reads them: one key=value per line,
// split at the first '=', keys case-sensitive.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// Every English text the windows translate, in the order the tables keep.
const std::vector<std::string> kKeys = {
    "OK",
    "Cancel",
    "Kuaipan Cloud Synchronization",
    "btnKuaipanAccount",
    "Open Kuaipan Synchronization",
    "Synchronous time interval",
    "Show the log form when synchronizing",
    "Login & Auth",
    "Close",
    "Username",
    "Password",
    "lblMessage",
    "Kuaipan Account",
    "Delete",
    "Completed",
    "Remarks",
    "Expiration Date & Alert Time ",
    "btnExpirationDate",
    "btnAlertTime",
    "Priority",
    "Task Classification",
    "Language",
    "_LangTitle",
    "Create DateTime",
    "Create default task list failed! The application will be terminated.",
    "Data synchronization is running in the background! If you want to quit the program, "
    "synchronization will be terminated. Continue?",
    "Task title cannot be empty!",
    "Task title contains illegal characters!",
    "Delete the task item \"%s\"?",
    "Task class title cannot be empty!",
    "Task class title contains illegal characters!",
    "Delete the task class \"%s\" and all of its tasks?",
    "Delete the Kuaipan account \"%s\"?",
    "Failed to save settings!",
    "Username cannot be empty!",
    "Password cannot be empty!",
    "Logining, please wait ...",
    "Authorized success!",
    "Authorization failed! Verifier: ",
    "Authorization failed:",
    "Login failed!",
    "Bind a Kuaipan account",
    "An unknown Kuaipan account",
    "Set Date",
    "No Alert",
    "Default List",
    "Yes",
    "No",
    "Add Task Item",
    "Edit Task Item",
    "App Logs",
    "Management Task Classification",
    "Setting",
    "The view of task list",
    "Dislpay",
    "Application Style",
    "Simple View",
    "Detail View",
    "Paste the task item \"%s\"?",
    "Add",
    "Edit",
    "Copy Text",
    "Copy",
    "Paste",
    "Refresh",
    "Warning",
    "Confirm",
    "Error",
    "Register Kuaipan Account",
    "Manual sync will begin.",
    "The length of task title cannot be longer than %d!",
    "The length of task class title cannot be longer than %d!",
    "Data Consistency Check",
    "When a data error, you can use this feature to repair.",
    "Check",
    "Do you want to start data consistency check and repair? According to the amount of data, the "
    "operation will take some time.",
    "Data consistency check and repair finished!",
    "Check Update",
    "About",
    "Alert",
    "I Know",
    "Open expiration task alert",
    "The database file \"%s\" is missing, the program will be terminated!",
    "Dorvel",
    "Set Time",
    "%d task(s) in %s were deleted in Kuaipan; synchronization held these deletions back.",
    "Delete these tasks on this computer too?",
    "\"%s\"",
    ", ",
    "Waiting for another program to finish changing the task lists ...",
    "Another program (a synchronization pass) is changing the task lists; the change was not "
    "made. Please try again in a moment.",
    "Synchronization failed: the clock of this computer differs from the server's.",
    "Complete",
    "Remind me in 10 minutes",
    "Show",
    "Hide",
    "New Task",
    "Synchronize Now",
    "Quit",
    "Start at login",
    "Recently Deleted",
    "Deleted",
    "Task",
    "Restore",
    "No task was deleted in the last 30 days.",
    "The task could not be restored: %s",
    "Find",
    "Find in every list",
    "%d task(s) found",
    "The task item \"%s\" is no longer there, so it was not undone.",
    "The task item \"%s\" was changed by a synchronization since, so it was not undone.",
    "The task class of \"%s\" is no longer there, so it was not undone.",
    "The task item \"%s\" is no longer among the recently deleted, so it was not brought back.",
    "Import…",
    "Export…",
    "Imported %d task(s) into %d list(s), skipped %d.",
    "%d task(s) exported to %s.",
    "The file %s cannot be imported: %s",
    "The tasks could not be exported: %s",
    "(no title)",
    "the due date \"%s\" is no date",
    "deleted in Taskwarrior",
    "the template of a recurring task (its instances are taken)",
    "cancelled",
    "%d event(s): only to-dos (VTODO) are tasks",
    "there is no list to put it in",
    "the title of its list \"%s\" cannot be used",
    "its list \"%s\" could not be made",
    "already in the list \"%s\"",
    "The task title is too long to be stored."};

// Design-time texts of controls the program always sets itself.
const std::set<std::string> kPlaceholderKeys = {"btnKuaipanAccount", "lblMessage",
                                                "btnExpirationDate", "btnAlertTime"};

using Table = std::vector<std::pair<std::string, std::string>>;

// Reads a table strictly: a line without '=', a carriage return or an empty
// line is a fault in the file, not something to skip.
Table ReadTable(const std::string& sCode) {
    const auto path =
        std::filesystem::path(OT_SOURCE_DIR) / "resources" / "lang" / (sCode + ".lang");
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    Table table;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        EXPECT_EQ(line.find('\r'), std::string::npos) << sCode << ":" << lineNo;
        const auto eq = line.find('=');
        EXPECT_NE(eq, std::string::npos) << sCode << ":" << lineNo << " " << line;
        if (eq == std::string::npos)
            continue;
        table.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return table;
}

std::map<std::string, std::string> AsMap(const Table& table) {
    std::map<std::string, std::string> m;
    for (const auto& [key, value] : table) {
        EXPECT_TRUE(m.emplace(key, value).second) << "duplicate key \"" << key << "\"";
    }
    return m;
}

// The printf conversions of a text in order, e.g. "%s" or "%d".
std::vector<std::string> Conversions(const std::string& s) {
    std::vector<std::string> found;
    for (std::size_t i = s.find('%'); i != std::string::npos && i + 1 < s.size();
         i = s.find('%', i + 2)) {
        found.push_back(s.substr(i, 2));
    }
    return found;
}

// Position of each key in the key list, to check that a table keeps its order.
std::size_t KeyIndex(const std::string& key) {
    return static_cast<std::size_t>(std::find(kKeys.begin(), kKeys.end(), key) - kKeys.begin());
}

TEST(LangTables, KeyListIsTheWholeSet) {
    EXPECT_EQ(kKeys.size(), 130u);
    EXPECT_EQ(std::set<std::string>(kKeys.begin(), kKeys.end()).size(), kKeys.size());
}

TEST(LangTables, EnglishHoldsOnlyTitleAndIntervalLabel) {
    const Table table = ReadTable("en");
    const Table expected = {{"Synchronous time interval", "Synchronous time interval (Minute)"},
                            {"_LangTitle", "English"}};
    EXPECT_EQ(table, expected);
}

TEST(LangTables, ChineseTablesTranslateEveryKeyButThePlaceholders) {
    for (const std::string code : {"cn", "tw"}) {
        SCOPED_TRACE(code);
        const Table table = ReadTable(code);
        const auto m = AsMap(table);
        EXPECT_EQ(table.size(), 126u);
        for (const auto& key : kKeys) {
            EXPECT_EQ(m.count(key), kPlaceholderKeys.count(key) ? 0u : 1u) << "\"" << key << "\"";
        }
        std::size_t last = 0;
        for (const auto& [key, value] : table) {
            const std::size_t index = KeyIndex(key);
            EXPECT_LT(index, kKeys.size()) << "unknown key \"" << key << "\"";
            EXPECT_GE(index, last) << "\"" << key << "\" out of order";
            last = index;
            EXPECT_FALSE(value.empty()) << "\"" << key << "\"";
            // Messages are translated first and formatted afterwards.
            EXPECT_EQ(Conversions(value), Conversions(key))
                << "\"" << key << "\" -> \"" << value << "\"";
        }
    }
}

TEST(LangTables, FixedRows) {
    struct Row {
        const char* key;
        const char* cn;
        const char* tw;
    };
    const Row rows[] = {
        {"_LangTitle", "简体中文", "繁體中文"},
        {"Dorvel", "Sarnic Tasks", "Sarnic Tasks"},
        {"Synchronous time interval", "同步频率（分钟）", "同步頻率（分鐘）"},
        {"Default List", "默认任务列表", "默認任務列表"},
        {"Delete the task item \"%s\"?", "删除任务项“%s”吗？", "刪除任務項“%s”嗎？"},
        {"The length of task title cannot be longer than %d!", "任务标题的长度不能超过 %d ！",
         "任務標題的長度不能超過 %d ！"},
        {"Expiration Date & Alert Time ", "到期日期 & 提醒时间", "到期日期 & 提醒時間"},
        {"Add Task Item", "新建任务", "添加任務"},
        {"Kuaipan Account", "金山快盘账号", "快盤帳號"},
        {"Dislpay", "显示", "顯示"},
        {"About", "关于本程序", "關於本程式"},
        {"Yes", "是", "是"},
        {"No", "否", "否"},
    };
    const auto cn = AsMap(ReadTable("cn"));
    const auto tw = AsMap(ReadTable("tw"));
    for (const auto& row : rows) {
        EXPECT_EQ(cn.count(row.key) ? cn.at(row.key) : "<missing>", row.cn) << row.key;
        EXPECT_EQ(tw.count(row.key) ? tw.at(row.key) : "<missing>", row.tw) << row.key;
    }
    // The trailing blank is part of the key.
    EXPECT_EQ(cn.count("Expiration Date & Alert Time"), 0u);
}

} // namespace
