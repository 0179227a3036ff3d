#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/FileUtil.h"
#include "common/Random.h"
#include "common/Text.h"
#include "common/TreeLock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ot;
namespace fs = std::filesystem;

TEST(DateTime, KnownDayNumbers) {
    struct Case {
        int y, m, d;
        double days;
    } cases[] = {{1899, 12, 30, 0},   {1900, 1, 1, 2},    {2000, 1, 1, 36526},
                 {2016, 3, 5, 42434}, {1899, 12, 29, -1}, {2044, 1, 1, 52597}};
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(EncodeDate(c.y, c.m, c.d), c.days) << c.y << "-" << c.m << "-" << c.d;
        auto p = DecodeDateTime(c.days);
        EXPECT_EQ(p.Year, c.y);
        EXPECT_EQ(p.Month, c.m);
        EXPECT_EQ(p.Day, c.d);
    }
}

TEST(DateTime, RoundTripEveryMinuteOfADay) {
    // Decoding must not drift by a minute through floating-point rounding.
    for (int h = 0; h < 24; ++h)
        for (int n = 0; n < 60; ++n) {
            auto p = DecodeDateTime(EncodeDateTime(2016, 3, 5, h, n, 0));
            ASSERT_EQ(p.Hour, h);
            ASSERT_EQ(p.Minute, n);
            ASSERT_EQ(p.Second, 0);
        }
}

TEST(DateTime, InvalidPartsDoNotEncode) {
    TDateTime out = 7;
    EXPECT_FALSE(TryEncodeDate(2016, 13, 1, out));
    EXPECT_FALSE(TryEncodeDate(2015, 2, 29, out));
    EXPECT_TRUE(TryEncodeDate(2016, 2, 29, out));
    EXPECT_FALSE(TryEncodeTime(25, 0, 0, 0, out));
    EXPECT_FALSE(TryEncodeTime(10, 60, 0, 0, out));
}

TEST(DateTime, Formats) {
    TDateTime dt = EncodeDateTime(2016, 3, 5, 14, 30, 10, 250);
    EXPECT_EQ(FormatDateTime("yyyymmddhhnn", dt), "201603051430");
    EXPECT_EQ(FormatDateTime("yyyymmdd", dt), "20160305");
    EXPECT_EQ(FormatDateTime("hhnn", dt), "1430");
    EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz", dt), "14:30:10.250");
    EXPECT_EQ(FormatIsoDateTime(dt), "2016-03-05 14:30:10");
    EXPECT_EQ(DateTimeToRegionalStr(0), "1899-12-30");
    EXPECT_EQ(DateTimeToRegionalStr(dt), "2016-03-05 14:30:10");
}

// Every token zero-padded to its width, as printf's "%0Nd" pads, and a wider
// value written whole.
TEST(DateTime, FormatsPadEachToken) {
    auto printfLike = [](const DateTimeParts& p) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d|%02d|%02d|%02d|%02d|%02d|%02d|%03d", p.Year,
                      p.Year % 100, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.MilliSecond);
        return std::string(buf);
    };
    for (const TDateTime dt :
         {EncodeDateTime(1, 1, 1, 0, 0, 0, 0), EncodeDateTime(7, 2, 3, 4, 5, 6, 7),
          EncodeDateTime(999, 10, 11, 9, 9, 9, 99), EncodeDateTime(2005, 12, 31, 23, 59, 59, 999),
          EncodeDateTime(9999, 12, 31, 12, 0, 0, 0), TDateTime(0), TDateTime(-700000.5)}) {
        SCOPED_TRACE(dt);
        EXPECT_EQ(FormatDateTime("yyyy|yy|mm|dd|hh|nn|ss|zzz", dt), printfLike(DecodeDateTime(dt)));
        std::string appended = "x";
        AppendFormattedDateTime(appended, "yyyymmdd", dt);
        EXPECT_EQ(appended, "x" + FormatDateTime("yyyymmdd", dt));
    }
}

