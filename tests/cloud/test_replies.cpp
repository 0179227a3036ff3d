#include "cloud/CommonUtility.h"
#include "cloud/JSONUtility.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanFile.h"

#include <gtest/gtest.h>

using namespace ot;

TEST(JSONUtility, FlattensMembersInOrder) {
    auto list = TJSONUtility::Parse(
        R"({"z":"last?","a":"x\"y\u00e9\n","n":1.50,"big":3000000000,"neg":-7,"e":1E3,)"
        R"("arr":[1, {"k":"v","d":2.0}, "s"],"obj":{"in":1},"t":true,"f":false,"nul":null})");
    ASSERT_TRUE(list);
    EXPECT_EQ(*list,
              (TParamList{"z=last?", "a=x\"yé\n", "n=1.50", "big=3000000000", "neg=-7", "e=1E3",
                          R"(arr=[1,{"k":"v","d":2.0},"s"])", "obj=", "t=", "f=", "nul="}));
}

TEST(JSONUtility, EmptyTextsAndWrongShapes) {
    EXPECT_FALSE(TJSONUtility::Parse(""));
    EXPECT_FALSE(TJSONUtility::ParseJsonArray(""));
    EXPECT_FALSE(TJSONUtility::ParseJsonArray("[]"));
    EXPECT_EQ(TJSONUtility::Parse("{}")->size(), 0u);
    for (const char* bad : {"<html>502 Bad Gateway</html>", "{\"a\":1", "{\"a\":1} x", "[1]",
                            "\"text\"", "42", "{\"a\":\"\xff\"}"})
        EXPECT_THROW(TJSONUtility::Parse(bad), TKuaipanIOException) << bad;
    for (const char* bad : {"{}", "[1]", "[[]]", "[{}, 2]", "[{"})
        EXPECT_THROW(TJSONUtility::ParseJsonArray(bad), TKuaipanIOException) << bad;
}

TEST(JSONUtility, ArrayTextReadsBack) {
    auto outer = TJSONUtility::Parse(R"({"files":[{"name":"a","size":5},{"name":"b","x":[1]}]})");
    auto items = TJSONUtility::ParseJsonArray(GetValueByName(outer, "files"));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0], (TParamList{"name=a", "size=5"}));
    EXPECT_EQ((*items)[1], (TParamList{"name=b", "x=[1]"}));
}

TEST(CommonUtility, LookupsIgnoreLetterCaseOfNames) {
    TParamList list{"MSG=first", "msg=second", "novalue", "k=a=b"};
    EXPECT_EQ(GetValueByName(list, "msg"), "first");
    EXPECT_EQ(GetValueByName(list, "k"), "a=b");
    EXPECT_EQ(GetValueByName(list, "novalue"), "");
    EXPECT_EQ(GetValueByName(list, "absent"), "");
    EXPECT_EQ(GetValueByName(std::optional<TParamList>(), "msg"), "");
}

