#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "Log.h"
#include "UpdaterDisplayInterface.h"
#include "display_recorder.h"

namespace {

using Call = DisplayRecorder::Call;

TEST(DisplayMessage, RoutesErrorLevelToErrorSlotAndEveryOtherLevelToInfo) {
    struct Case {
        int level;
        const char* slot;
    } cases[] = {
        {UpdaterDisplayInterface::LEVEL_INFO, "info"},
        {UpdaterDisplayInterface::LEVEL_ERROR, "error"},
        {2, "info"},
        {-1, "info"},
    };
    for (const Case& c : cases) {
        DisplayRecorder d;
        d.message(static_cast<UpdaterDisplayInterface::Level>(c.level), "value %d of %s", 42, "x");
        ASSERT_EQ(d.calls.size(), 1u) << "level " << c.level;
        EXPECT_EQ(d.calls[0], (Call{c.slot, "value 42 of x"})) << "level " << c.level;
    }
}

TEST(DisplayMessage, MuteSilencesMessagesButNotTheSlotsCalledDirectly) {
    DisplayRecorder d;
    EXPECT_FALSE(d.is_muted());
    d.mute_messages(true);
    d.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
    d.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden too");
    d.info_message("direct");
    d.update_spinner(true, nullptr);
    d.mute_messages(false);
    d.message(UpdaterDisplayInterface::LEVEL_ERROR, "shown");
    std::vector<Call> want = {{"info", "direct"}, {"spinner", "1"}, {"error", "shown"}};
    EXPECT_EQ(d.calls, want);
}

TEST(DisplayMessage, CutsOverlongTextAtTheBufferLimit) {
    struct Case {
        size_t length;
        size_t shown;
    } cases[] = {{2046, 2046}, {2047, 2047}, {2048, 2047}, {10000, 2047}};
    for (const Case& c : cases) {
        DisplayRecorder d;
        std::string text(c.length, 'a');
        text.back() = 'z';
        d.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", text.c_str());
        ASSERT_EQ(d.calls.size(), 1u);
        EXPECT_EQ(d.calls[0].text, text.substr(0, c.shown)) << "length " << c.length;
    }
}

// Captures what Log writes, through a temporary file.
class LogCapture {
  public:
    LogCapture() : file(tmpfile()) { Log::SetOutput(file); }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        if (file)
            fclose(file);
    }
    std::string text() {
        fflush(file);
        std::string out;
        rewind(file);
        int ch;
        while ((ch = fgetc(file)) != EOF)
            out.push_back(static_cast<char>(ch));
        return out;
    }
    FILE* file;
};

TEST(LogPackages, WritesALineOnlyWhenItsPackageIsZeroOrActive) {
    struct Case {
        uint32_t active;
        unsigned package;
        bool written;
    } cases[] = {
        {0, 0, true},
        {0, DEBUG_Network, false},
        {DEBUG_Network_Legacy, DEBUG_Network, false},
        {0x101, DEBUG_Network, true},
        {DEBUG_Updater, DEBUG_Updater, true},
        {DEBUG_APP, DEBUG_Updater | DEBUG_APP, true},
        {DEBUG_iMXSerial, DEBUG_NXPSerial, false},
    };
    for (const Case& c : cases) {
        LogCapture cap;
        ASSERT_NE(cap.file, nullptr);
        Log::ActivatePackage(c.active);
        Log::log(c.package, "line %u\n", c.package);
        std::string want = c.written ? "line " + std::to_string(c.package) + "\n" : "";
        EXPECT_EQ(cap.text(), want) << "active " << c.active << " package " << c.package;
    }
}

TEST(LogPackages, ActivateAndDeactivateChangeOnlyTheGivenBits) {
    LogCapture cap;
    Log::ActivatePackage(0x101);
    Log::ActivatePackage(0x10000);
    EXPECT_EQ(Log::ActivePackages(), 0x10101u);
    Log::DeactivatePackage(0x100);
    EXPECT_EQ(Log::ActivePackages(), 0x10001u);
    Log::log(DEBUG_Network, "gone\n");
    Log::log(DEBUG_Updater, "kept\n");
    EXPECT_EQ(cap.text(), "kept\n");
}

