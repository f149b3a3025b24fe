// Byte stream core over a scripted in-memory transport, and the file
// transports.
#include "qStream.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tempdir.h"

namespace {

// A transport whose get replays a script: bytes, then qErrNotReady once per
// "gap", then qErrEOF (or another error) when the script says so.
struct Script {
    std::deque<int> in;         // byte values, or -qErr for a result
    qErr atEnd = qErrNotReady;  // what get answers when the script is empty
    std::vector<uint8_t> out;   // bytes put or written
    std::vector<size_t> writes; // size of each write call
    int puts = 0;
    qErr failAt = qErrNone; // result of put/write once out has failAfter bytes
    size_t failAfter = SIZE_MAX;
    bool deleted = false;
    qErr deleteResult = qErrNone;

    void feed(const std::string& s) {
        for (unsigned char c : s)
            in.push_back(c);
    }
    void gap() { in.push_back(-qErrNotReady); }
};

qErr scriptGet(uint8_t* b, void* ref) {
    auto* sc = static_cast<Script*>(ref);
    if (sc->in.empty())
        return sc->atEnd;
    int v = sc->in.front();
    sc->in.pop_front();
    if (v < 0)
        return static_cast<qErr>(-v);
    *b = static_cast<uint8_t>(v);
    return qErrNone;
}

qErr scriptPut(uint8_t b, void* ref) {
    auto* sc = static_cast<Script*>(ref);
    if (sc->out.size() >= sc->failAfter)
        return sc->failAt;
    ++sc->puts;
    sc->out.push_back(b);
    return qErrNone;
}

qErr scriptWrite(const uint8_t* d, size_t n, void* ref) {
    auto* sc = static_cast<Script*>(ref);
    if (sc->out.size() >= sc->failAfter)
        return sc->failAt;
    sc->writes.push_back(n);
    sc->out.insert(sc->out.end(), d, d + n);
    return qErrNone;
}

qErr scriptDelete(void* ref) {
    auto* sc = static_cast<Script*>(ref);
    sc->deleted = true;
    return sc->deleteResult;
}

std::string str(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

class StreamTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (s)
            (void)qStream_Destroy(&s);
    }
    qStream* make(bool withPut = true, bool withWrite = true) {
        s = qStream_Create(scriptGet, withPut ? scriptPut : nullptr,
                           withWrite ? scriptWrite : nullptr, scriptDelete, &sc);
        return s;
    }
    Script sc;
    qStream* s = nullptr;
};

// ---- qStream_Read -----------------------------------------------------------

using StreamRead = StreamTest;

TEST_F(StreamRead, ShortReadKeepsBytesAndLaterDeliversAllInArrivalOrder) {
    make();
    sc.feed("abc");
    uint8_t dst[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(qStream_Read(s, dst, 4), qErrNotReady);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), 4), "----") << "nothing may be stored";
    EXPECT_EQ(qStream_Read(s, dst, 4), qErrNotReady) << "still three bytes only";
    sc.feed("de");
    ASSERT_EQ(qStream_Read(s, dst, 4), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), 4), "abcd");
    ASSERT_EQ(qStream_Read(s, dst, 1), qErrNone);
    EXPECT_EQ(dst[0], 'e');
}

TEST_F(StreamRead, EndOfFileDeliversWhatArrivedAndOtherErrorsDropIt) {
    make();
    sc.feed("xy");
    sc.in.push_back(-qErrEOF);
    uint8_t dst[4] = {0};
    EXPECT_EQ(qStream_Read(s, dst, 4), qErrEOF);
    EXPECT_EQ(dst[0], 'x');
    EXPECT_EQ(dst[1], 'y');

    sc.feed("z");
    sc.in.push_back(-qErrIO);
    sc.feed("w");
    EXPECT_EQ(qStream_Read(s, dst, 4), qErrIO);
    ASSERT_EQ(qStream_Read(s, dst, 1), qErrNone);
    EXPECT_EQ(dst[0], 'w') << "bytes of a failed read are not kept";
}

TEST_F(StreamRead, RefusesBadArguments) {
    uint8_t b;
    EXPECT_EQ(qStream_Read(nullptr, &b, 1), qErrParam);
    make();
    EXPECT_EQ(qStream_Read(s, nullptr, 1), qErrParam);
    qStream* w = qStream_Create(nullptr, scriptPut, nullptr, nullptr, &sc);
    EXPECT_EQ(qStream_Read(w, &b, 1), qErrMode);
    uint8_t dummy = 0;
    EXPECT_EQ(qStreamBufferChar(nullptr, dummy), qErrParam);
    (void)qStream_Destroy(&w);
}

