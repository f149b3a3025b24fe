// Attributes files on real temporary directories.
#include "KeyValueStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <map>

#include "store_testutil.h"
#include "tempdir.h"

using storetest::LogCapture;
using Map = std::map<std::string, std::string>;

namespace {

KeyValueStore LoadText(const kstest::TempDir& dir, const std::string& text) {
    std::string path = dir / "attrs";
    EXPECT_TRUE(kstest::WriteFile(path, text));
    return KeyValueStore(path.c_str());
}

TEST(KeyValueStoreParsing, LinesYieldTheseEntries) {
    struct Case {
        const char* name;
        const char* text;
        Map expected;
    } cases[] = {
        {"blanks around key, equals and value",
         "  KEY \t=  some value \t\n",
         {{"KEY", "some value"}}},
        {"equals inside the value", "A=B=C\n", {{"A", "B=C"}}},
        {"comment", "#A=1\nB=2\n", {{"B", "2"}}},
        {"hash after a blank is a key", " #A=1\n", {{"#A", "1"}}},
        {"empty value", "A=\n", {{"A", ""}}},
        {"last duplicate wins", "K=1\nK=2\n", {{"K", "2"}}},
        {"lines shorter than three characters", "A\n\nB=\n", {{"B", ""}}},
        {"no equals sign", "  lonely word \nX=1\n", {{"lonely word", ""}, {"X", "1"}}},
        {"blank line of spaces", "     \nX=1\n", {{"X", "1"}}},
        {"line without key", " = value\n", {}},
        {"carriage return trimmed", "A=1\r\nB=2\r\n", {{"A", "1"}, {"B", "2"}}},
        {"last line without newline", "A=1\nBB=2", {{"A", "1"}, {"BB", "2"}}},
        {"two characters at the end", "A=1\nB=", {{"A", "1"}}},
    };
    for (const Case& c : cases) {
        kstest::TempDir dir;
        KeyValueStore kv = LoadText(dir, c.text);
        EXPECT_EQ(kv.entries, c.expected) << c.name;
        EXPECT_FALSE(kv.modified) << c.name;
    }
}

TEST(KeyValueStoreParsing, OverLongLineIsReadLikeAnyOther) {
    kstest::TempDir dir;
    std::string text = "A=1\nB=" + std::string(3000, 'x') + "\nC=3\n";
    KeyValueStore kv = LoadText(dir, text);
    EXPECT_EQ(kv.entries, (Map{{"A", "1"}, {"B", std::string(3000, 'x')}, {"C", "3"}}))
        << "the entries after the long line are read too";
}

TEST(KeyValueStoreParsing, LoadKeepsEntriesNotInTheFile) {
    kstest::TempDir dir;
    std::string path = dir / "attrs";
    kstest::WriteFile(path, "A=file\n");
    KeyValueStore kv;
    kv.Add("A", "memory");
    kv.Add("Z", "memory");
    kv.Load(path.c_str());
    EXPECT_EQ(kv.entries, (Map{{"A", "file"}, {"Z", "memory"}}));
    EXPECT_FALSE(kv.modified);
    EXPECT_EQ(kv.filename, path);
}

TEST(KeyValueStoreGetters, ConvertValuesOrGiveTheDefault) {
    kstest::TempDir dir;
    KeyValueStore kv =
        LoadText(dir, "ZERO=0\nTWO=2\nTEXT=abc\nNUM=12abc\nNEG=-5\nHEX=0xFFFFFFFF\nHEX2=ff\n"
                      "DBL=2.5\nEMPTY=\n");
    EXPECT_FALSE(kv.GetBOOL("ZERO", true));
    EXPECT_TRUE(kv.GetBOOL("TWO", false));
    EXPECT_FALSE(kv.GetBOOL("TEXT", true));
    EXPECT_TRUE(kv.GetBOOL("EMPTY", true));
    EXPECT_EQ(kv.GetInt("NUM", 7), 12);
    EXPECT_EQ(kv.GetInt("NEG", 7), -5);
    EXPECT_EQ(kv.GetInt("TEXT", 7), 0);
    EXPECT_EQ(kv.GetInt("EMPTY", 7), 7);
    EXPECT_EQ(kv.GetHex("HEX", 1), 0xFFFFFFFFu);
    EXPECT_EQ(kv.GetHex("HEX2", 1), 0xFFu);
    EXPECT_EQ(kv.GetHex("EMPTY", 0x42), 0x42u);
    EXPECT_DOUBLE_EQ(kv.GetDouble("DBL", 0), 2.5);
    EXPECT_DOUBLE_EQ(kv.GetDouble("MISSING", 1.25), 1.25);
    EXPECT_EQ(kv.GetString("TEXT", "d"), "abc");
    EXPECT_EQ(kv.GetString("ABSENT", "d"), "d");
    EXPECT_EQ(kv.GetString("ABSENT", nullptr), "");
    EXPECT_STREQ(kv["TEXT"], "abc");
    EXPECT_EQ(kv["NOPE"], nullptr);
}

TEST(KeyValueStoreGetters, TypedGettersInsertAbsentKeysOthersDoNot) {
    kstest::TempDir dir;
    std::string path = dir / "attrs";
    KeyValueStore kv;
    kv.Add("A", "1");
    kv.Save(path.c_str());
    kv.GetInt("I", 0);
    kv.GetHex("H", 0);
    kv.GetBOOL("B", false);
    kv.GetDouble("D", 0);
    kv.GetString("S", "x");
    EXPECT_EQ(kv["Q"], nullptr);
    EXPECT_FALSE(kv.modified) << "an inserting lookup does not mark the store modified";
    EXPECT_EQ(kv.entries.count("S"), 0u);
    EXPECT_EQ(kv.entries.count("Q"), 0u);
    kv.Save(nullptr);
    std::string text = kstest::ReadFile(path);
    EXPECT_EQ(text.substr(0, 16), "A=1\nB=\nD=\nH=\nI=\n") << text;
    EXPECT_EQ(text.find("S="), std::string::npos);
}

TEST(KeyValueStoreAdd, StoresTextAndMarksModifiedOnlyOnChange) {
    KeyValueStore kv;
    struct Step {
        const char* name;
        bool (*add)(KeyValueStore&);
        const char* key;
        const char* stored;
        bool modified;
    } steps[] = {
        {"int", [](KeyValueStore& k) { return k.Add("I", -42); }, "I", "-42", true},
        {"same int again", [](KeyValueStore& k) { return k.Add("I", -42); }, "I", "-42", false},
        {"same text as the int", [](KeyValueStore& k) { return k.Add("I", "-42"); }, "I", "-42",
         false},
        {"double", [](KeyValueStore& k) { return k.Add("D", 1.5); }, "D", "1.500000", true},
        {"hex", [](KeyValueStore& k) { return k.AddHex("H", 0xABCD); }, "H", "0x0000ABCD", true},
        {"std::string",
         [](KeyValueStore& k) {
             std::string s = "txt";
             return k.Add("S", s);
         },
         "S", "txt", true},
        {"empty text to an absent key", [](KeyValueStore& k) { return k.Add("E", ""); }, "E", "",
         false},
        {"null text",
         [](KeyValueStore& k) { return k.Add("S", static_cast<const char*>(nullptr)); }, "S", "",
         true},
    };
    for (const Step& s : steps) {
        kv.modified = false;
        EXPECT_TRUE(s.add(kv)) << s.name;
        EXPECT_STREQ(kv[s.key], s.stored) << s.name;
        EXPECT_EQ(kv.modified, s.modified) << s.name;
    }
}

TEST(KeyValueStoreAdd, MergeAndClearMarkModified) {
    KeyValueStore a, b;
    a.Add("X", "1");
    a.Add("Y", "a");
    b.Add("Y", "a");
    b.Add("Z", "b");
    a.modified = false;
    EXPECT_TRUE(a.Add(b));
    EXPECT_TRUE(a.modified) << "every copied entry marks the store";
    EXPECT_EQ(a.entries, (Map{{"X", "1"}, {"Y", "a"}, {"Z", "b"}}));
    a.modified = false;
    KeyValueStore none;
    a.Add(none);
    EXPECT_FALSE(a.modified);
    EXPECT_TRUE(a.Clear());
    EXPECT_TRUE(a.entries.empty());
    EXPECT_TRUE(a.modified);
}

// "Www Mmm dd hh:mm:ss yyyy" of a time within the last minute.
void ExpectRecentStamp(const std::string& stamp) {
    ASSERT_EQ(stamp.size(), 24u) << stamp;
    struct tm tm {};
    ASSERT_NE(strptime(stamp.c_str(), "%a %b %d %H:%M:%S %Y", &tm), nullptr) << stamp;
    tm.tm_isdst = -1;
    double age = difftime(time(nullptr), mktime(&tm));
    EXPECT_LE(age, 60) << stamp;
    EXPECT_GE(age, -60) << stamp;
}

TEST(KeyValueStoreFile, LoadOfAMissingFileCreatesItWithTwoStamps) {
    kstest::TempDir dir;
    std::string path = dir / ".settings";
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv(path.c_str());
    EXPECT_NE(
        log.Text().find("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"),
        std::string::npos)
        << log.Text();
    std::string text = kstest::ReadFile(path);
    size_t nl1 = text.find('\n');
    ASSERT_NE(nl1, std::string::npos) << text;
    ASSERT_EQ(text.compare(0, 13, "CREATED_TIME="), 0) << text;
    ASSERT_EQ(text.compare(nl1 + 1, 13, "UPDATED_TIME="), 0) << text;
    ASSERT_EQ(text.back(), '\n');
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    ExpectRecentStamp(text.substr(13, nl1 - 13));
    ExpectRecentStamp(text.substr(nl1 + 14, text.size() - nl1 - 15));
    EXPECT_FALSE(kv.modified);
    EXPECT_EQ(kv.filename, path);
}

TEST(KeyValueStoreFile, SaveWritesSortedLinesAndStampsOnlyAfterAChange) {
    kstest::TempDir dir;
    std::string path = dir / "attrs";
    kstest::WriteFile(path, "# kept out on save\nb=2\n  a = 1 \n");
    KeyValueStore kv(path.c_str());
    kv.Save(nullptr);
    EXPECT_EQ(kstest::ReadFile(path), "a=1\nb=2\n") << "unchanged: no UPDATED_TIME";
    kv.Add("b", "2");
    kv.Save(nullptr);
    EXPECT_EQ(kstest::ReadFile(path), "a=1\nb=2\n") << "same value is no change";
    kv.Add("B", "x");
    kv.Save(nullptr);
    std::string text = kstest::ReadFile(path);
    EXPECT_EQ(text.substr(0, 17), "B=x\nUPDATED_TIME=") << text;
    EXPECT_EQ(text.substr(text.size() - 8), "a=1\nb=2\n");
    EXPECT_FALSE(kv.modified);
    EXPECT_EQ(storetest::ListNames(dir.path()), (std::set<std::string>{"attrs"}))
        << "no temporary file left";
}

TEST(KeyValueStoreFile, SaveWithoutAnyNameUsesDotSettingsInTheCurrentDirectory) {
    kstest::TempDir dir;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("K", 1);
    kv.Save(nullptr);
    std::string text = kstest::ReadFile(".settings");
    EXPECT_EQ(chdir(old), 0);
    EXPECT_EQ(kv.filename, ".settings");
    EXPECT_EQ(text.substr(0, 4), "K=1\n");
    EXPECT_NE(
        log.Text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
        std::string::npos);
}

TEST(KeyValueStoreFile, FailedSaveIntoAMissingDirectoryIsLoggedAndKeepsModified) {
    kstest::TempDir dir;
    kstest::WriteFile(dir / "plainfile", "x");
    std::string path =
        dir / "plainfile/attrs"; // a path component that is a file: fails for root too
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("K", 1);
    kv.Save(path.c_str());
    EXPECT_TRUE(kv.modified);
    EXPECT_NE(log.Text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                              path + "' (20)\n"),
              std::string::npos)
        << log.Text();
    EXPECT_EQ(kstest::ReadFile(dir / "plainfile"), "x");
}