TEST(LogOutput, DiscardsEverythingWithoutAStream) {
    Log::SetOutput(nullptr);
    Log::log(0, "nowhere\n"); // must not crash
    LogCapture cap;
    Log::log(0, "%s-%d\n", "somewhere", 7);
    EXPECT_EQ(cap.text(), "somewhere-7\n");
}

TEST(LogOutput, CutsOverlongLinesAndKeepsTheirNewline) {
    struct Case {
        size_t length;
        const char* format;
        std::string want_tail;
        size_t want_size;
    } cases[] = {
        {100, "%s\n", "a\n", 101},   {2046, "%s\n", "a\n", 2047}, {2047, "%s\n", "a\n", 2047},
        {5000, "%s\n", "a\n", 2047}, {5000, "%s", "aa", 2047},
    };
    for (const Case& c : cases) {
        LogCapture cap;
        std::string text(c.length, 'a');
        Log::log(0, c.format, text.c_str());
        std::string got = cap.text();
        EXPECT_EQ(got.size(), c.want_size) << "length " << c.length;
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got.substr(got.size() - 2), c.want_tail) << "length " << c.length;
    }
}

TEST(LogOutput, LinesFromTwoThreadsStayWholeWhilePackagesChange) {
    LogCapture cap;
    Log::ActivatePackage(DEBUG_ServerComm);
    const int lines = 500;
    std::thread worker([&] {
        for (int i = 0; i < lines; ++i)
            Log::log(DEBUG_ServerComm, "worker line %04d\n", i);
    });
    for (int i = 0; i < lines; ++i) {
        Log::ActivatePackage(DEBUG_APP);
        Log::log(0, "main line %04d\n", i);
        Log::DeactivatePackage(DEBUG_APP);
    }
    worker.join();
    std::string text = cap.text();
    int worker_lines = 0, main_lines = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos, end - pos);
        if (line.rfind("worker line ", 0) == 0 && line.size() == 16) {
            ++worker_lines;
        } else if (line.rfind("main line ", 0) == 0 && line.size() == 14) {
            ++main_lines;
        } else {
            ADD_FAILURE() << "torn line [" << line << "]";
        }
        pos = end + 1;
    }
    EXPECT_EQ(worker_lines, lines);
    EXPECT_EQ(main_lines, lines);
}

TEST(LogOutput, TimeStampSwitchPrefixesEachLineAndIsOffByDefault) {
    EXPECT_FALSE(Log::timestamped.load());
    LogCapture cap;
    Log::timestamped = true;
    Log::log(0, "stamped %d\n", 1);
    Log::timestamped = false;
    Log::log(0, "plain\n");
    std::string text = cap.text();
    std::regex want("[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2} \\| stamped 1\nplain\n");
    EXPECT_TRUE(std::regex_match(text, want)) << text;
}

TEST(LogPackages, UserListShowsBothNetworkBitsUnderOneName) {
    ASSERT_EQ(Log::PACKAGE_COUNT, 14u);
    EXPECT_STREQ(Log::PACKAGES[4].name, "DEBUG_Network");
    EXPECT_EQ(Log::PACKAGES[4].bits, 0x10u);
    EXPECT_STREQ(Log::PACKAGES[6].name, "DEBUG_Network");
    EXPECT_EQ(Log::PACKAGES[6].bits, 0x100u);
    uint32_t previous = 0;
    for (size_t i = 0; i < Log::PACKAGE_COUNT; ++i) {
        EXPECT_GT(Log::PACKAGES[i].bits, previous) << Log::PACKAGES[i].name;
        EXPECT_EQ(Log::PACKAGES[i].bits & (Log::PACKAGES[i].bits - 1), 0u) << "one bit each";
        previous = Log::PACKAGES[i].bits;
    }
}

} // namespace
