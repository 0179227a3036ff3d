// Content files: one per stored revision below files/, and the temporary files an
// upload's bytes arrive in.

#include "CloudStoreParts.h"

#include "common/FileUtil.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace ot::server {

namespace fs = std::filesystem;

fs::path SqliteCloudStore::ContentPath(const std::string& name) const {
    return FDir / "files" / name.substr(0, 2) / name;
}

std::string SqliteCloudStore::NewContentName() {
    return SecureRandomText(32);
}

bool SqliteCloudStore::WriteContent(const std::string& name, const std::string& content) {
    fs::path target = ContentPath(name);
    std::error_code ec;
    bool created = fs::create_directories(target.parent_path(), ec);
    if (ec)
        return false;
    if (created)
        FsyncDir(target.parent_path().parent_path());
    // Written to a temporary name, flushed, renamed and the directory flushed: the
    // content is on disk before any metadata names it.
    return WriteFileAtomic(target, content, 0600);
}

void SqliteCloudStore::RemoveContent(const std::string& name) {
    if (name.empty())
        return;
    std::error_code ec;
    fs::remove(ContentPath(name), ec);
}

struct IncomingContent::Hash {
    EVP_MD_CTX* Ctx = EVP_MD_CTX_new();
    ~Hash() { EVP_MD_CTX_free(Ctx); }
};

IncomingContent::IncomingContent(fs::path path, int fd)
    : FPath(std::move(path)), FFd(fd), FHash(std::make_unique<Hash>()) {
    if (!FHash->Ctx || EVP_DigestInit_ex(FHash->Ctx, EVP_sha1(), nullptr) != 1)
        FFailed = true;
}

IncomingContent::~IncomingContent() {
    if (FFd >= 0)
        ::close(FFd);
    if (!FTaken) {
        std::error_code ec;
        fs::remove(FPath, ec);
    }
}

bool IncomingContent::Append(std::string_view bytes) {
    if (FFailed)
        return false;
    EVP_DigestUpdate(FHash->Ctx, bytes.data(), bytes.size());
    while (!bytes.empty()) {
        ssize_t n = ::write(FFd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            FFailed = true;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        FSize += n;
    }
    return true;
}

std::string IncomingContent::Finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (FFailed || ::fsync(FFd) != 0 || ::close(FFd) != 0 ||
        EVP_DigestFinal_ex(FHash->Ctx, digest, &len) != 1) {
        FFd = -1;
        return {};
    }
    FFd = -1;
    return HexDigest(digest, len);
}

std::string HexDigest(const unsigned char* digest, unsigned length) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// Below files/, beside the content folders (whose names have two characters); a name
// starting with "." is what start-up removes as an unfinished write.
std::unique_ptr<IncomingContent> SqliteCloudStore::NewIncoming() {
    const fs::path dir = FDir / "files" / "incoming";
    std::error_code ec;
    fs::create_directories(dir, ec);
    const fs::path file = dir / ("." + NewContentName());
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + file.string());
    return std::unique_ptr<IncomingContent>(new IncomingContent(file, fd));
}

std::vector<std::string> SqliteCloudStore::ReferencedContentFiles() {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT content FROM nodes WHERE content IS NOT NULL ORDER BY content");
    std::vector<std::string> out;
    while (s.Step())
        out.push_back(s.Text(0));
    return out;
}

std::vector<std::string> SqliteCloudStore::ContentProblems() {
    const auto named = ReferencedContentFiles();
    const auto onDisk = ContentFilesOnDisk();
    std::vector<std::string> out;
    std::set_difference(named.begin(), named.end(), onDisk.begin(), onDisk.end(),
                        std::back_inserter(out));
    for (auto& name : out)
        name = "content " + name + " is missing";
    std::vector<std::string> unnamed;
    std::set_difference(onDisk.begin(), onDisk.end(), named.begin(), named.end(),
                        std::back_inserter(unnamed));
    for (const auto& name : unnamed)
        out.push_back("content file " + name + " is named by no entry");
    return out;
}

std::vector<std::string> SqliteCloudStore::ContentFilesOnDisk() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& f : fs::recursive_directory_iterator(FDir / "files", ec))
        if (f.is_regular_file())
            out.push_back(f.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace ot::server