// ---- push-back ring ---------------------------------------------------------

using StreamPushBack = StreamTest;

TEST_F(StreamPushBack, GrowsPast512InStepsAndKeepsOrder) {
    make();
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(qStreamBufferChar(s, static_cast<uint8_t>(i % 251)), qErrNone);
    EXPECT_EQ(s->capacity, 1024u);
    EXPECT_EQ(s->buffered, 600u);
    std::vector<uint8_t> got(600);
    ASSERT_EQ(qStream_Read(s, got.data(), got.size()), qErrNone);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(got[i], i % 251) << "at " << i;
}

TEST_F(StreamPushBack, GrowingAWrappedRingKeepsOrder) {
    make();
    uint8_t next = 0, expect = 0;
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(qErrNone, qStreamBufferChar(s, next++));
    uint8_t b;
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(qStream_Read(s, &b, 1), qErrNone);
        ASSERT_EQ(b, expect++);
    }
    for (int i = 0; i < 700; ++i) // wraps, then grows while wrapped
        ASSERT_EQ(qStreamBufferChar(s, next++), qErrNone);
    EXPECT_EQ(s->capacity, 1024u);
    for (int i = 0; i < 800; ++i) {
        ASSERT_EQ(qStream_Read(s, &b, 1), qErrNone);
        ASSERT_EQ(b, expect++) << "at " << i;
    }
    EXPECT_EQ(qStream_Read(s, &b, 1), qErrNotReady);
}

// ---- records ----------------------------------------------------------------

struct RecordCase {
    const char* name;
    std::vector<std::string> chunks; // fed one after another, a gap between
    std::string terminator;
    size_t maxLen;
    std::vector<std::pair<qErr, std::string>> expect; // one per call
    qErr atEnd;
};

class StreamRecord : public StreamTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(StreamRecord, ReadsRecordsAsExpected) {
    const RecordCase& c = GetParam();
    make();
    sc.atEnd = c.atEnd;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        if (i)
            sc.gap();
        sc.feed(c.chunks[i]);
    }
    for (size_t k = 0; k < c.expect.size(); ++k) {
        std::vector<uint8_t> buf(c.maxLen);
        size_t len = 99;
        qErr e = qStream_ReadRecord(s, buf.data(), &len, c.maxLen,
                                    reinterpret_cast<const uint8_t*>(c.terminator.data()),
                                    c.terminator.size());
        EXPECT_EQ(e, c.expect[k].first) << "call " << k;
        EXPECT_EQ(std::string(buf.begin(), buf.begin() + static_cast<long>(len)),
                  c.expect[k].second)
            << "call " << k;
    }
}

const qErr NR = qErrNotReady;
const qErr OK = qErrNone;

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamRecord,
    ::testing::Values(
        RecordCase{
            "two_records", {"ab\r\ncd\r\n"}, "\r\n", 16, {{OK, "ab"}, {OK, "cd"}, {NR, ""}}, NR},
        RecordCase{"record_across_gap", {"ab", "c\r\n"}, "\r\n", 16, {{NR, ""}, {OK, "abc"}}, NR},
        RecordCase{"terminator_across_gap",
                   {"ab\r", "\ncd\r\n"},
                   "\r\n",
                   16,
                   {{NR, ""}, {OK, "ab"}, {OK, "cd"}},
                   NR},
        RecordCase{"broken_match_is_data", {"a\rb\r\n"}, "\r\n", 16, {{OK, "a\rb"}}, NR},
        RecordCase{"restart_inside_broken_match", {"x\r\r\n"}, "\r\n", 16, {{OK, "x\r"}}, NR},
        RecordCase{"overlapping_terminator", {"1aaab2aab"}, "aab", 16, {{OK, "1a"}, {OK, "2"}}, NR},
        RecordCase{
            "full_buffer_ends_record", {"abcd\r\n"}, "\r\n", 3, {{OK, "abc"}, {OK, "d"}}, NR},
        RecordCase{
            "full_inside_broken_match", {"ab\rX\r\n"}, "\r\n", 3, {{OK, "ab\r"}, {OK, "X"}}, NR},
        RecordCase{"eof_after_bytes", {"tail"}, "\n", 16, {{OK, "tail"}, {qErrEOF, ""}}, qErrEOF},
        RecordCase{"eof_keeps_partial_terminator", {"ab\r"}, "\r\n", 16, {{OK, "ab\r"}}, qErrEOF},
        RecordCase{"eof_with_nothing", {""}, "\n", 16, {{qErrEOF, ""}}, qErrEOF},
        RecordCase{"empty_record", {"\nx\n"}, "\n", 16, {{OK, ""}, {OK, "x"}}, NR},
        RecordCase{"error_passes_through", {""}, "\n", 16, {{qErrIO, ""}}, qErrIO}),
    [](const ::testing::TestParamInfo<RecordCase>& i) { return std::string(i.param.name); });