TEST(CommonUtility, SafeConversions) {
    struct BoolCase {
        const char* text;
        bool value;
    } bools[] = {{"True", true}, {"tRUE", true}, {"False", false}, {"1", true}, {"0", false},
                 {"-2", true},   {"0.0", false}, {"0.5", true},    {"", false}, {"yes", false},
                 {"inf", false}, {"0x1", false}, {" 1", false}, {"5.", true},    {".5", true},
                 {".", false},   {"1e", false},  {"2E+3", true},   {"0e5", false}, {"+", false},
                 {"1.2.3", false}, {"1 ", false}};
    for (const auto& c : bools)
        EXPECT_EQ(SafeStrToBool(c.text), c.value) << c.text;

    EXPECT_EQ(SafeStrToInt("42"), 42);
    EXPECT_EQ(SafeStrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(SafeStrToInt("3000000000"), 0);
    EXPECT_EQ(SafeStrToInt("12a"), 0);
    EXPECT_EQ(SafeStrToInt(""), 0);
    EXPECT_EQ(SafeStrToInt64("3000000000"), 3000000000LL);
    EXPECT_EQ(SafeStrToInt64("99999999999999999999"), 0);

    EXPECT_EQ(SafeStrToDateTime("2016-03-05 12:34:56"), EncodeDateTime(2016, 3, 5, 12, 34, 56));
    EXPECT_EQ(SafeStrToDateTime("05/03/2016 12:34"), 0);
    EXPECT_EQ(SafeStrToDateTime("2016-02-30 00:00:00"), 0);
    EXPECT_EQ(SafeStrToDateTime(""), 0);
}

TEST(KuaipanFile, RecordsFromReplies) {
    auto folder =
        TKuaipanFile(TJSONUtility::Parse(R"({"file_id":"7","type":"folder","files":[]})"));
    EXPECT_EQ(folder.file_id, "7");
    EXPECT_EQ(folder.ftype, "folder");
    EXPECT_TRUE(folder.files.empty());

    auto listing = TKuaipanFile(TJSONUtility::Parse(
        R"({"file_id":"7","type":"folder","files":[{"name":"a","type":"file",)"
        R"("modify_time":"2016-03-05 08:00:01","is_deleted":"True","size":12}]})"));
    ASSERT_EQ(listing.files.size(), 1u);
    EXPECT_EQ(listing.files[0].name, "a");
    EXPECT_EQ(listing.files[0].ftype, "file");
    EXPECT_EQ(listing.files[0].modify_time, EncodeDateTime(2016, 3, 5, 8, 0, 1));
    EXPECT_TRUE(listing.files[0].is_deleted);
    EXPECT_EQ(listing.files[0].size, 12);

    struct Case {
        const char* reply;
        bool deleted;
        int size;
        const char* ftype;
    } cases[] = {
        {R"({"is_deleted":true,"size":3000000000,"type":"file"})", false, 0, "file"},
        {R"({"is_deleted":"1","size":"5"})", true, 5, ""},
        {R"({"is_deleted":"false","size":-1,"type":"folder"})", false, -1, "folder"},
    };
    for (const auto& c : cases) {
        TKuaipanFile f(TJSONUtility::Parse(c.reply));
        EXPECT_EQ(f.is_deleted, c.deleted) << c.reply;
        EXPECT_EQ(f.size, c.size) << c.reply;
        EXPECT_EQ(f.ftype, c.ftype) << c.reply;
    }

    // A failed call: an error reply or none at all.
    EXPECT_EQ(TKuaipanFile(TJSONUtility::Parse(R"({"msg":"file not exist"})")).file_id, "");
    EXPECT_EQ(TKuaipanFile(std::nullopt).ftype, "");
    EXPECT_EQ(TKuaipanFile().ftype, "file");
    // "files" that is not an array of objects is a malformed reply.
    EXPECT_THROW(TKuaipanFile(TJSONUtility::Parse(R"({"files":"x"})")), TKuaipanIOException);
}

// The one-pass reader gives the record the flattened lines give, for every
// shape of reply, and refuses what they refuse.
TEST(KuaipanFile, OnePassReadingMatchesTheFlattenedLines) {
    const auto same = [](const TKuaipanFile& a, const TKuaipanFile& b, const auto& self) -> bool {
        if (a.ToString() != b.ToString() || a.data_fingerprint != b.data_fingerprint ||
            a.create_time != b.create_time || a.modify_time != b.modify_time ||
            a.files.size() != b.files.size())
            return false;
        for (std::size_t i = 0; i < a.files.size(); ++i)
            if (!self(a.files[i], b.files[i], self))
                return false;
        return true;
    };
    for (const char* reply : {
             "",
             "{}",
             R"({"file_id":"7","type":"folder","files":[]})",
             R"({"file_id":"7","type":"folder","data_fingerprint":"fp","files":[)"
             R"({"name":"a","type":"file","file_id":"8","rev":"3","hash":"h","size":12,)"
             R"("create_time":"2016-03-05 08:00:00","modify_time":"2016-03-05 08:00:01"},)"
             R"({"name":"b\u4e2d","x":{"files":[1]},"y":[{"a":1}],"is_deleted":"True"}]})",
             R"({"FILE_ID":"1","File_Id":"2","Name":"up","TYPE":"file"})",
             R"({"name":{"a":1},"rev":null,"hash":true,"size":1.5e3,"is_deleted":"1e0"})",
             R"({"is_deleted":"-0.0","size":"3000000000","modify_time":"not a time"})",
             R"({"files":[],"files":[{"name":"second"}]})",
             R"({"files":"[{\"name\":\"in text\"}]"})",
             R"({"files":null,"files":[{"name":"second"}]})",
             R"({"files":[{"name":"a","files":[{"name":"deeper"}]}]})",
             "\xEF\xBB\xBF{\"name\":\"after a byte order mark\"}",
             R"( { "name" : "e\u00e9\ud83d\ude00\/\"\\\b\f\n\r\t" , "size" : -0 } )",
             R"({"size":12345678901234567890,"rev":-12,"hash":1E+2,"path":0.5e-3,"root":[]})",
             R"({"name":"\u0000nul","x":[[[[{"files":[]}]]]],"file_id":"中"})",
         }) {
        const TKuaipanFile flat(TJSONUtility::Parse(reply));
        const TKuaipanFile direct = TKuaipanFile::FromReply(reply);
        EXPECT_TRUE(same(flat, direct, same)) << reply << "\n" << flat.ToString() << "\n"
                                              << direct.ToString();
    }
    for (const char* bad :
         {"<html>502</html>", "[{}]", "42", R"({"files":[1]})", R"({"files":[[]]})",
          R"({"files":"x"})", R"({"files":5})", R"({"file_id":"7")", R"({"a":1} x)",
          R"({"a":"\ud800"})", R"({"a":"\udc00x"})", R"({"a":"\x"})", "{\"a\":\"\t\"}",
          R"({"a":01})", R"({"a":1.})", R"({"a":-})", R"({"a":1,})", R"({"files":[{},]})",
          "{\"a\":\"\xff\"}", "{\"a\":\"\xc0\xaf\"}", "{\"a\":\"\xed\xa0\x80\"}", R"({"a":tru})",
          R"({"a" 1})", R"({a:1})", "{\"a\":\"open"}) {
        EXPECT_THROW(TKuaipanFile(TJSONUtility::Parse(bad)), TKuaipanIOException) << bad;
        EXPECT_THROW(TKuaipanFile::FromReply(bad), TKuaipanIOException) << bad;
    }
}

