// Names, file content and loading of the task tree.

#include "tasks/OtTaskUtility.h"

#include "common/FileUtil.h"
#include "common/Text.h"

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace ot {

namespace fs = std::filesystem;

namespace {

struct SpecialChar {
    char Char;
    std::string_view Token;
};

// No token contains one of the characters, and no token can overlap another
// (each starts with "[" and ends with "]"), so one left-to-right pass gives
// the same result as replacing row by row.
constexpr std::array<SpecialChar, 18> kSpecialChars{{
    {' ', "[SP]"},
    {'#', "[PO]"},
    {'_', "[UN]"},
    {'$', "[DL]"},
    {'@', "[AT]"},
    {'!', "[EX]"},
    {'(', "[BRL]"},
    {')', "[BRR]"},
    {'\'', "[SQ]"},
    {'\\', "[BA]"},
    {'/', "[SL]"},
    {':', "[CO]"},
    {'*', "[ST]"},
    {'?', "[QU]"},
    {'"', "[DQ]"},
    {'<', "[ABL]"},
    {'>', "[ABR]"},
    {'|', "[VB]"},
}};

std::string_view LastComponent(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Splits at every '#'; consecutive and trailing separators give empty fields.
std::vector<std::string_view> SplitFields(std::string_view s, char sep) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const auto pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            fields.push_back(s.substr(start));
            return fields;
        }
        fields.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

bool Digits(std::string_view s, std::size_t pos, std::size_t len, int& out) {
    int v = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

void AppendTextContent(const pugi::xml_node& node, std::string& out) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            out += child.value();
        else if (child.type() == pugi::node_element)
            AppendTextContent(child, out);
    }
}

// A whole small file through one open and reads until the end, without
// asking its size first: the task files are read by the thousand at start-up
// and nearly all fit the first read.
// With dirFd (an open directory) name is relative to it: loading a class
// opens its items by name, so each open looks up one path component.
bool IsLinkEntry(int dirFd, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_LNK;
    struct stat st {};
    return ::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool ReadSmallFile(const char* name, std::string& out, int dirFd = AT_FDCWD) {
    // A link in the task tree is never followed: what it points at is not a
    // task of this program.
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    out.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A directory opens but does not read (EISDIR).
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string WithTrailingSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

bool IsDotName(const std::string& name) {
    const std::string t = Trim(name);
    return t == "." || t == "..";
}

} // namespace

// ---- names ------------------------------------------------------------------

std::string TOtTaskUtility::EncodeSpecialChars(std::string_view AStr) {
    std::string out;
    out.reserve(AStr.size() + 8);
    for (const char c : AStr) {
        const auto it = std::find_if(kSpecialChars.begin(), kSpecialChars.end(),
                                     [c](const SpecialChar& sc) { return sc.Char == c; });
        if (it == kSpecialChars.end())
            out += c;
        else
            out += it->Token;
    }
    return out;
}

std::string TOtTaskUtility::DecodeSpecialChars(std::string_view AStr) {
    std::string out;
    out.reserve(AStr.size());
    for (std::size_t i = 0; i < AStr.size();) {
        if (AStr[i] == '[') {
            const std::string_view rest = AStr.substr(i);
            const auto it =
                std::find_if(kSpecialChars.begin(), kSpecialChars.end(),
                             [rest](const SpecialChar& sc) { return StartsWith(rest, sc.Token); });
            if (it != kSpecialChars.end()) {
                out += it->Char;
                i += it->Token.size();
                continue;
            }
        }
        out += AStr[i++];
    }
    return out;
}

TOtTaskClassPtr TOtTaskUtility::ParseTaskClass(std::string_view APath) {
    const auto fields = SplitFields(LastComponent(APath), '#');
    if (fields.size() != 2)
        return nullptr;
    auto cls =
        std::make_shared<TOtTaskClass>(std::string(fields[0]), DecodeSpecialChars(fields[1]));
    cls->SetDiskDirName(std::string(LastComponent(APath)));
    return cls;
}

bool TOtTaskUtility::TryParseDateTime(std::string_view AStr, TDateTime& AResult) {
    DateTimeParts p;
    TDateTime date = 0, time = 0;
    switch (AStr.size()) {
    case 12:
        if (!Digits(AStr, 0, 4, p.Year) || !Digits(AStr, 4, 2, p.Month) ||
            !Digits(AStr, 6, 2, p.Day) || !Digits(AStr, 8, 2, p.Hour) ||
            !Digits(AStr, 10, 2, p.Minute))
            return false;
        return TryEncodeDateTime(p, AResult);
    case 8:
        if (!Digits(AStr, 0, 4, p.Year) || !Digits(AStr, 4, 2, p.Month) ||
            !Digits(AStr, 6, 2, p.Day) || !TryEncodeDate(p.Year, p.Month, p.Day, date))
            return false;
        AResult = date;
        return true;
    case 4:
        if (!Digits(AStr, 0, 2, p.Hour) || !Digits(AStr, 2, 2, p.Minute) ||
            !TryEncodeTime(p.Hour, p.Minute, 0, 0, time))
            return false;
        AResult = time;
        return true;
    default:
        AResult = 0;
        return true;
    }
}

TDateTime TOtTaskUtility::ParseDateTime(std::string_view AStr) {
    TDateTime dt = 0;
    return TryParseDateTime(AStr, dt) ? dt : 0;
}

TOtTaskItemPtr TOtTaskUtility::ParseTaskItem(const TOtTaskClassPtr& ATaskClass,
                                             std::string_view APath) {
    TOtTaskItemPtr item = ParseTaskItemName(ATaskClass, APath);
    if (item) {
        item->LoadFromFile(std::string(APath));
        item->FRemarks_Old = item->FRemarks;
    }
    return item;
}

void TOtTaskUtility::LoadTaskItemRemarks(const TOtTaskItemPtr& ATaskItem,
                                         const std::string& ATaskDataPath) {
    if (!ATaskItem)
        return;
    ATaskItem->LoadFromFile(ATaskDataPath + ATaskItem->DiskPath());
    ATaskItem->FRemarks_Old = ATaskItem->FRemarks;
}

TOtTaskItemPtr TOtTaskUtility::ParseTaskItemName(const TOtTaskClassPtr& ATaskClass,
                                                 std::string_view APath) {
    std::string_view name = LastComponent(APath);
    if (name.find(".tsk") != std::string_view::npos)
        name.remove_suffix(std::min<std::size_t>(4, name.size()));
    const auto fields = SplitFields(name, '#');
    if (fields.size() < 5)
        return nullptr;

    const auto priority = ParseInt32(fields[3]);
    if (!priority)
        return nullptr;
    TDateTime dates[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < 4 && 4 + i < fields.size(); ++i)
        if (!TryParseDateTime(fields[4 + i], dates[i]))
            return nullptr;

    // An item without an ID would have no file name of its own to be stored
    // or renamed under.
    const auto idParts = SplitFields(fields[0], '_');
    if (idParts.back().empty())
        return nullptr;

    auto item = std::make_shared<TOtTaskItem>(TOtTaskItem::ParsedTag{}, ATaskClass);
    item->FLevel = static_cast<std::int32_t>(idParts.size());
    item->FID = std::string(idParts.back());
    item->FStatus = StrToTaskStatus(std::string(fields[1]));
    item->FTitle = DecodeSpecialChars(fields[2]);
    item->FPriority = *priority;
    item->FCreateDateTime = dates[0];
    item->FExpirationDate = dates[1];
    item->FAlertTime = dates[2];
    item->FFinishDateTime = dates[3];
    item->SnapshotValues();
    item->FDiskFileName = std::string(name);
    return item;
}

bool TOtTaskUtility::IsWellFormedTaskID(std::string_view AID) {
    return !AID.empty() && std::all_of(AID.begin(), AID.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
    });
}

bool TOtTaskUtility::IsUsableEntryName(std::string_view AName) {
    if (AName.empty() || AName.front() == '.')
        return false;
    return std::none_of(AName.begin(), AName.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

std::vector<std::string> TOtTaskUtility::ListLeftAloneEntries(const std::string& ATaskDataPath) {
    std::vector<std::string> out;
    // Shown in a report: control characters as "?".
    auto shown = [](std::string name) {
        for (char& c : name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                c = '?';
        return name;
    };
    std::error_code ec;
    for (fs::directory_iterator dirs(ATaskDataPath, ec), end; !ec && dirs != end;
         dirs.increment(ec)) {
        const std::string dirName = dirs->path().filename().string();
        if (IsDotName(dirName))
            continue;
        std::error_code sec;
        if (dirs->is_symlink(sec)) {
            out.push_back(shown(dirName) + ": a link, not followed");
            continue;
        }
        if (!dirs->is_directory(sec))
            continue;
        const auto cls = IsUsableEntryName(dirName) ? ParseTaskClass(dirName) : nullptr;
        if (!cls || !IsWellFormedTaskID(cls->ID())) {
            out.push_back(shown(dirName) + ": not a task list name this program writes");
            continue;
        }
        for (fs::directory_iterator files(dirs->path(), sec); !sec && files != end;
             files.increment(sec)) {
            const std::string name = files->path().filename().string();
            if (!EndsWith(name, ".tsk"))
                continue;
            std::error_code fec;
            const std::string where = shown(dirName) + "/" + shown(name);
            if (files->is_symlink(fec)) {
                out.push_back(where + ": a link, not followed");
                continue;
            }
            const auto item = IsUsableEntryName(name) ? ParseTaskItemName(cls, name) : nullptr;
            if (!item || !IsWellFormedTaskID(item->ID()))
                out.push_back(where + ": not a task file name this program writes");
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- name limits ------------------------------------------------------------

std::size_t TOtTaskUtility::NameLimit(const std::string& ATaskDataPath) {
    constexpr std::size_t kPortableLimit = 255;
    // The task data directory may not exist yet; its nearest existing
    // ancestor is on the same file system in every layout we create.
    fs::path dir = ATaskDataPath;
    std::error_code ec;
    while (!dir.empty() && !fs::is_directory(dir, ec) && dir.has_parent_path() &&
           dir.parent_path() != dir)
        dir = dir.parent_path();
    const long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    if (limit <= 0)
        return kPortableLimit;
    return std::min(kPortableLimit, static_cast<std::size_t>(limit));
}

bool TOtTaskUtility::IsTaskItemStorable(const TOtTaskItem& ATaskItem,
                                        const std::string& ATaskDataPath) {
    return ATaskItem.FileName().size() + 4 <= NameLimit(ATaskDataPath);
}

bool TOtTaskUtility::IsTaskClassStorable(const TOtTaskClass& ATaskClass,
                                         const std::string& ATaskDataPath) {
    return ATaskClass.DirName().size() <= NameLimit(ATaskDataPath);
}

// ---- file content -----------------------------------------------------------

std::string TOtTaskUtility::TaskFileContent(std::string_view ARemarks) {
    std::string out = "\xEF\xBB\xBF"
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                      "<TaskItem>\r\n"
                      "  <Remarks>";
    out.reserve(out.size() + ARemarks.size() + 32);
    AppendMarkupEscaped(out, ARemarks, false);
    out += "</Remarks>\r\n"
           "</TaskItem>\r\n";
    return out;
}

bool TOtTaskUtility::ParseTaskFileContent(std::string_view AData, std::string& ARemarks,
                                          bool& AFound) {
    AFound = false;
    pugi::xml_document doc;
    // parse_eol turns CR LF into LF; parse_ws_pcdata_single keeps remarks
    // made only of blanks, which the default drops.
    const auto result =
        doc.load_buffer(AData.data(), AData.size(),
                        pugi::parse_default | pugi::parse_ws_pcdata_single, pugi::encoding_utf8);
    if (!result)
        return false;
    const pugi::xml_node remarks = doc.child("TaskItem").child("Remarks");
    if (!remarks)
        return true;
    ARemarks.clear();
    AppendTextContent(remarks, ARemarks);
    AFound = true;
    return true;
}

bool TOtTaskItem::SaveToFile(const std::string& AFileName) const {
    return WriteFileAtomic(AFileName, TOtTaskUtility::TaskFileContent(Remarks()));
}

bool TOtTaskItem::LoadFromFile(const std::string& AFileName) {
    std::string data;
    return ReadSmallFile(AFileName.c_str(), data) && LoadRemarksFrom(data);
}

bool TOtTaskItem::LoadRemarksFrom(std::string_view data) {
    std::string remarks;
    bool found = false;
    if (!TOtTaskUtility::ParseTaskFileContent(data, remarks, found))
        return false;
    if (found)
        FRemarks = std::move(remarks);
    FRemarksRoot.clear(); // what the file held is known now
    return true;
}

void TOtTaskItem::ReadDeferredRemarks() const {
    const std::string file = FRemarksRoot + DiskPath();
    FRemarksRoot.clear();
    // As at loading: remarks that cannot be read stay empty.
    std::string data, remarks;
    bool found = false;
    if (ReadSmallFile(file.c_str(), data) &&
        TOtTaskUtility::ParseTaskFileContent(data, remarks, found) && found)
        FRemarks = std::move(remarks);
    FRemarks_Old = FRemarks;
}

// ---- loading ----------------------------------------------------------------

void TOtTaskUtility::LoadTaskClassList(const std::string& ATaskDataPath, TOtTaskClassList& AList,
                                       TTaskLoadDepth ADepth) {
    AList.clear();
    const std::string root = WithTrailingSlash(ATaskDataPath);
    if (!MakeDirectories(root))
        return;
    std::vector<std::string> names;
    if (std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(root.c_str()), &::closedir);
        listing) {
        while (const dirent* entry = ::readdir(listing.get()))
            if (!IsLinkEntry(::dirfd(listing.get()), *entry) &&
                IsDirectoryEntry(::dirfd(listing.get()), *entry))
                names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (IsDotName(name) || !IsUsableEntryName(name))
            continue;
        TOtTaskClassPtr cls = ParseTaskClass(name);
        if (!cls || !IsWellFormedTaskID(cls->ID()))
            continue;
        if (ADepth != TTaskLoadDepth::tldClasses)
            LoadTaskItemList(ATaskDataPath, cls, cls->TaskList(),
                             ADepth != TTaskLoadDepth::tldItemNames,
                             ADepth == TTaskLoadDepth::tldItemsRemarksDeferred);
        AList.push_back(std::move(cls));
    }
}

void TOtTaskUtility::LoadTaskItemList(const std::string& ATaskDataPath,
                                      const TOtTaskClassPtr& ATaskClass, TOtTaskItemList& ATaskList,
                                      bool AReadRemarks, bool ADeferRemarks) {
    ATaskList.clear();
    if (!ATaskClass)
        return;
    const std::string dir = WithTrailingSlash(ATaskDataPath + ATaskClass->Path());
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd), &::closedir);
    if (!listing) {
        ::close(fd);
        return;
    }
    // The names one after another, each ended by a NUL so it can be opened
    // as it stands.
    std::string nameBytes;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (!EndsWith(name, ".tsk") || !IsUsableEntryName(name))
            continue;
        if (IsLinkEntry(fd, *entry) || IsDirectoryEntry(fd, *entry))
            continue;
        spans.emplace_back(nameBytes.size(), name.size());
        nameBytes.append(name.data(), name.size() + 1);
    }
    std::vector<std::string_view> names;
    names.reserve(spans.size());
    for (const auto& [start, length] : spans)
        names.emplace_back(nameBytes.data() + start, length);
    std::sort(names.begin(), names.end());
    ATaskList.reserve(names.size());
    std::string data;
    for (const std::string_view name : names) {
        TOtTaskItemPtr item = ParseTaskItemName(ATaskClass, name);
        if (!item || !IsWellFormedTaskID(item->ID()))
            continue;
        // As ParseTaskItem: remarks that cannot be read stay empty.
        if (AReadRemarks && ADeferRemarks) {
            item->DeferRemarks(WithTrailingSlash(ATaskDataPath));
        } else if (AReadRemarks && ReadSmallFile(name.data(), data, fd)) {
            item->LoadRemarksFrom(data);
            item->FRemarks_Old = item->FRemarks;
        }
        ATaskList.push_back(std::move(item));
    }
}

// ---- lists ------------------------------------------------------------------

bool TOtTaskUtility::SortsBefore(const TOtTaskItem& a, const TOtTaskItem& b, TTaskSortField AField,
                                 TSortOrder AOrder) {
    // After the keys of the field, items that would compare equal go by
    // creation time and then by ID, so equal rows keep one order at every
    // refresh.
    const bool asc = AOrder == soAsc;
    if (AField == tsfPriority && a.Priority() != b.Priority())
        return asc ? a.Priority() < b.Priority() : a.Priority() > b.Priority();
    if (a.CreateDateTime() != b.CreateDateTime())
        return asc ? a.CreateDateTime() < b.CreateDateTime()
                   : a.CreateDateTime() > b.CreateDateTime();
    return a.ID() < b.ID();
}

void TOtTaskUtility::SortTaskItemList(TOtTaskItemList& ATaskList, TTaskSortField AField,
                                      TSortOrder AOrder) {
    // Empty entries go last, whatever the order.
    auto compare = [AField, AOrder](const TOtTaskItemPtr& a, const TOtTaskItemPtr& b) {
        if (!a || !b)
            return a && !b;
        return SortsBefore(*a, *b, AField, AOrder);
    };
    std::sort(ATaskList.begin(), ATaskList.end(), compare);
}

int TOtTaskUtility::IndexOfTaskClassList(std::string_view ATaskClassID,
                                         const TOtTaskClassList& AList) {
    for (std::size_t i = 0; i < AList.size(); ++i)
        if (AList[i] && AList[i]->ID() == ATaskClassID)
            return static_cast<int>(i);
    return -1;
}

int TOtTaskUtility::IndexOfTaskItemList(std::string_view ATaskItemID,
                                        const TOtTaskItemList& AList) {
    for (std::size_t i = 0; i < AList.size(); ++i)
        if (AList[i] && AList[i]->ID() == ATaskItemID)
            return static_cast<int>(i);
    return -1;
}

void TOtTaskUtility::AssignTaskItem(const TOtTaskItemPtr& TaskItem1,
                                    const TOtTaskItemPtr& TaskItem2, int AssignType) {
    if (!TaskItem1 || !TaskItem2)
        return;
    const TOtTaskItem& src = *TaskItem1;
    TOtTaskItem& dst = *TaskItem2;
    if (AssignType == 0 || AssignType == 3) {
        dst.SetID(src.FID);
        dst.SetTitle(src.FTitle);
        dst.SetStatus(src.FStatus);
        dst.FExpirationDate = src.FExpirationDate;
        dst.FAlertTime = src.FAlertTime;
        dst.FCreateDateTime = src.FCreateDateTime;
        dst.FFinishDateTime = src.FFinishDateTime;
        dst.FTaskClass = src.FTaskClass;
        dst.FParent = src.FParent;
        dst.FLevel = src.FLevel;
        dst.FPriority = src.FPriority;
    }
    if (AssignType == 1 || AssignType == 3)
        dst.SetRemarks(src.Remarks());
    dst.ResetDirty();
}

bool TOtTaskUtility::IsContainIllegalChars(std::string_view) {
    return false;
}

} // namespace ot
