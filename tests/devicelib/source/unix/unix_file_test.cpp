#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "qFile.h"
#include <filesystem>

#include "tempdir.h"

namespace {

std::string longPath(const kstest::TempDir& dir, size_t length) {
    std::string p = dir.path() + "/";
    p.append(length - p.size(), 'n');
    return p;
}

TEST(FileOpen, RefusesBadArgumentsAndLeavesNothingBehind) {
    kstest::TempDir dir;
    struct Row {
        std::string path;
        int mode;
    };
    const std::vector<Row> rows = {
        {"", qFileModeWrite},
        {longPath(dir, 4097), qFileModeWrite},
        {dir.sub("three"), 3},
        {dir.sub("negative"), -1},
        {dir.sub("large"), 100},
        {dir.sub("missing"), qFileModeRead},
        {dir.sub("no/such/dir"), qFileModeWrite},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(qFile_Open(r.path.c_str(), r.mode), nullptr)
            << r.path.substr(0, 80) << " mode " << r.mode;
    }
    EXPECT_EQ(qFile_Open(nullptr, qFileModeRead), nullptr);
    EXPECT_TRUE(dir.empty());
}

TEST(FileOpen, WriteTruncatesAndAppendKeepsAndPositionsAtEnd) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "old contents");

    qUnixFile* f = qFile_Open(path.c_str(), qFileModeAppend);
    ASSERT_NE(f, nullptr);
    long pos = -1;
    EXPECT_EQ(qFile_GetPosition(f, &pos), qErrNone);
    EXPECT_EQ(pos, 12);
    EXPECT_EQ(qFile_Printf(f, "+%d", 42), qErrNone);
    EXPECT_EQ(qFile_Close(&f), qErrNone);
    EXPECT_EQ(kstest::ReadFile(path), "old contents+42");

    f = qFile_Open(path.c_str(), qFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(qFile_Close(&f), qErrNone);
    EXPECT_EQ(kstest::ReadFile(path), "");
}

TEST(FileOpen, AppendModeReadsAfterWritingWithoutLosingEither) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "abc");
    qUnixFile* f = qFile_Open(path.c_str(), qFileModeAppend);
    ASSERT_NE(f, nullptr);
    const uint8_t more[] = {'d', 'e'};
    EXPECT_EQ(qFile_Write(f, more, 2, nullptr), qErrNone);
    ASSERT_EQ(qFile_Seek(f, 0, qFileOriginStart), qErrNone);
    char buf[8] = {};
    size_t n = 0;
    EXPECT_EQ(qFile_Read(f, buf, 3, &n), qErrNone);
    EXPECT_EQ(std::string(buf, n), "abc");
    // Appending after a read still lands at the end.
    EXPECT_EQ(qFile_Write(f, more, 1, &n), qErrNone);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(qFile_Close(&f), qErrNone);
    EXPECT_EQ(kstest::ReadFile(path), "abcded");
}

TEST(FileHandle, CloseClearsTheCallersPointerAndRejectsDeadHandles) {
    kstest::TempDir dir;
    qUnixFile* f = qFile_Open(dir.sub("f").c_str(), qFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(qFile_Close(&f), qErrNone);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(qFile_Close(&f), qErrParam);
    EXPECT_EQ(qFile_Close(nullptr), qErrParam);

    uint8_t buf[4];
    size_t n = 99;
    long pos = 0;
    size_t size = 0;
    EXPECT_EQ(qFile_Read(nullptr, buf, 4, &n), qErrParam);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(qFile_Write(nullptr, buf, 4, nullptr), qErrParam);
    EXPECT_EQ(qFile_ReadLine(nullptr, reinterpret_cast<char*>(buf), 4, nullptr), qErrParam);
    EXPECT_EQ(qFile_Seek(nullptr, 0, qFileOriginStart), qErrParam);
    EXPECT_EQ(qFile_GetSize(nullptr, &size), qErrParam);
    EXPECT_EQ(qFile_GetPosition(nullptr, &pos), qErrParam);
    EXPECT_EQ(qFile_SetUnbuffered(nullptr), qErrParam);
    EXPECT_EQ(qFile_Printf(nullptr, "x"), qErrParam);
}

TEST(FileHandle, OperationsCheckTheOpenMode) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "data\n");
    qUnixFile* r = qFile_Open(path.c_str(), qFileModeRead);
    qUnixFile* w = qFile_Open(dir.sub("w").c_str(), qFileModeWrite);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(w, nullptr);
    uint8_t buf[8];
    char line[8];
    EXPECT_EQ(qFile_Write(r, buf, 1, nullptr), qErrMode);
    EXPECT_EQ(qFile_Printf(r, "x"), qErrMode);
    EXPECT_EQ(qFile_SetUnbuffered(r), qErrMode);
    EXPECT_EQ(qFile_Read(w, buf, 1, nullptr), qErrMode);
    EXPECT_EQ(qFile_ReadLine(w, line, sizeof line, nullptr), qErrMode);
    EXPECT_EQ(qFile_SetUnbuffered(w), qErrNone);
    EXPECT_EQ(qFile_Read(r, nullptr, 1, nullptr), qErrParam);
    EXPECT_EQ(qFile_Write(w, nullptr, 1, nullptr), qErrParam);
    EXPECT_EQ(qFile_Close(&r), qErrNone);
    EXPECT_EQ(qFile_Close(&w), qErrNone);
}