TEST(KuaipanFile, TextForms) {
    TKuaipanFile f;
    f.file_id = "7";
    f.name = "Work";
    f.path = "/Work";
    EXPECT_EQ(f.ToString(),
              "\nfile_id=7\nname=Work\nhash=\nroot=\npath=/Work\nrev=\ntype=file\nis_deleted="
              "False\nsize=0");
    f.modify_time = EncodeDateTime(2016, 3, 5, 8, 0, 1);
    f.is_deleted = true;
    EXPECT_EQ(f.ToString(), "\nfile_id=7\nname=Work\nhash=\nroot=\npath=/Work\nrev=\nmodify_time="
                            "2016-03-05 08:00:01\ntype=file\nis_deleted=True\nsize=0");

    TKuaipanUser u(TJSONUtility::Parse(R"({"user_id":3000000000,"user_name":"amy",)"
                                       R"("max_file_size":"x","quota_total":10,)"
                                       R"("quota_used":4,"quota_recycled":1})"));
    EXPECT_EQ(u.user_id, 3000000000LL);
    EXPECT_EQ(u.ToString(), "\nuser_id=3000000000\nuser_name=amy\nmax_file_size=0\nquota_total="
                            "10\nquota_used=4\nquota_recycled=1");

    TKuaipanPublicLink l(TJSONUtility::Parse(R"({"url":"http://s/x","access_code":"ab"})"));
    EXPECT_EQ(l.ToString(), "\nurl=http://s/x\naccess_code=ab");
    EXPECT_EQ(TKuaipanPublicLink().ToString(), "\nurl=\naccess_code=");
}
