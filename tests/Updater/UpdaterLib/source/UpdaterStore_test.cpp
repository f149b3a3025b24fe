// The local store on real temporary directory trees.
#include "UpdaterStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <stdexcept>

#include "birdsim/birdwriter.h"
#include "path.h"
#include "store_testutil.h"
#include "tempdir.h"

using storetest::IsDirectory;
using storetest::LogCapture;

namespace {

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(BuildPathTest, JoinsComponentsWithOneSeparatorEach) {
    EXPECT_EQ(BuildPath("a", nullptr), "a");
    EXPECT_EQ(BuildPath("a", "b", nullptr), "a/b");
    EXPECT_EQ(BuildPath("/home/u", ".quillmar", "updater", nullptr), "/home/u/.quillmar/updater");
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b") << "doubled separators are kept";
    EXPECT_EQ(BuildPath("", "x", nullptr), "/x");
    EXPECT_EQ(BuildPath(nullptr, nullptr), "");
}

TEST(UpdaterStoreRoot, IsCreatedWithItsParents) {
    kstest::TempDir dir;
    std::string root = dir / "home/.quillmar/updater";
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(root.c_str());
    EXPECT_TRUE(IsDirectory(root));
    EXPECT_STREQ(store.BasePath(), root.c_str());
    struct stat st;
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u);
    UpdaterStore again(root.c_str());
    std::string text = log.Text();
    EXPECT_NE(text.find("UpdaterStore: Created directory [" + root + "].\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("UpdaterStore: [" + root + "] already exists.\n"), std::string::npos)
        << text;
}

TEST(UpdaterStoreRoot, FileInTheWayIsAnError) {
    kstest::TempDir dir;
    kstest::WriteFile(dir / "file", "x");
    std::string asFile = dir / "file";
    std::string under = dir / "file/below";
    EXPECT_EQ(ErrorOf([&] { UpdaterStore s(asFile.c_str()); }),
              "UpdaterStore: " + asFile + " exists and is a file");
    EXPECT_EQ(ErrorOf([&] { UpdaterStore s(under.c_str()); }),
              "UpdaterStore: Could not create directory " + under + " error 12");
    EXPECT_EQ(kstest::ReadFile(asFile), "x");
}

TEST(UpdaterStoreDevices, AddDeviceCreatesDirectoryAndAttributes) {
    kstest::TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(0x40F5849Au);
    EXPECT_TRUE(IsDirectory(dir / "40F5849A"));
    std::string settings = kstest::ReadFile(dir / "40F5849A/.settings");
    EXPECT_EQ(settings.compare(0, 13, "CREATED_TIME="), 0) << settings;
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;
    EXPECT_EQ(item.path, dir.path());
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);

    item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, "123.bird");
    item.attributes.Save(nullptr);
    UpdaterStoreItem again = store.AddDevice("40F5849A");
    EXPECT_EQ(again.attributes.GetInt(UpdaterStore::KEY_LATEST_DOWNLOAD, 0), 123);
    EXPECT_EQ(store.AddDevice(0x1u).name, "00000001");
}

TEST(UpdaterStoreDevices, AddDeviceRefusesNamesThatLeaveTheRoot) {
    kstest::TempDir dir;
    std::string root = dir / "root";
    UpdaterStore store(root.c_str());
    for (const char* bad : {"", "..", ".", "../escape", "a/b"})
        EXPECT_EQ(
            ErrorOf([&] { store.AddDevice(bad); }).rfind("UpdaterStore: invalid device name", 0),
            0u)
            << bad;
    EXPECT_FALSE(kstest::Exists(dir / "escape"));
    kstest::WriteFile(root + "/40F5849A", "not a directory");
    EXPECT_EQ(ErrorOf([&] { store.AddDevice(0x40F5849Au); }),
              "UpdaterStore: " + root + "/40F5849A exists and is a file");
}

