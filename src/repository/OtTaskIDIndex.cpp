// The task tree's IDs, with the names of unchanged class directories taken
// from a cache file instead of being read again.
//
// The cache file:
//   "otTodolist task IDs 1\n"
//   per directory: "<dev> <ino> <ctime ns> <mtime ns> <read at> <name bytes> <fields bytes>\n",
//                  then the name, the fields and "\n"
//   "end <directories>\n"
// Anything else, a torn file included, is no cache.

#include "repository/OtTaskIDIndex.h"

#include "common/Clock.h"
#include "common/FileUtil.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace ot {

namespace {

constexpr std::string_view kHeader = "otTodolist task IDs 1\n";
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// Time stamps are coarser than the clock, and the clock may lag the file
// system's by a tick: a change this close to a read may be invisible to stat.
constexpr std::int64_t kRacyNs = 2 * kNsPerSecond;

std::string_view FirstField(std::string_view name) {
    return name.substr(0, name.find('#'));
}

// Whether id occurs in fields as a whole piece: between two '/', or, when
// underscoreSeparates, also between '_' and '/' or two '_'.
bool HasPiece(std::string_view fields, std::string_view id, bool underscoreSeparates) {
    auto isSeparator = [underscoreSeparates](char c) {
        return c == '/' || (underscoreSeparates && c == '_');
    };
    for (std::size_t from = 0; from <= fields.size();) {
        const void* hit =
            ::memmem(fields.data() + from, fields.size() - from, id.data(), id.size());
        if (!hit)
            return false;
        const auto pos = static_cast<std::size_t>(static_cast<const char*>(hit) - fields.data());
        const std::size_t end = pos + id.size();
        if (pos > 0 && end < fields.size() && isSeparator(fields[pos - 1]) &&
            isSeparator(fields[end]))
            return true;
        from = pos + 1;
    }
    return false;
}

// The whole file into out, which is not cleared first: the bytes are
// copied once, by the kernel.
bool ReadFile(const std::string& name, std::unique_ptr<char[]>& out, std::size_t& size) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        size = static_cast<std::size_t>(st.st_size);
        out = std::make_unique_for_overwrite<char[]>(size);
        std::size_t done = 0;
        while (ok && done < size) {
            const ssize_t n = ::read(fd, out.get() + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            done += ok ? static_cast<std::size_t>(n) : 0;
        }
    }
    ::close(fd);
    return ok;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads the numbers of a record line, separated by single blanks; advances
// text past the line.
template <typename... T> bool ParseLine(std::string_view& text, T&... values) {
    const auto eol = text.find('\n');
    if (eol == std::string_view::npos)
        return false;
    const char* p = text.data();
    const char* const end = text.data() + eol;
    bool ok = true;
    bool first = true;
    auto one = [&](auto& value) {
        if (!ok)
            return;
        if (!first && (p == end || *p++ != ' ')) {
            ok = false;
            return;
        }
        first = false;
        const auto r = std::from_chars(p, end, value);
        ok = r.ec == std::errc() && r.ptr != p;
        p = r.ptr;
    };
    (one(values), ...);
    if (!ok || p != end)
        return false;
    text.remove_prefix(eol + 1);
    return true;
}

template <typename T> void AppendNumber(std::string& out, T value) {
    char buffer[24];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

} // namespace

TOtTaskIDIndex::TOtTaskIDIndex(std::string ATaskDataPath, std::string ACacheFileName)
    : FTaskDataPath(std::move(ATaskDataPath)), FCacheFileName(std::move(ACacheFileName)) {
    if (FTaskDataPath.empty() || FTaskDataPath.back() != '/')
        FTaskDataPath += '/';
}

bool TOtTaskIDIndex::IsSettled(const TDirRecord& ARecord) {
    return ARecord.Stat.CtimeNs + kRacyNs < ARecord.ReadAt * kNsPerSecond;
}

bool TOtTaskIDIndex::LoadCache(std::vector<TDirRecord>& ARecords) const {
    ARecords.clear();
    std::string_view text(FCacheBytes.get(), FCacheSize);
    if (text.substr(0, kHeader.size()) != kHeader)
        return false;
    text.remove_prefix(kHeader.size());
    while (text.substr(0, 4) != "end ") {
        TDirRecord r;
        std::size_t nameBytes = 0, fieldsBytes = 0;
        if (!ParseLine(text, r.Stat.Dev, r.Stat.Ino, r.Stat.CtimeNs, r.Stat.MtimeNs, r.ReadAt,
                       nameBytes, fieldsBytes) ||
            nameBytes == 0 || text.size() < nameBytes + fieldsBytes + 1 ||
            text[nameBytes + fieldsBytes] != '\n')
            return false;
        r.Name = text.substr(0, nameBytes);
        r.Fields = text.substr(nameBytes, fieldsBytes);
        if (r.Fields.size() < 1 || r.Fields.front() != '/' || r.Fields.back() != '/')
            return false;
        text.remove_prefix(nameBytes + fieldsBytes + 1);
        ARecords.push_back(r);
    }
    text.remove_prefix(4);
    std::size_t count = 0;
    if (!ParseLine(text, count) || !text.empty() || count != ARecords.size()) {
        ARecords.clear();
        return false;
    }
    return true;
}

void TOtTaskIDIndex::SaveCache() const {
    std::string out(kHeader);
    std::size_t count = 0;
    for (const TDirRecord& r : FRecords) {
        if (!r.Cacheable)
            continue;
        ++count;
        AppendNumber(out, r.Stat.Dev);
        out += ' ';
        AppendNumber(out, r.Stat.Ino);
        for (const std::int64_t n : {r.Stat.CtimeNs, r.Stat.MtimeNs, r.ReadAt}) {
            out += ' ';
            AppendNumber(out, n);
        }
        out += ' ';
        AppendNumber(out, r.Name.size());
        out += ' ';
        AppendNumber(out, r.Fields.size());
        out += '\n';
        out += r.Name;
        out += r.Fields;
        out += '\n';
    }
    out += "end ";
    AppendNumber(out, count);
    out += '\n';

    // Whole files by rename, so a reader sees one run's file or another's;
    // no flush: a file torn by a crash fails its format and is ignored.
    // Named without the shared random source, whose sequence tests replay.
    static std::atomic<unsigned> saves{0};
    const std::string temp =
        FCacheFileName + "." + std::to_string(::getpid()) + "." + std::to_string(saves++) + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const bool written = WriteAll(fd, out);
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), FCacheFileName.c_str()) != 0)
        ::unlink(temp.c_str());
}