using StreamCString = StreamTest;

TEST_F(StreamCString, ReadsZeroTerminatedStringsWithinTheBuffer) {
    make();
    sc.in = {'a', 'b', 'c', 0, 'a', 'b', 'c', 0};
    char buf[16];
    ASSERT_EQ(qStream_ReadCString(s, buf, sizeof buf), qErrNone);
    EXPECT_STREQ(buf, "abc");
    char small[3];
    ASSERT_EQ(qStream_ReadCString(s, small, sizeof small), qErrNone);
    EXPECT_STREQ(small, "ab");
    ASSERT_EQ(qStream_ReadCString(s, buf, sizeof buf), qErrNone);
    EXPECT_STREQ(buf, "c");
    EXPECT_EQ(qStream_ReadCString(s, buf, 1), qErrParam);
}

TEST_F(StreamCString, ReadsRecordsEndedByATextTerminator) {
    make();
    sc.feed("OK\r\nNEXT\r\n");
    char buf[16];
    ASSERT_EQ(qStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"), qErrNone);
    EXPECT_STREQ(buf, "OK");
    ASSERT_EQ(qStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"), qErrNone);
    EXPECT_STREQ(buf, "NEXT");
    EXPECT_EQ(qStream_ReadCStringRecord(s, buf, sizeof buf, ""), qErrParam);
}

TEST_F(StreamCString, WritesCarryTheirTerminators) {
    make();
    ASSERT_EQ(qStream_WriteCString(s, "hi"), qErrNone);
    EXPECT_EQ(str(sc.out), std::string("hi\0", 3));
    sc.out.clear();
    ASSERT_EQ(qStream_WriteCStringRecord(s, "go", "\r\n"), qErrNone);
    EXPECT_EQ(str(sc.out), std::string("go\r\n\0", 5));
    sc.out.clear();
    const uint8_t t[] = {0x7E};
    const uint8_t d[] = {1, 2, 3};
    ASSERT_EQ(qStream_WriteRecord(s, d, 3, t, 1), qErrNone);
    EXPECT_EQ(sc.out, (std::vector<uint8_t>{1, 2, 3, 0x7E}));
    EXPECT_EQ(qStream_WriteRecord(s, d, 3, t, 0), qErrParam);
    EXPECT_EQ(qStream_WriteRecord(s, nullptr, 3, t, 1), qErrParam);
}

// ---- writing, flushing, destroying -------------------------------------------

using StreamWrite = StreamTest;

TEST_F(StreamWrite, BlocksGoToWriteSingleBytesToPut) {
    make();
    const uint8_t d[] = {1, 2, 3};
    ASSERT_EQ(qStream_Write(s, d, 3), qErrNone);
    ASSERT_EQ(qStream_Write(s, d, 1), qErrNone);
    EXPECT_EQ(sc.writes, std::vector<size_t>{3});
    EXPECT_EQ(sc.puts, 1);
    EXPECT_EQ(sc.out, (std::vector<uint8_t>{1, 2, 3, 1}));
}

TEST_F(StreamWrite, WithoutWriteEachByteGoesToPutUntilTheFirstError) {
    make(true, false);
    sc.failAfter = 2;
    sc.failAt = qErrIO;
    const uint8_t d[] = {1, 2, 3, 4};
    EXPECT_EQ(qStream_Write(s, d, 4), qErrIO);
    EXPECT_EQ(sc.out, (std::vector<uint8_t>{1, 2}));
}

TEST_F(StreamWrite, WithoutPutBytesGoToWriteOneByOne) {
    make(false, true);
    const uint8_t d[] = {9};
    ASSERT_EQ(qStream_Write(s, d, 1), qErrNone);
    EXPECT_EQ(sc.writes, std::vector<size_t>{1});
    qStream* none = qStream_Create(scriptGet, nullptr, nullptr, nullptr, &sc);
    EXPECT_EQ(qStream_Write(none, d, 1), qErrMode);
    EXPECT_EQ(qStream_Write(s, nullptr, 1), qErrParam);
    (void)qStream_Destroy(&none);
}

TEST_F(StreamWrite, FlushCopiesPushedBackBytesFirstAndEndsAtEndOfFile) {
    make();
    Script sink;
    qStream* to = qStream_Create(nullptr, scriptPut, nullptr, nullptr, &sink);
    ASSERT_EQ(qErrNone, qStreamBufferChar(s, 'a'));
    sc.feed("bc");
    sc.atEnd = qErrEOF;
    EXPECT_EQ(qStream_Flush(s, to), qErrNone);
    EXPECT_EQ(str(sink.out), "abc");
    sc.atEnd = qErrNotReady;
    EXPECT_EQ(qStream_Flush(s, to), qErrNotReady);
    EXPECT_EQ(qStream_Flush(to, s), qErrMode);
    EXPECT_EQ(qStream_Flush(s, nullptr), qErrParam);
    (void)qStream_Destroy(&to);
}

TEST_F(StreamWrite, DestroyRunsDeleteOnceAndClearsTheCallersPointer) {
    make();
    sc.deleteResult = qErrCancel;
    qStream* copy = s;
    EXPECT_EQ(qStream_Destroy(&s), qErrCancel);
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(sc.deleted);
    EXPECT_EQ(qStream_Destroy(&s), qErrParam);
    EXPECT_EQ(qStream_Destroy(nullptr), qErrParam);
    (void)copy;
}

// ---- file transports ---------------------------------------------------------

class StreamFile : public ::testing::Test {
  protected:
    kstest::TempDir scratch{"qstream-file"};
    const std::string dir = scratch.path();
};

TEST_F(StreamFile, WhatAnOutputStreamWritesAnInputStreamReadsBack) {
    const std::string path = dir + "/f";
    qStream* out = nullptr;
    ASSERT_EQ(qStream_CreateFileOutput(path.c_str(), &out), qErrNone);
    EXPECT_EQ(qStream_WriteCString(out, "first"), qErrNone);
    EXPECT_EQ(qStream_WriteCStringRecord(out, "second", "\n"), qErrNone);
    uint8_t b;
    EXPECT_EQ(qStream_Read(out, &b, 1), qErrMode);
    ASSERT_EQ(qStream_Destroy(&out), qErrNone);

    qStream* in = nullptr;
    ASSERT_EQ(qStream_CreateFileInput(path.c_str(), &in), qErrNone);
    char buf[32];
    ASSERT_EQ(qStream_ReadCString(in, buf, sizeof buf), qErrNone);
    EXPECT_STREQ(buf, "first");
    ASSERT_EQ(qStream_ReadCStringRecord(in, buf, sizeof buf, "\n"), qErrNone);
    EXPECT_STREQ(buf, "second");
    ASSERT_EQ(qStream_Read(in, &b, 1), qErrNone);
    EXPECT_EQ(b, 0) << "the record terminator's zero byte follows";
    EXPECT_EQ(qStream_Read(in, &b, 1), qErrEOF);
    const uint8_t d[] = {1, 2};
    EXPECT_EQ(qStream_Write(in, d, 2), qErrMode);
    EXPECT_EQ(qStream_Destroy(&in), qErrNone);
}

TEST_F(StreamFile, FlushCopiesAWholeFile) {
    const std::string src = dir + "/f";
    qStream* out = nullptr;
    ASSERT_EQ(qStream_CreateFileOutput(src.c_str(), &out), qErrNone);
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13);
    ASSERT_EQ(qStream_Write(out, data.data(), data.size()), qErrNone);
    (void)qStream_Destroy(&out);
    qStream* in = nullptr;
    ASSERT_EQ(qStream_CreateFileInput(src.c_str(), &in), qErrNone);
    Script sink;
    qStream* to = qStream_Create(nullptr, scriptPut, nullptr, nullptr, &sink);
    EXPECT_EQ(qStream_Flush(in, to), qErrNone);
    EXPECT_EQ(sink.out, data);
    (void)qStream_Destroy(&in);
    (void)qStream_Destroy(&to);
}

TEST_F(StreamFile, MissingFilesAndNullArgumentsAreRefused) {
    qStream* s = reinterpret_cast<qStream*>(0x1);
    EXPECT_EQ(qStream_CreateFileInput((dir + "/none").c_str(), &s), qErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(qStream_CreateFileInput(nullptr, &s), qErrResource);
    EXPECT_EQ(qStream_CreateFileOutput((dir + "/f").c_str(), nullptr), qErrResource);
    EXPECT_EQ(qStream_CreateFileOutput((dir + "/no/such/dir").c_str(), &s), qErrResource);
}

} // namespace