TEST(UpdaterStoreDevices, FindDeviceMatchesTheEntryNameExactly) {
    kstest::TempDir dir;
    // The root itself contains the digits sought, and so do other entries.
    std::string root = dir / "store-40F5849A";
    UpdaterStore store(root.c_str());
    store.AddDevice("140F5849A");
    store.AddDevice("40F5849A0");
    UpdaterStoreItem item("keep", "me", STORE_ITEM_FILE);
    LogCapture log(DEBUG_Updater);
    EXPECT_FALSE(store.FindDevice(0x40F5849Au, &item));
    EXPECT_EQ(item.path, "keep") << "a failed search leaves the item untouched";
    EXPECT_EQ(item.name, "me");
    EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Not Found 40F5849A.\n"), std::string::npos);
    EXPECT_NE(log.Text().find("_find_item([" + root + "/140F5849A], 1, "), std::string::npos)
        << log.Text();

    store.AddDevice(0x40F5849Au);
    ASSERT_TRUE(store.FindDevice(0x40F5849Au, &item));
    EXPECT_EQ(item.path, root);
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);
    EXPECT_TRUE(store.FindDevice("40F5849A", nullptr));
    EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Found 40F5849A.\n"), std::string::npos);
}

TEST(UpdaterStoreDevices, FindDeviceCreatesMissingAttributesAndCopesWithNoRoot) {
    kstest::TempDir dir;
    UpdaterStore store(dir.path().c_str());
    ASSERT_EQ(mkdir((dir / "0000ABCD").c_str(), 0755), 0);
    UpdaterStoreItem item;
    EXPECT_FALSE(item.IsValid());
    ASSERT_TRUE(store.FindDevice(0xABCDu, &item));
    EXPECT_TRUE(kstest::Exists(dir / "0000ABCD/.settings"));
    std::system(("rm -rf '" + dir.path() + "'/*").c_str());
    ASSERT_EQ(rmdir(dir.path().c_str()), 0);
    EXPECT_FALSE(store.FindDevice(0xABCDu, nullptr))
        << "a root that cannot be listed finds nothing";
    ASSERT_EQ(mkdir(dir.path().c_str(), 0700), 0);
}

TEST(UpdaterStoreBuilds, FindLocalBuildsListsFirmwareFilesOnly) {
    kstest::TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    for (const char* name : {"123.bird", "124.bird", ".123.bird.tmp-1-2"})
        kstest::WriteFile(dir / "40F5849A/" + name, "x");
    std::vector<UpdaterStoreItem> items;
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849Au, items));
    ASSERT_EQ(items.size(), 2u);
    std::vector<std::string> names;
    for (const UpdaterStoreItem& i : items) {
        names.push_back(i.name);
        EXPECT_EQ(i.path, dir / "40F5849A");
        EXPECT_EQ(i.type, STORE_ITEM_FILE);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"123.bird", "124.bird"}));
    EXPECT_NE(log.Text().find("_find_items([" + dir.path() + "/40F5849A/.settings], 0, "),
              std::string::npos);

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x11111111u, none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(kstest::Exists(dir / "11111111"));
}

TEST(UpdaterStoreFiles, FileExistsMatchesTheFileNameExactly) {
    kstest::TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    kstest::WriteFile(dir / "40F5849A/11234.bird", "x");
    EXPECT_FALSE(device.FileExists("1234.bird"));
    EXPECT_FALSE(device.FileExists("234.bird"));
    EXPECT_TRUE(device.FileExists("11234.bird"));
    EXPECT_FALSE(device.FileExists(""));
}

TEST(UpdaterStoreFiles, ReadBirdFileChecksTheSignatureFirst) {
    kstest::TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    kstest::WriteFile(dir / "40F5849A/bad.bird", "PK\x03\x04 not a bird file");
    kstest::WriteFile(dir / "40F5849A/broken.bird", std::string("bird\x01\x01garbage", 13));
    birdwriter::Description d;
    d.blocks.push_back(birdwriter::DescriptorBlock(123, "1.2.3", 0x40F5849A, "KS-ROUTER"));
    kstest::WriteFile(dir / "40F5849A/123.bird", birdwriter::BuildFile(d));

    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("bad.bird"); }),
              dir.path() +
                  "/40F5849A/bad.bird: it does not begin with the BIRD signature and version");
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("absent.bird"); }),
              dir.path() + "/40F5849A/absent.bird: No such file or directory");
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("broken.bird"); }),
              dir.path() + "/40F5849A/broken.bird: its compressed content is damaged");
    BirdFile f = device.ReadBirdFile("123.bird");
    EXPECT_EQ(f.GetBuild(), 123u);
    EXPECT_EQ(f.filename, dir.path() + "/40F5849A/123.bird");
}

