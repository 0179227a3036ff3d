// kill -9 of the cloud server during a stream of uploads: after a restart on the same
// data directory (or database) every upload that was answered is there with its bytes,
// no file is torn, and the metadata and the contents agree.

#include "PgCloudStore.h"
#include "SqliteCloudStore.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"
#include "support/PostgresInstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

std::string Content(int writer, int seq) {
    std::string unit = "w" + std::to_string(writer) + "-s" + std::to_string(seq) + "|";
    std::string out;
    std::size_t size = 20000 + static_cast<std::size_t>((seq * 7919 + writer * 104729) % 40000);
    while (out.size() < size)
        out += unit;
    out.resize(size);
    return out;
}

enum class Kind { Files, Postgres };

class CloudServerDurability : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::Postgres) {
            std::string why;
            auto* pg = ot::test::PostgresInstance::Shared(why);
            if (!pg)
                GTEST_SKIP() << why;
            Uri = pg->NewDatabase();
        }
    }
    std::string Uri; // empty: SQLite and files
};

INSTANTIATE_TEST_SUITE_P(EachStore, CloudServerDurability,
                         ::testing::Values(Kind::Files, Kind::Postgres),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Files ? "SqliteAndFiles" : "PostgreSQL";
                         });

TEST_P(CloudServerDurability, KillDuringUploadsLosesNothingThatWasAnswered) {
    ot::test::CloudServerProcess server(ot::test::CloudServerProcess::Options{.Store = Uri});
    auto [key, secret] = server.IssueAccessToken();
    auto session =
        std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret, server.Hosts());
    session->SetAuthToken(key, secret);
    ot::TKuaipanAPI api(session);
    ASSERT_FALSE(api.CreateFolder("/D").file_id.empty());

    std::mutex m;
    std::condition_variable answered;
    // For each path: the content of the last answered upload, and every content sent
    // after it (one of those may have been stored just before the kill).
    struct Expect {
        std::string Acknowledged;
        std::set<std::string> Possible;
    };
    std::map<std::string, Expect> expect;
    int acknowledged = 0;
    bool killed = false;

    auto writer = [&](int w) {
        ot::TKuaipanAPI mine(session);
        for (int seq = 0;; ++seq) {
            // New files, and overwrites of one file per writer.
            std::string path =
                seq % 3 == 2 ? "/D/shared-" + std::to_string(w) + ".bin"
                             : "/D/f-" + std::to_string(w) + "-" + std::to_string(seq) + ".bin";
            std::string content = Content(w, seq);
            auto local = server.Dir() / ("local-" + std::to_string(w));
            ASSERT_TRUE(ot::WriteFileAtomic(local, content));
            {
                std::lock_guard lock(m);
                expect[path].Possible.insert(content);
            }
            bool ok = false;
            try {
                ok = !mine.UploadFile(path, local.string(), true).file_id.empty();
            } catch (const std::exception&) {
            }
            std::lock_guard lock(m);
            if (ok) {
                // Answered, so it must survive, also when the answer came just before
                // the kill and is recorded only now.
                auto& e = expect[path];
                e.Acknowledged = content;
                e.Possible = {content};
                ++acknowledged;
                answered.notify_all();
            }
            if (killed)
                return;
        }
    };
    std::thread a(writer, 1), b(writer, 2);
    {
        std::unique_lock lock(m);
        answered.wait(lock, [&] { return acknowledged >= 24; });
        // Killed while holding the lock: no answer can be recorded in between, and the
        // writers are in the middle of their next uploads.
        server.Kill();
        killed = true;
    }
    a.join();
    b.join();

    server.Restart();
    auto listing = api.Metadata("/D", true);
    ASSERT_FALSE(listing.file_id.empty());
    std::set<std::string> listed;
    for (const auto& f : listing.files) {
        std::string path = "/D/" + f.name;
        listed.insert(path);
        std::ostringstream body;
        ASSERT_EQ(api.DownloadFile(path, body).Code, 200) << path;
        ASSERT_TRUE(expect.count(path)) << "unknown file " << path;
        EXPECT_TRUE(expect[path].Possible.count(body.str()))
            << path << " holds bytes that were never sent whole (" << body.str().size()
            << " bytes)";
        EXPECT_EQ(static_cast<std::size_t>(f.size), body.str().size()) << path;
    }
    int checked = 0;
    for (const auto& [path, e] : expect)
        if (!e.Acknowledged.empty()) {
            EXPECT_TRUE(listed.count(path)) << "answered upload lost: " << path;
            ++checked;
        }
    EXPECT_GE(checked, 16);

    EXPECT_EQ(server.Stop(), 0);
    if (Uri.empty()) {
        ot::server::SqliteCloudStore store(server.DataDir(), {}, false);
        EXPECT_EQ(store.ReferencedContentFiles(), store.ContentFilesOnDisk());
    } else {
        ot::server::PgCloudStore store(Uri, server.Dir());
        EXPECT_EQ(store.ContentProblems(), std::vector<std::string>{});
    }
}

} // namespace
