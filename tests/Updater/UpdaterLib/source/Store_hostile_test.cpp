// The store under hostile files: attributes with lines of any length and NUL
// bytes, attributes that cannot be read whole, a disk too small for a build,
// and temporary files of processes that were interrupted or killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "KeyValueStore.h"
#include "UpdaterStore.h"
#include "bytes.h"
#include "store_testutil.h"
#include "tempdir.h"

namespace {

const char* const SERIAL = "40F5849A";

std::string ModuleDir(const kstest::TempDir& dir) {
    std::string path = dir.sub(SERIAL);
    ::mkdir(path.c_str(), 0755);
    return path;
}

std::set<std::string> Names(const std::string& dir) {
    return storetest::ListNames(dir);
}

// A process id that no longer runs: a child that has ended and been reaped.
pid_t DeadPid() {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

TEST(StoreAttributes, EveryLineIsKeptThroughALoadAndASave) {
    const std::string longValue(3000, 'x');
    const std::string hugeValue(200000, 'y');
    const std::string nul("a\0b", 3);
    const struct {
        const char* name;
        std::string text;
        std::map<std::string, std::string> kept;
    } cases[] = {
        {"a line over 2047 characters before the later keys",
         "LATEST_DOWNLOAD=123.bird\nNOTE=" + longValue +
             "\nLATEST_TRANSFER=122.bird\nCREATED_TIME=Mon Jan  1 00:00:00 2024\n",
         {{"NOTE", longValue},
          {"LATEST_TRANSFER", "122.bird"},
          {"CREATED_TIME", "Mon Jan  1 00:00:00 2024"}}},
        {"a 200000-character line without a final newline",
         "CREATED_TIME=then\nBIG=" + hugeValue,
         {{"CREATED_TIME", "then"}, {"BIG", hugeValue}}},
        {"a NUL byte inside a value",
         "LATEST_TRANSFER=" + nul + "\nCREATED_TIME=then\n",
         {{"LATEST_TRANSFER", nul}, {"CREATED_TIME", "then"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kstest::TempDir root;
        std::string settings = ModuleDir(root) + "/.settings";
        ASSERT_TRUE(kstest::WriteFile(settings, c.text));
        UpdaterStoreItem item(root.path().c_str(), SERIAL, STORE_ITEM_DIRECTORY);
        EXPECT_TRUE(item.attributes.LoadedWhole());
        item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, "124.bird");
        ASSERT_TRUE(item.attributes.Save(nullptr));
        KeyValueStore back(settings.c_str());
        for (const auto& entry : c.kept) {
            ASSERT_NE(back[entry.first.c_str()], nullptr) << entry.first << " was lost";
            EXPECT_BYTES(entry.second, back.entries[entry.first]);
        }
        EXPECT_EQ(back.GetString(UpdaterStore::KEY_LATEST_DOWNLOAD, ""), "124.bird");
    }
}

TEST(StoreAttributes, AFileThatCannotBeReadWholeIsNeverReplaced) {
    kstest::TempDir root;
    const std::string dir = ModuleDir(root);
    const std::string settings = dir + "/.settings";
    const struct {
        const char* name;
        const char* problem;
        void (*make)(const std::string& path);
    } cases[] = {
        {"a FIFO", "not a regular file",
         [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"a directory", "is a directory",
         [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }},
        {"a file of 17 MiB", "larger than 16 MiB",
         [](const std::string& p) {
             int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0600);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::ftruncate(fd, 17 << 20), 0);
             ::close(fd);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::system(("rm -rf '" + settings + "'").c_str());
        c.make(settings);
        struct stat before;
        ASSERT_EQ(::lstat(settings.c_str(), &before), 0);
        UpdaterStoreItem item(root.path().c_str(), SERIAL, STORE_ITEM_DIRECTORY);
        EXPECT_FALSE(item.attributes.LoadedWhole());
        EXPECT_EQ(item.attributes.LoadProblem(), c.problem);
        item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, "124.bird");
        EXPECT_FALSE(item.attributes.Save(nullptr));
        struct stat after;
        ASSERT_EQ(::lstat(settings.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino) << "replaced";
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(Names(dir), (std::set<std::string>{".settings"})) << "a temporary file stayed";
    }
}

TEST(StoreWrite, ABuildThatOnlyPartlyFitsIsNotStored) {
    kstest::TempDir root;
    const std::string dir = ModuleDir(root);
    storetest::PrivateTmpfs disk(dir, 64 * 1024);
    if (!disk.ok())
        GTEST_SKIP() << disk.reason();
    UpdaterStoreItem item(root.path().c_str(), SERIAL, STORE_ITEM_DIRECTORY);
    const std::string old(10000, 'o');
    ASSERT_EQ(
        item.WriteFile("123.bird", reinterpret_cast<const unsigned char*>(old.data()), old.size()),
        qErrNone);
    const std::string settings = kstest::ReadFile(dir + "/.settings");

    const std::vector<unsigned char> big(200 * 1024, 0x5A);
    int osError = 0;
    EXPECT_EQ(item.WriteFile("123.bird", big.data(), big.size(), &osError), qErrIO);
    EXPECT_EQ(osError, ENOSPC);
    EXPECT_BYTES(old, kstest::ReadFile(dir + "/123.bird"));
    EXPECT_BYTES(settings, kstest::ReadFile(dir + "/.settings"));
    EXPECT_EQ(Names(dir), (std::set<std::string>{".settings", "123.bird"}));
}

TEST(StoreWrite, StaleTemporaryFilesOfEndedProcessesAreSwept) {
    kstest::TempDir root;
    const std::string dir = ModuleDir(root);
    const std::string dead = std::to_string(DeadPid());
    const std::string live = "1"; // init always runs
    const std::string self = std::to_string(::getpid());
    const std::set<std::string> swept = {".123.bird.tmp-" + dead + "-0",
                                         ".settings.tmp-" + dead + "-17",
                                         "..x.tmp-1.tmp-" + dead + "-2"};
    const std::set<std::string> kept = {
        ".123.bird.tmp-" + live + "-0", // its process runs
        ".123.bird.tmp-" + self + "-9", // this process: never judged stale
        "123.bird.tmp-" + dead + "-0",  // not a temporary name
        ".123.bird.tmp-" + dead + "-",  // incomplete
        ".123.bird.tmp-" + dead + "-0x", ".123.bird.tmp--0", ".settings"};
    for (const std::string& name : swept)
        ASSERT_TRUE(kstest::WriteFile(dir + "/" + name, "partial"));
    for (const std::string& name : kept)
        ASSERT_TRUE(kstest::WriteFile(dir + "/" + name, "keep"));
    const std::string subdir = ".d.tmp-" + dead + "-0"; // not a file: left alone
    ASSERT_EQ(::mkdir((dir + "/" + subdir).c_str(), 0700), 0);

    UpdaterStoreItem item(root.path().c_str(), SERIAL, STORE_ITEM_DIRECTORY);
    const unsigned char data[] = {1, 2, 3};
    ASSERT_EQ(item.WriteFile("124.bird", data, sizeof data), qErrNone);
    std::set<std::string> expected = kept;
    expected.insert(subdir);
    expected.insert("124.bird");
    EXPECT_EQ(Names(dir), expected);
}

// A child process writes a file and is stopped by a signal mid-write.
TEST(StoreWrite, AnInterruptedWriteLeavesNoTemporaryFile) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        kstest::TempDir root;
        const std::string dir = ModuleDir(root);
        ASSERT_TRUE(kstest::WriteFile(dir + "/123.bird", "old"));
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        if (child == 0) {
            AtomicFileWriter::RemoveTemporariesOnSignals();
            AtomicFileWriter writer(dir + "/123.bird");
            bool ok = writer.Open() && writer.Write("new", 3);
            char c = ok ? 'y' : 'n';
            if (::write(ready[1], &c, 1) != 1)
                ::_exit(3);
            for (int i = 0; i < 600; ++i) // the signal ends this; 60 s at most
                ::usleep(100000);
            ::_exit(2);
        }
        ::close(ready[1]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        ASSERT_EQ(c, 'y');
        EXPECT_EQ(Names(dir).size(), 2u) << "the temporary file exists while writing";
        ::kill(child, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig)
            << "the signal ends the process as it would have";
        EXPECT_EQ(Names(dir), (std::set<std::string>{"123.bird"}));
        EXPECT_EQ(kstest::ReadFile(dir + "/123.bird"), "old");
    }
}

} // namespace
