#include "upgrader/OtUpgradeLang.h"

namespace ot {

namespace {

struct TEntry {
    const char* Key;
    const char* Zh;
    const char* Tw;
};

const TEntry kTable[] = {
    {"The following program discover new version, click on the \"upgrade\" button to start the "
     "upgrade.",
     "下列程序发现新的版本，点击“升级”按钮开始进行升级。",
     "下列程式發現新的版本，點擊“升級”按鈕開始進行升級。"},
    {"Application Detail", "详细内容", "詳細內容"},
    {"Upgrade", "升级", "升級"},
    {"Close", "关闭", "關閉"},
    {"Download: %s, Total: %s, Speed: %s", "已下载：%s，总计：%s，速度：%s",
     "已下載：%s，總計：%s，速度：%s"},
    {"Progress", "进度", "進度"},
    {"Please ensure that the following application(s) did not run in the background.",
     "请确保下列程序没有在后台运行。", "請確保下列程式沒有在後臺運行。"},
    {"If upgrade failed, please close the application(s) and click the \"update\" button again.",
     "如果更新失败，请关闭这些程序后，再次点击“升级”按钮。",
     "如果更新失敗，請關閉這些程式後，再次點擊“升級”按鈕。"},
    {"Upgrading \"%s\", please wait...", "正在更新“%s”，请稍后……", "正在更新“%s”，請稍後……"},
    {"Downloading \"%s\"", "正在下载“%s” ……", "正在下載“%s” ……"},
    {"Not found a new version program!", "未发现新版本的程序！", "未發現新版本的程式！"},
    {"Ready", "就绪", "就緒"},
    {"Parameter Error", "参数错误", "參數錯誤"},
    {"Download Finished", "下载完成", "下載完成"},
    {"Download Failed", "下载失败", "下載失敗"},
    {"Upgrade successfully", "更新成功", "更新成功"},
    {"Upgrade Failed", "更新失败", "更新失敗"},
    {"Upgrade package damage", "更新包损坏", "更新包損壞"},
    {"Downloading", "下载中", "下載中"},
    {"Upgrading", "更新中", "更新中"},
    {"OK", "确定", nullptr},
    {"Brenmoor Upgrade Program", "Brenmoor软件更新程序", "Brenmoor軟體更新程式"},
    {"Updates of this installation come from the system's package manager.",
     "此安装的更新由系统的软件包管理器提供。", "此安裝的更新由系統的套件管理程式提供。"},
};

} // namespace

bool TUpgradeLang::HasTable(std::string_view ACode) const {
    return ACode == "en" || ACode == "zh" || ACode == "tw";
}

bool TUpgradeLang::SetLang(std::string_view ACode) {
    if (!HasTable(ACode))
        return false;
    FLang = std::string(ACode);
    return true;
}

std::string TUpgradeLang::LangTranslate(std::string_view AString) const {
    if (FLang != "en") {
        for (const auto& e : kTable) {
            if (AString == e.Key) {
                const char* text = FLang == "zh" ? e.Zh : e.Tw;
                return text ? text : std::string(AString);
            }
        }
    }
    return std::string(AString);
}

} // namespace ot