// Saves into a tiny private tmpfs that is then made read-only or filled up
// (needs root to mount), or past a file size limit (anyone); the earlier file
// must survive byte for byte.
class KeyValueStoreAtomicSave : public ::testing::TestWithParam<const char*> {};

TEST_P(KeyValueStoreAtomicSave, FailedSaveLeavesTheOldFileIntact) {
    kstest::TempDir dir;
    const std::string mode = GetParam();
    if (storetest::WriteFailure::NeedsRoot(mode) && geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a private tmpfs";
    storetest::WriteFailure failure(mode, dir.path(), 64 * 1024);
    ASSERT_EQ(failure.error(), "");
    std::string path = dir / ".settings";
    KeyValueStore kv;
    kv.Add("LATEST_DOWNLOAD", "123.bird");
    kv.Save(path.c_str());
    const std::string before = kstest::ReadFile(path);
    ASSERT_FALSE(before.empty());

    kv.Add("LATEST_DOWNLOAD", "124.bird");
    kv.Add("BIG", std::string(20000, 'v').c_str());
    LogCapture log(DEBUG_Attributes);
    ASSERT_TRUE(failure.During(4096, [&] { kv.Save(nullptr); }));
    EXPECT_EQ(kstest::ReadFile(path), before) << mode;
    EXPECT_TRUE(kv.modified);
    EXPECT_NE(log.Text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                              path + "'"),
              std::string::npos)
        << log.Text();
    for (const std::string& name : storetest::ListNames(dir.path()))
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << "temporary file left: " << name;
}

INSTANTIATE_TEST_SUITE_P(Failures, KeyValueStoreAtomicSave,
                         ::testing::Values("read-only", "full", "file-size-limit"),
                         storetest::WriteFailure::Name);

} // namespace