TEST(FileRead, EndOfFileIsReportedOnlyForNonEmptyReads) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "0123456789");
    qUnixFile* f = qFile_Open(path.c_str(), qFileModeRead);
    ASSERT_NE(f, nullptr);
    char buf[16];
    size_t n = 0;
    EXPECT_EQ(qFile_Read(f, buf, 16, &n), qErrNone); // short read is not an error
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(qFile_Read(f, buf, 0, &n), qErrNone);
    EXPECT_EQ(n, 0u);
    n = 7;
    EXPECT_EQ(qFile_Read(f, buf, 10, &n), qErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(qFile_Close(&f), qErrNone);
}

struct LineStep {
    qErr err;
    std::string text;
};

struct LineCase {
    const char* name;
    std::string content;
    size_t size;
    std::vector<LineStep> steps;
};

TEST(FileReadLine, SplitsLinesAndReportsLinesThatDoNotFit) {
    const std::vector<LineCase> cases = {
        {"seven characters into five bytes",
         "abcdefg",
         5,
         {{qErrOverrun, "abcd"}, {qErrNone, "efg"}, {qErrEOF, ""}}},
        {"newline kept", "ab\ncd\n", 10, {{qErrNone, "ab\n"}, {qErrNone, "cd\n"}, {qErrEOF, ""}}},
        {"last line without newline that exactly fits",
         "ab\nwxyz",
         5,
         {{qErrNone, "ab\n"}, {qErrNone, "wxyz"}, {qErrEOF, ""}}},
        {"newline that does not fit stays for the next call",
         "wxyz\nq",
         5,
         {{qErrOverrun, "wxyz"}, {qErrNone, "\n"}, {qErrNone, "q"}, {qErrEOF, ""}}},
        {"empty file", "", 5, {{qErrEOF, ""}, {qErrEOF, ""}}},
        {"empty lines", "\n\n", 2, {{qErrNone, "\n"}, {qErrNone, "\n"}, {qErrEOF, ""}}},
        {"two byte buffer", "ab", 2, {{qErrOverrun, "a"}, {qErrNone, "b"}, {qErrEOF, ""}}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        kstest::TempDir dir;
        std::string path = dir.write("f", c.content);
        qUnixFile* f = qFile_Open(path.c_str(), qFileModeRead);
        ASSERT_NE(f, nullptr);
        // The buffer sits inside a larger one so a write past size shows.
        std::vector<char> area(c.size + 8, '#');
        for (const LineStep& step : c.steps) {
            size_t len = 99;
            EXPECT_EQ(qFile_ReadLine(f, area.data(), c.size, &len), step.err);
            EXPECT_EQ(std::string(area.data()), step.text);
            EXPECT_EQ(len, step.text.size());
            for (size_t i = c.size; i < area.size(); ++i) {
                ASSERT_EQ(area[i], '#') << "byte " << i << " written past the buffer";
            }
        }
        (void)qFile_Close(&f);
    }
}

TEST(FileReadLine, RefusesBuffersThatCannotHoldALine) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "abc\n");
    qUnixFile* f = qFile_Open(path.c_str(), qFileModeRead);
    ASSERT_NE(f, nullptr);
    char buf[4] = {'x', 'x', 'x', 'x'};
    size_t len = 5;
    EXPECT_EQ(qFile_ReadLine(f, buf, 1, &len), qErrParam);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(len, 0u);
    buf[0] = 'x';
    EXPECT_EQ(qFile_ReadLine(f, buf, 0, &len), qErrParam);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(qFile_ReadLine(f, buf, static_cast<size_t>(INT_MAX) + 1, &len), qErrParam);
    EXPECT_EQ(qFile_ReadLine(f, nullptr, 4, &len), qErrParam);
    // Nothing was consumed by the refused calls.
    EXPECT_EQ(qFile_ReadLine(f, buf, 4, &len), qErrOverrun);
    EXPECT_STREQ(buf, "abc");
    (void)qFile_Close(&f);
}

struct SeekRow {
    long start;
    int origin;
    long offset;
    qErr err;
    long position;
};