TEST(DateTime, ParseIso) {
    struct Case {
        const char* text;
        bool ok;
        TDateTime value;
    } cases[] = {
        {"2016-03-05 14:30:10", true, EncodeDateTime(2016, 3, 5, 14, 30, 10)},
        {"2016-03-05T14:30:10", true, EncodeDateTime(2016, 3, 5, 14, 30, 10)},
        {"2016-03-05 14:30", true, EncodeDateTime(2016, 3, 5, 14, 30)},
        {"2016-03-05", true, EncodeDate(2016, 3, 5)},
        {"2016-03-05 14:30:10.5", true, EncodeDateTime(2016, 3, 5, 14, 30, 10, 500)},
        {"2016-13-05 14:30:10", false, 0},
        {"2016-03-05 25:30:10", false, 0},
        {"2016/03/05", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        TDateTime v = 0;
        EXPECT_EQ(TryParseIsoDateTime(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_NEAR(v, c.value, 1e-9) << c.text;
        }
    }
}

TEST(DateTime, UnixRoundTrip) {
    TDateTime dt = EncodeDateTime(2026, 7, 1, 12, 0, 0);
    EXPECT_NEAR(UnixToLocalDateTime(LocalDateTimeToUnix(dt)), dt, 1e-9);
}

TEST(Clock, FixedClockIsInstalledForAScope) {
    auto fixed = std::make_shared<FixedClock>(EncodeDateTime(2044, 1, 1, 0, 0, 0));
    {
        ScopedClock scope(fixed);
        EXPECT_DOUBLE_EQ(Now(), EncodeDate(2044, 1, 1));
        fixed->AdvanceSeconds(90);
        EXPECT_EQ(FormatIsoDateTime(Now()), "2044-01-01 00:01:30");
    }
    EXPECT_GT(Now(), EncodeDate(2020, 1, 1));
    EXPECT_LT(Now(), EncodeDate(2044, 1, 1));
}

TEST(Random, ManyThreadsDrawFromOneSource) {
    std::vector<std::thread> threads;
    std::vector<std::string> out(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i)
                out[t] += RandomString("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 1);
        });
    for (auto& t : threads)
        t.join();
    std::set<char> seen;
    for (auto& s : out)
        for (char c : s) {
            ASSERT_GE(c, 'A');
            ASSERT_LE(c, 'Z');
            seen.insert(c);
        }
    EXPECT_EQ(seen.size(), 26u);
}

TEST(Text, SplitKeepsEmptyFields) {
    EXPECT_EQ(Split("a##b#", '#'), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(Split("", '#'), (std::vector<std::string>{""}));
    EXPECT_EQ(ParseInt32("-1"), -1);
    EXPECT_FALSE(ParseInt32("1x"));
    EXPECT_FALSE(ParseInt32("+-5"));
    EXPECT_FALSE(ParseInt32("-"));
    EXPECT_EQ(ParseInt32("+7"), 7);
    EXPECT_FALSE(ParseInt32("99999999999"));
    EXPECT_EQ(Utf16Length("a任务😀"), 5u);
}

class AtomicWrite : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ot_atomic_" + RandomString("abcdefghijklmnop", 10));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(AtomicWrite, ReplacesContentAndLeavesNoTemporaryFile) {
    fs::path f = dir / "a.txt";
    ASSERT_TRUE(WriteFileAtomic(f, "first"));
    ASSERT_TRUE(WriteFileAtomic(f, "second", 0600));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(f, got));
    EXPECT_EQ(got, "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(AtomicWrite, FailureLeavesTheTargetAlone) {
    fs::path f = dir / "missing-dir" / "a.txt";
    std::string err;
    EXPECT_FALSE(WriteFileAtomic(f, "x", 0644, &err));
    EXPECT_NE(err.find("missing-dir"), std::string::npos);
    EXPECT_FALSE(fs::exists(f));
}

// The temporary file must not make a name at the file system's limit fail.
TEST_F(AtomicWrite, TargetNameAtTheNameLimitCanBeWritten) {
    const fs::path f = dir / std::string(255, 'n');
    ASSERT_TRUE(WriteFileAtomic(f, "first"));
    ASSERT_TRUE(WriteFileAtomic(f, "second"));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(f, got));
    EXPECT_EQ(got, "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// Each kind of operation counts on its own; the N-th fails with the chosen
// errno and leaves nothing behind, the others run.
TEST_F(AtomicWrite, InjectedFileFaultsFailTheNthOperationOfAKind) {
    const fs::path f = dir / "a.txt";
    ASSERT_TRUE(WriteFileAtomic(f, "old"));
    {
        TFileFaultInjector fault(TFileOp::Create, 1, ENOSPC);
        EXPECT_TRUE(WriteFileAtomic(dir / "b.txt", "b"));
        std::string err;
        EXPECT_FALSE(WriteFileAtomic(f, "new", 0644, &err));
        EXPECT_NE(err.find(std::strerror(ENOSPC)), std::string::npos) << err;
        EXPECT_TRUE(fault.Fired());
        EXPECT_TRUE(WriteFileAtomic(dir / "c.txt", "c"));
        EXPECT_EQ(fault.Seen(), 3);
    }
    {
        TFileFaultInjector fault(TFileOp::Rename, 0, EACCES);
        EXPECT_FALSE(WriteFileAtomic(f, "new"));
        EXPECT_TRUE(RenameFile(dir / "b.txt", dir / "d.txt"));
    }
    std::string got;
    ASSERT_TRUE(ReadWholeFile(f, got));
    EXPECT_EQ(got, "old");
    {
        TFileFaultInjector fault(TFileOp::Remove, 0, EACCES, true);
        errno = 0;
        EXPECT_FALSE(RemoveFile(dir / "c.txt"));
        EXPECT_EQ(errno, EACCES);
        EXPECT_FALSE(RemoveFile(dir / "d.txt")) << "a sticky fault stays";
        EXPECT_TRUE(fs::exists(dir / "c.txt"));
    }
    {
        TFileFaultInjector fault(TFileOp::MakeDir, 0, ENOSPC);
        EXPECT_FALSE(MakeDirectories(dir / "x" / "y"));
        EXPECT_FALSE(fs::exists(dir / "x"));
        EXPECT_TRUE(MakeDirectories(dir / "x" / "y"));
    }
    EXPECT_TRUE(RemoveFile(dir / "c.txt"));
    // a.txt, d.txt and x: no temporary file is left by the failed writes.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
}

TEST(Text, MarkupEscaping) {
    struct Case {
        const char* in;
        const char* text;      // character data
        const char* attribute; // with quotes
    };
    const Case cases[] = {
        {"", "", ""},
        {"plain words", "plain words", "plain words"},
        {"a & b < c > d", "a &amp; b &lt; c &gt; d", "a &amp; b &lt; c &gt; d"},
        {"\"quoted\" 'single'", "\"quoted\" 'single'", "&quot;quoted&quot; &#39;single&#39;"},
        {"&amp;", "&amp;amp;", "&amp;amp;"},
        {"任务 <x>", "任务 &lt;x&gt;", "任务 &lt;x&gt;"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MarkupEscaped(c.in, false), c.text) << c.in;
        EXPECT_EQ(MarkupEscaped(c.in, true), c.attribute) << c.in;
    }
    std::string out = "<r>";
    AppendMarkupEscaped(out, "1 < 2", false);
    EXPECT_EQ(out, "<r>1 &lt; 2");
}

// The tree lock keeps a second process out until the first lets go, and
// within one process is taken again without waiting.
TEST(TreeLock, ExcludesOtherProcessesAndIsReentrant) {
    const fs::path dir = fs::temp_directory_path() / ("ot-tree-lock-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string lockFile = (dir / "otTodolist.lock").string();
    const std::string marker = (dir / "child-held-it").string();

    std::optional<TTreeLock> held(std::in_place, lockFile);
    ASSERT_TRUE(held->Held());
    std::optional<TTreeLock> again(std::in_place, lockFile); // this process: no wait
    EXPECT_TRUE(again->Held());

    const pid_t child = ::fork();
    if (child == 0) {
        bool waited = false;
        TTreeLock theirs(lockFile, [&] { waited = true; });
        const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT, 0600);
        ::_exit(theirs.Held() && waited && fd >= 0 ? 0 : 1);
    }
    const auto childGotIt = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return fs::exists(marker);
    };
    EXPECT_FALSE(childGotIt());
    held.reset();
    EXPECT_FALSE(childGotIt()) << "taken again in this process, it must still be held";
    again.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(fs::exists(marker));
    fs::remove_all(dir);
}