TEST(UpdaterStoreFiles, WriteFileReplacesTheFileAndRefusesNullData) {
    kstest::TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const unsigned char first[] = {'b', 'i', 'r', 'd', 0, 1, 2};
    const unsigned char second[] = {'n', 'e', 'w'};
    EXPECT_EQ(device.WriteFile("5.bird", nullptr, 10), qErrNotFound);
    EXPECT_FALSE(kstest::Exists(dir / "40F5849A/5.bird"));
    EXPECT_EQ(device.WriteFile("5.bird", first, sizeof first), qErrNone);
    EXPECT_EQ(kstest::ReadFile(dir / "40F5849A/5.bird"),
              std::string(reinterpret_cast<const char*>(first), sizeof first));
    EXPECT_EQ(device.WriteFile("5.bird", second, sizeof second), qErrNone);
    EXPECT_EQ(kstest::ReadFile(dir / "40F5849A/5.bird"), "new");
    EXPECT_EQ(device.WriteFile("empty.bird", second, 0), qErrNone);
    EXPECT_EQ(kstest::ReadFile(dir / "40F5849A/empty.bird"), "");
    EXPECT_EQ(storetest::ListNames(dir / "40F5849A"),
              (std::set<std::string>{".settings", "5.bird", "empty.bird"}));

    ASSERT_EQ(chmod((dir / "40F5849A/5.bird").c_str(), 0604), 0);
    EXPECT_EQ(device.WriteFile("5.bird", first, sizeof first), qErrNone);
    struct stat st;
    ASSERT_EQ(stat((dir / "40F5849A/5.bird").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u) << "a replaced file keeps its permissions";

    UpdaterStoreItem nowhere((dir / "plain").c_str(), "x", STORE_ITEM_DIRECTORY);
    kstest::WriteFile(dir / "plain", "f");
    EXPECT_EQ(nowhere.WriteFile("1.bird", first, sizeof first), qErrNotFound);
}

// The replacement write fails midway: on a private tmpfs made read-only or
// filled up (needs root to mount), or past a file size limit (anyone).
class UpdaterStoreAtomicWrite : public ::testing::TestWithParam<const char*> {};

TEST_P(UpdaterStoreAtomicWrite, FailedWriteKeepsTheEarlierFile) {
    kstest::TempDir dir;
    const std::string mode = GetParam();
    if (storetest::WriteFailure::NeedsRoot(mode) && geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a private tmpfs";
    storetest::WriteFailure failure(mode, dir.path(), 256 * 1024);
    ASSERT_EQ(failure.error(), "");
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    std::vector<unsigned char> good(50000, 0xAA), replacement(300000, 0x55);
    ASSERT_EQ(device.WriteFile("7.bird", good.data(), good.size()), qErrNone);
    qErr err = qErrNone;
    ASSERT_TRUE(failure.During(
        100000, [&] { err = device.WriteFile("7.bird", replacement.data(), replacement.size()); }));
    EXPECT_NE(err, qErrNone) << mode;
    EXPECT_EQ(kstest::ReadFile(dir / "40F5849A/7.bird"), std::string(good.begin(), good.end()))
        << mode;
    EXPECT_EQ(storetest::ListNames(dir / "40F5849A"),
              (std::set<std::string>{".settings", "7.bird"}))
        << mode;
}

INSTANTIATE_TEST_SUITE_P(Failures, UpdaterStoreAtomicWrite,
                         ::testing::Values("read-only", "full", "file-size-limit"),
                         storetest::WriteFailure::Name);

} // namespace