TEST(FileSeek, TargetMustLieWithinTheFile) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "0123456789");
    qUnixFile* f = qFile_Open(path.c_str(), qFileModeRead);
    ASSERT_NE(f, nullptr);
    const SeekRow rows[] = {
        {0, qFileOriginStart, 10, qErrNone, 10},
        {0, qFileOriginStart, 11, qErrRange, 0},
        {3, qFileOriginStart, -1, qErrRange, 3},
        {4, qFileOriginCurrent, 6, qErrNone, 10},
        {4, qFileOriginCurrent, 7, qErrRange, 4},
        {4, qFileOriginCurrent, -4, qErrNone, 0},
        {4, qFileOriginCurrent, -5, qErrRange, 4},
        {4, qFileOriginCurrent, LONG_MAX, qErrRange, 4},
        {4, qFileOriginEnd, LONG_MIN, qErrRange, 4},
        {0, qFileOriginEnd, 0, qErrNone, 10},
        {0, qFileOriginEnd, -10, qErrNone, 0},
        {5, qFileOriginEnd, -11, qErrRange, 5},
        {5, qFileOriginEnd, 1, qErrRange, 5},
        {5, 3, 0, qErrParam, 5},
        {5, -1, 0, qErrParam, 5},
    };
    for (const SeekRow& r : rows) {
        ASSERT_EQ(qFile_Seek(f, r.start, qFileOriginStart), qErrNone);
        EXPECT_EQ(qFile_Seek(f, r.offset, r.origin), r.err)
            << "from " << r.start << " origin " << r.origin << " offset " << r.offset;
        long pos = -1;
        EXPECT_EQ(qFile_GetPosition(f, &pos), qErrNone);
        EXPECT_EQ(pos, r.position)
            << "from " << r.start << " origin " << r.origin << " offset " << r.offset;
    }
    (void)qFile_Close(&f);
}

TEST(FileSize, MeasuresWithoutMovingAndReportsPositionZero) {
    kstest::TempDir dir;
    std::string path = dir.write("f", std::string(1000, 'z'));
    qUnixFile* f = qFile_Open(path.c_str(), qFileModeRead);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(qFile_Seek(f, 123, qFileOriginStart), qErrNone);
    size_t size = 0;
    EXPECT_EQ(qFile_GetSize(f, &size), qErrNone);
    EXPECT_EQ(size, 1000u);
    long pos = -1;
    EXPECT_EQ(qFile_GetPosition(f, &pos), qErrNone);
    EXPECT_EQ(pos, 123);
    // A stale value in the caller's variable must not survive position 0.
    ASSERT_EQ(qFile_Seek(f, 0, qFileOriginStart), qErrNone);
    EXPECT_EQ(qFile_GetPosition(f, &pos), qErrNone);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(qFile_GetSize(f, nullptr), qErrParam);
    EXPECT_EQ(qFile_GetPosition(f, nullptr), qErrParam);
    (void)qFile_Close(&f);
}

TEST(FileWrite, WritesBytesAndFormattedText) {
    kstest::TempDir dir;
    std::string path = dir.sub("out");
    qUnixFile* f = qFile_Open(path.c_str(), qFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(qFile_SetUnbuffered(f), qErrNone);
    const uint8_t bytes[] = {0x00, 0xFF, 'A'};
    size_t n = 0;
    EXPECT_EQ(qFile_Write(f, bytes, sizeof bytes, &n), qErrNone);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(qFile_Write(f, bytes, 0, &n), qErrNone);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(qFile_Printf(f, "[%d, %s]\n", 18, "qErrTimeout"), qErrNone);
    // Unbuffered: the bytes are in the file before the close.
    EXPECT_EQ(kstest::ReadFile(path), std::string("\0\xFF"
                                                  "A[18, qErrTimeout]\n",
                                                  21));
    EXPECT_EQ(qFile_Close(&f), qErrNone);
}

TEST(FileExistsAndDelete, ReportWhatIsThere) {
    kstest::TempDir dir;
    std::string path = dir.write("f", "x");
    EXPECT_TRUE(qFile_Exists(path.c_str()));
    EXPECT_FALSE(qFile_Exists(dir.path().c_str())); // a directory is no file
    EXPECT_FALSE(qFile_Exists(dir.sub("missing").c_str()));
    EXPECT_FALSE(qFile_Exists(nullptr));
    EXPECT_FALSE(qFile_Exists(longPath(dir, 4097).c_str()));

    EXPECT_EQ(qFile_Delete(path.c_str()), qErrNone);
    EXPECT_FALSE(qFile_Exists(path.c_str()));
    EXPECT_EQ(qFile_Delete(path.c_str()), qErrNotFound);
    EXPECT_EQ(qFile_Delete(nullptr), qErrParam);
    EXPECT_EQ(qFile_Delete(longPath(dir, 4097).c_str()), qErrFileNameLength);
    mkdir(dir.sub("d").c_str(), 0755);
    EXPECT_EQ(qFile_Delete(dir.sub("d").c_str()), qErrIO);
    EXPECT_TRUE(std::filesystem::is_directory(dir.sub("d")));
}

} // namespace