void TOtTaskIDIndex::Refresh() {
    FRecords.clear();
    FReadBytes.clear();
    FClassIDs = "/";
    FDirectoriesRead = 0;

    std::vector<TDirRecord> cached;
    const bool cacheValid = !FCacheFileName.empty() &&
                            ReadFile(FCacheFileName, FCacheBytes, FCacheSize) && LoadCache(cached);
    if (!cacheValid) {
        cached.clear();
        FCacheBytes.reset();
        FCacheSize = 0;
    }
    std::sort(cached.begin(), cached.end(),
              [](const TDirRecord& a, const TDirRecord& b) { return a.Name < b.Name; });
    // Taken before any directory is looked at: a read counts from its start.
    const std::int64_t now = UnixNow();

    std::unique_ptr<DIR, int (*)(DIR*)> top(::opendir(FTaskDataPath.c_str()), &::closedir);
    if (!top)
        return;
    const int rootFd = ::dirfd(top.get());
    bool worthSaving = false;
    while (const dirent* cls = ::readdir(top.get())) {
        const std::string_view name = cls->d_name;
        if (name == "." || name == "..")
            continue;
        // A link is taken for what it names.
        struct stat st {};
        if (!IsDirectoryEntry(rootFd, *cls) || ::fstatat(rootFd, cls->d_name, &st, 0) != 0 ||
            !S_ISDIR(st.st_mode))
            continue;
        FClassIDs += FirstField(name);
        FClassIDs += '/';

        const auto statOf = [](const struct stat& s) {
            return TDirStat{static_cast<std::uint64_t>(s.st_dev),
                            static_cast<std::uint64_t>(s.st_ino),
                            s.st_ctim.tv_sec * kNsPerSecond + s.st_ctim.tv_nsec,
                            s.st_mtim.tv_sec * kNsPerSecond + s.st_mtim.tv_nsec};
        };
        const TDirStat before = statOf(st);
        const auto hit =
            std::lower_bound(cached.begin(), cached.end(), name,
                             [](const TDirRecord& r, std::string_view n) { return r.Name < n; });
        if (hit != cached.end() && hit->Name == name && hit->Stat == before && IsSettled(*hit)) {
            FRecords.push_back(*hit);
            continue;
        }

        const int fd = ::openat(rootFd, cls->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            continue;
        std::unique_ptr<DIR, int (*)(DIR*)> items(::fdopendir(fd), &::closedir);
        if (!items) {
            ::close(fd);
            continue;
        }
        std::string& bytes = FReadBytes.emplace_back(name);
        bytes += '/';
        while (const dirent* item = ::readdir(items.get())) {
            bytes += FirstField(item->d_name);
            bytes += '/';
        }
        ++FDirectoriesRead;
        struct stat after {};
        TDirRecord r;
        r.Name = std::string_view(bytes).substr(0, name.size());
        r.Fields = std::string_view(bytes).substr(name.size());
        r.Stat = before;
        r.ReadAt = now;
        r.Cacheable = ::fstat(fd, &after) == 0 && statOf(after) == before;
        worthSaving = worthSaving || (r.Cacheable && IsSettled(r));
        FRecords.push_back(r);
    }
    // Directories only re-read because they just changed would be read
    // again next time anyway; a missing or unusable file is replaced.
    if (!FCacheFileName.empty() && FDirectoriesRead > 0 && (worthSaving || !cacheValid))
        SaveCache();
}

bool TOtTaskIDIndex::Holds(std::string_view AID) const {
    // No name holds a '/'; no part of an item's ID field holds a '_'.
    if (AID.find('/') != std::string_view::npos)
        return false;
    if (HasPiece(FClassIDs, AID, false))
        return true;
    if (AID.find('_') != std::string_view::npos)
        return false;
    return std::any_of(FRecords.begin(), FRecords.end(),
                       [AID](const TDirRecord& r) { return HasPiece(r.Fields, AID, true); });
}

} // namespace ot
