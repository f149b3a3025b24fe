#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "qDirectory.h"
#include <fstream>

#include "tempdir.h"

namespace fs = std::filesystem;

namespace {

TEST(DirectoryEnsure, CreatesEveryMissingAncestor) {
    kstest::TempDir dir;
    std::string path = dir.sub("a/b/c");
    EXPECT_FALSE(qDirectory_Exists(dir.sub("a").c_str()));
    EXPECT_EQ(qDirectory_Ensure(path.c_str(), 0755), qErrNone);
    EXPECT_TRUE(fs::is_directory(dir.sub("a")));
    EXPECT_TRUE(fs::is_directory(dir.sub("a/b")));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(qDirectory_Exists(path.c_str()));
    struct stat st;
    ASSERT_EQ(stat(dir.sub("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0700, 0700u);
    // Already there: succeeds again.
    EXPECT_EQ(qDirectory_Ensure(path.c_str(), 0755), qErrNone);
}

TEST(DirectoryEnsure, ToleratesDoubledAndTrailingSeparators) {
    kstest::TempDir dir;
    std::string path = dir.path() + "//x///y/";
    EXPECT_EQ(qDirectory_Ensure(path.c_str(), 0755), qErrNone);
    EXPECT_TRUE(fs::is_directory(dir.sub("x/y")));
}

TEST(DirectoryEnsure, FailsWhenAFileIsInTheWay) {
    kstest::TempDir dir;
    dir.write("file", "x");
    EXPECT_EQ(qDirectory_Ensure(dir.sub("file").c_str(), 0755), qErrPermission);
    EXPECT_EQ(qDirectory_Ensure(dir.sub("file/below").c_str(), 0755), qErrPermission);
    EXPECT_EQ(kstest::ReadFile(dir.sub("file")), "x");
    EXPECT_EQ(qDirectory_Ensure(nullptr, 0755), qErrParam);
    EXPECT_EQ(qDirectory_Ensure("", 0755), qErrParam);
}

TEST(DirectoryExists, OnlyForDirectories) {
    kstest::TempDir dir;
    dir.write("f", "");
    EXPECT_TRUE(qDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(qDirectory_Exists(dir.sub("f").c_str()));
    EXPECT_FALSE(qDirectory_Exists(dir.sub("none").c_str()));
    EXPECT_FALSE(qDirectory_Exists(nullptr));
}

struct Listed {
    std::map<std::string, std::pair<uint32_t, int>> entries; // name -> size, isDirectory
    int calls = 0;
    int stopAfter = -1;
};

bool collect(const qDirectoryListData* d, void* ref) {
    Listed* l = static_cast<Listed*>(ref);
    l->entries[d->pathName] = {d->fileSize, d->isDirectory};
    ++l->calls;
    return l->stopAfter < 0 || l->calls < l->stopAfter;
}

TEST(DirectoryList, PassesEveryEntryWithFullPathSizeAndKind) {
    kstest::TempDir dir;
    dir.write("small", "abc");
    dir.write("big", std::string(5000, 'b'));
    fs::create_directory(dir.sub("sub"));
    dir.write("sub/hidden", "not listed");
    Listed l;
    EXPECT_EQ(qDirectory_List(dir.path().c_str(), collect, &l), qErrNone);
    EXPECT_EQ(l.calls, 5);
    ASSERT_EQ(l.entries.count(dir.sub("small")), 1u);
    EXPECT_EQ(l.entries[dir.sub("small")], std::make_pair(3u, 0));
    EXPECT_EQ(l.entries[dir.sub("big")], std::make_pair(5000u, 0));
    EXPECT_EQ(l.entries[dir.sub("sub")].second, 1);
    EXPECT_EQ(l.entries.count(dir.sub(".")), 1u);
    EXPECT_EQ(l.entries.count(dir.sub("..")), 1u);
    EXPECT_EQ(l.entries.count(dir.sub("sub/hidden")), 0u);
}

TEST(DirectoryList, StopsWhenTheCallbackSaysSo) {
    kstest::TempDir dir;
    dir.write("one", "");
    dir.write("two", "");
    Listed l;
    l.stopAfter = 2;
    EXPECT_EQ(qDirectory_List(dir.path().c_str(), collect, &l), qErrNone);
    EXPECT_EQ(l.calls, 2);
}

TEST(DirectoryList, RefusesMissingDirectoriesAndNullArguments) {
    kstest::TempDir dir;
    Listed l;
    EXPECT_EQ(qDirectory_List(dir.sub("none").c_str(), collect, &l), qErrNotFound);
    EXPECT_EQ(qDirectory_List(nullptr, collect, &l), qErrParam);
    EXPECT_EQ(qDirectory_List(dir.path().c_str(), nullptr, &l), qErrParam);
    EXPECT_EQ(l.calls, 0);
}

TEST(DirectoryList, LeavesOutEntriesWhosePathWouldBeCut) {
    kstest::TempDir dir;
    // A directory whose path leaves room for short names only.
    std::string deep = dir.path();
    while (deep.size() < qDIR_LIST_PATH_SIZE - 260) {
        deep += "/" + std::string(200, 'd');
    }
    deep += "/" + std::string(qDIR_LIST_PATH_SIZE - 20 - deep.size(), 'e');
    ASSERT_TRUE(fs::create_directories(deep));
    std::string shortName = deep + "/s";
    std::string longName = deep + "/" + std::string(40, 'L');
    std::ofstream(shortName) << "x";
    std::ofstream(longName) << "x";
    // A cut path could name the short file; it must not be passed instead.
    Listed l;
    EXPECT_EQ(qDirectory_List(deep.c_str(), collect, &l), qErrFileNameLength);
    EXPECT_EQ(l.entries.count(shortName), 1u);
    EXPECT_EQ(l.calls, 3); // ".", "..", "s"
}

TEST(DirectoryDeleteTree, RemovesEverythingBelow) {
    kstest::TempDir dir;
    fs::create_directories(dir.sub("t/a/b/c"));
    dir.write("t/f1", "1");
    dir.write("t/a/f2", "2");
    dir.write("t/a/b/c/f3", "3");
    fs::create_directory(dir.sub("t/empty"));
    EXPECT_EQ(qDirectory_DeleteTree(dir.sub("t").c_str()), qErrNone);
    EXPECT_FALSE(fs::exists(dir.sub("t")));
    EXPECT_EQ(qDirectory_DeleteTree(dir.sub("t").c_str()), qErrNotFound);
    EXPECT_EQ(qDirectory_DeleteTree(nullptr), qErrParam);
}

TEST(DirectoryDeleteTree, RemovesLinksWithoutFollowingThem) {
    kstest::TempDir dir;
    fs::create_directories(dir.sub("keep/inner"));
    dir.write("keep/precious", "data");
    dir.write("keep/inner/also", "data");
    fs::create_directory(dir.sub("t"));
    fs::create_directory_symlink(dir.sub("keep"), dir.sub("t/link"));
    fs::create_symlink(dir.sub("keep/precious"), dir.sub("t/filelink"));
    EXPECT_EQ(qDirectory_DeleteTree(dir.sub("t").c_str()), qErrNone);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.sub("t"))));
    EXPECT_EQ(kstest::ReadFile(dir.sub("keep/precious")), "data");
    EXPECT_EQ(kstest::ReadFile(dir.sub("keep/inner/also")), "data");
}

TEST(DirectoryDelete, RemovesOnlyEmptyDirectories) {
    kstest::TempDir dir;
    fs::create_directory(dir.sub("e"));
    fs::create_directory(dir.sub("full"));
    dir.write("full/f", "");
    EXPECT_EQ(qDirectory_Delete(dir.sub("e").c_str()), qErrNone);
    EXPECT_FALSE(fs::exists(dir.sub("e")));
    EXPECT_EQ(qDirectory_Delete(dir.sub("full").c_str()), qErrUnknown);
    EXPECT_TRUE(fs::exists(dir.sub("full/f")));
    EXPECT_EQ(qDirectory_Delete(nullptr), qErrParam);
}

struct BuildRow {
    const char* name;
    std::vector<const char*> parts;
    size_t size;
    qErr err;
    std::string result;
};

// Calls qDirectory_BuildPath with up to 11 components from a vector.
qErr build(char* dst, size_t size, const std::vector<const char*>& p) {
    std::vector<const char*> a(p);
    a.resize(12, nullptr);
    return qDirectory_BuildPath(dst, size, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                                a[9], a[10], a[11]);
}

TEST(DirectoryBuildPath, JoinsWithOneSeparatorWithinLimits) {
    const std::vector<BuildRow> rows = {
        {"two plain", {"a", "b"}, 64, qErrNone, "a/b"},
        {"trailing separator", {"a/", "b"}, 64, qErrNone, "a/b"},
        {"leading separator", {"a", "/b"}, 64, qErrNone, "a/b"},
        {"both separators", {"a/", "/b"}, 64, qErrNone, "a//b"},
        {"one component", {"/home/u"}, 64, qErrNone, "/home/u"},
        {"store path",
         {"/home/u", ".quillmar", "updater", "40F5849A"},
         64,
         qErrNone,
         "/home/u/.quillmar/updater/40F5849A"},
        {"ten components",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"},
         64,
         qErrNone,
         "1/2/3/4/5/6/7/8/9/10"},
        {"eleven components",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"},
         64,
         qErrParam,
         ""},
        {"empty start adds no separator", {"", "b"}, 64, qErrNone, "b"},
        // "abc/de" needs 7 bytes; the limit keeps one byte spare.
        {"result of size - 2 characters", {"abc", "de"}, 8, qErrNone, "abc/de"},
        {"result needing exactly size characters", {"abc", "def"}, 8, qErrOverrun, "abc/"},
        {"first too long", {"abcdefg"}, 8, qErrOverrun, ""},
        {"first one short of the limit", {"abcdef"}, 8, qErrNone, "abcdef"},
        {"null first", {nullptr}, 8, qErrParam, ""},
    };
    for (const BuildRow& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<char> area(r.size + 4, '#');
        EXPECT_EQ(build(area.data(), r.size, r.parts), r.err);
        EXPECT_EQ(std::string(area.data()), r.result);
        for (size_t i = r.size; i < area.size(); ++i) {
            ASSERT_EQ(area[i], '#') << "byte " << i << " written past the buffer";
        }
    }
}

TEST(DirectoryBuildPath, RefusesItsOwnBufferAsAComponent) {
    char dst[32] = "abc";
    EXPECT_EQ(qDirectory_BuildPath(dst, sizeof dst, "x", dst, nullptr), qErrParam);
    EXPECT_STREQ(dst, "");
    strcpy(dst, "abc");
    EXPECT_EQ(qDirectory_BuildPath(dst, sizeof dst, dst, nullptr), qErrParam);
    EXPECT_EQ(qDirectory_BuildPath(nullptr, 10, "a", nullptr), qErrParam);
    char untouched = '#';
    EXPECT_EQ(qDirectory_BuildPath(&untouched, 0, "a", nullptr), qErrParam);
    EXPECT_EQ(untouched, '#');
}

TEST(DirectoryJoinPath, JoinsTwo) {
    char dst[16];
    qDirectory_JoinPath(dst, sizeof dst, "dir", "name");
    EXPECT_STREQ(dst, "dir/name");
    qDirectory_JoinPath(dst, 6, "dir", "name");
    EXPECT_STREQ(dst, "dir/"); // cut, but terminated
    qDirectory_JoinPath(dst, 5, "dir", "name");
    EXPECT_STREQ(dst, "dir"); // no room for a separator and more
}

TEST(HomeDirectory, ComesFromThePasswordDatabase) {
    const struct passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr) << "this test needs a password database entry";
    char buf[PATH_MAX];
    EXPECT_EQ(qDirectory_GetHomeDirectory(buf, sizeof buf), qErrNone);
    EXPECT_STREQ(buf, pw->pw_dir);
}

TEST(HomeDirectory, IsAlwaysTerminatedInASmallBuffer) {
    const struct passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    size_t full = strlen(pw->pw_dir);
    ASSERT_GE(full, 2u);
    // One byte too small, and exactly right.
    std::vector<char> area(full + 8, '#');
    EXPECT_EQ(qDirectory_GetHomeDirectory(area.data(), full), qErrOverrun);
    EXPECT_EQ(std::string(area.data()), std::string(pw->pw_dir, full - 1));
    EXPECT_EQ(area[full], '#');
    EXPECT_EQ(qDirectory_GetHomeDirectory(area.data(), full + 1), qErrNone);
    EXPECT_STREQ(area.data(), pw->pw_dir);
    char one = '#';
    EXPECT_EQ(qDirectory_GetHomeDirectory(&one, 1), full == 0 ? qErrNone : qErrOverrun);
    EXPECT_EQ(one, '\0');
    EXPECT_EQ(qDirectory_GetHomeDirectory(nullptr, 10), qErrParam);
    EXPECT_EQ(qDirectory_GetHomeDirectory(&one, 0), qErrParam);
}

TEST(ExecutablePath, NamesThisTestProgram) {
    char buf[PATH_MAX];
    EXPECT_EQ(qDirectory_ExecutableFilePath(buf, sizeof buf), qErrNone);
    std::string expected = fs::canonical("/proc/self/exe").string();
    EXPECT_EQ(std::string(buf), expected);

    std::vector<char> area(8 + 4, '#');
    EXPECT_EQ(qDirectory_ExecutableFilePath(area.data(), 8), qErrOverrun);
    EXPECT_EQ(std::string(area.data()), expected.substr(0, 7));
    EXPECT_EQ(area[8], '#');
    EXPECT_EQ(qDirectory_ExecutableFilePath(nullptr, 8), qErrParam);
}

TEST(WorkingDirectory, MatchesGetcwd) {
    char buf[PATH_MAX];
    EXPECT_EQ(qDirectory_CWD(buf, sizeof buf), qErrNone);
    EXPECT_EQ(fs::path(buf), fs::current_path());
    EXPECT_EQ(qDirectory_CWD(buf, 1), qErrParam);
    EXPECT_EQ(qDirectory_CWD(nullptr, 10), qErrParam);
}

} // namespace
