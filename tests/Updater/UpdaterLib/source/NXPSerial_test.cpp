// The LPC ISP client: its pure functions, the rate it opens a port at, and
// its exchange with a scripted chip on an in-memory stream (the bytes it
// sends, how it reads answers, RESEND handling, over-long and missing lines).
#include "NXPSerial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "qStream.h"
#include "qTime.h"

namespace {

// ---- pure functions --------------------------------------------------------

TEST(NXPSerialCodec, CopyLengthRoundsUpToAnAllowedLength) {
    struct {
        uint32_t in, out;
    } cases[] = {{1, 256},     {256, 256},   {257, 512},   {300, 512},  {1024, 1024},
                 {1025, 4096}, {1808, 4096}, {4096, 4096}, {5000, 5000}};
    for (auto c : cases)
        EXPECT_EQ(NXPSerialClass::CopyLength(c.in), c.out) << c.in;
}

TEST(NXPSerialCodec, SectorFromAddressFollowsTheSectorTable) {
    struct {
        uint32_t address;
        int sector;
    } cases[] = {{0, 0},        {0x0FFF, 0},      {0x1000, 1},     {0xFFFF, 15},
                 {0x10000, 16}, {0x17FFF, 16},    {0x18000, 17},   {0x7FFFF, 29},
                 {0x80000, 30}, {0x10000000, 30}, {0xFFFFFFFF, 30}};
    for (auto c : cases)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(c.address), c.sector) << std::hex << c.address;
}

TEST(NXPSerialCodec, UuencodingOfShortAndFullLines) {
    char line[80];
    struct {
        std::string bytes, text;
    } cases[] = {
        {"C", "!0P``"},
        {"Ca", "\"0V$`"},
        {"Cat", "#0V%T"},
        {std::string(3, '\0'), "#````"}, // zero fields are backquotes, not blanks
    };
    for (auto& c : cases) {
        EXPECT_EQ(NXPSerialClass::uuencode(line, reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                           static_cast<uint32_t>(c.bytes.size())),
                  c.bytes.size());
        EXPECT_EQ(std::string(line), c.text);
    }
    EXPECT_EQ(NXPSerialClass::uuchar(0), '`');
    EXPECT_EQ(NXPSerialClass::uuchar(64), '`');
    EXPECT_EQ(NXPSerialClass::uuchar(63), '_');

    kstest::Bytes full(45), back(45, 0xEE);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<uint8_t>(i * 7 + 200);
    EXPECT_EQ(NXPSerialClass::uuencode(line, full.data(), 45), 45u);
    EXPECT_EQ(std::string(line).size(), 61u);
    EXPECT_EQ(line[0], 'M');
    EXPECT_EQ(NXPSerialClass::uudecode(back.data(), 45, line), 45u);
    EXPECT_BYTES(full, back);
    // Too little room: nothing is written.
    EXPECT_EQ(NXPSerialClass::uudecode(back.data(), 44, line), 0u);
    // A line cut short: the bytes it did not carry are zero, not left over.
    line[9] = '\0';
    back.assign(45, 0xEE);
    EXPECT_EQ(NXPSerialClass::uudecode(back.data(), 45, line), 45u);
    EXPECT_BYTES(kstest::Bytes(full.begin(), full.begin() + 6),
                 kstest::Bytes(back.begin(), back.begin() + 6));
    EXPECT_BYTES(kstest::Bytes(39, 0), kstest::Bytes(back.begin() + 6, back.end()));
}

// Any text at all gets a name; none indexes the table out of its range.
TEST(NXPSerialCodec, GetErrorTextNamesEveryCodeAndNothingElse) {
    struct {
        const char* line;
        const char* text;
    } cases[] = {{"0\r\n", "CMD_SUCCESS"},
                 {"19", "CODE_READ_PROTECTION_ENABLED"},
                 {"0x0F", "CMD_LOCKED"},
                 {"20", "Unknown error"},
                 {"25", "Unknown error"},
                 {"-1", "Unknown error"},
                 {"99999999999999999999999", "Unknown error"},
                 {"-99999999999999999999999", "Unknown error"},
                 {"", "Unknown error"},
                 {"OK\r\n", "Unknown error"}};
    for (auto c : cases)
        EXPECT_STREQ(NXPSerialClass::GetErrorText(c.line), c.text) << c.line;
    EXPECT_STREQ(NXPSerialClass::GetErrorText(nullptr), "Unknown error");
}

TEST(NXPSerialCodec, WaitTimeAndChecksum) {
    EXPECT_EQ(WAIT_TIME_MS(14, 115200), 2u);
    EXPECT_EQ(WAIT_TIME_MS(100, 9600), 96u);
    const uint8_t bytes[] = {0xFF, 0xFF, 1};
    EXPECT_EQ(NXPSerialClass::sum(bytes, 3), 511);
}

// ---- the rate a port is opened at --------------------------------------------

uint32_t SpeedOf(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    switch (cfgetospeed(&t)) {
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

TEST(NXPSerialConnect, OpensTheFirstTableRateNotBelowTheOneAsked) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    struct {
        uint32_t asked, opened;
    } cases[] = {{100, 2400},      {2400, 2400},     {2401, 4800},     {9600, 9600},
                 {115200, 115200}, {115201, 230400}, {230400, 230400}, {230401, 9600}};
    for (auto c : cases) {
        NXPSerialClass nxp;
        ASSERT_EQ(nxp.Connect(name, c.asked), qErrNone) << c.asked;
        EXPECT_EQ(nxp.BaudRate(), c.opened) << c.asked;
        EXPECT_EQ(SpeedOf(slave), c.opened) << c.asked;
        EXPECT_STREQ(nxp.PortName(), name);
    }
    NXPSerialClass nxp;
    EXPECT_EQ(nxp.Connect("/nonexistent/tty", 115200), qErrNotFound);
    close(slave);
    close(master);
}

// ---- exchange with a scripted chip --------------------------------------------

// The chip's side of an in-memory stream: it records what the client sends
// and answers each line (and a lone "?") through `answer`, echoing first
// when `echo` is on (as a chip's command handler starts). It carries out
// "A 0" and "A 1" itself.
struct ScriptedChip {
    std::string sent;
    std::deque<uint8_t> toClient;
    std::string partial;
    bool echo = true;
    bool silent = false; // answers nothing at all
    std::function<std::string(const std::string& line)> answer;

    void push(const std::string& text) {
        toClient.insert(toClient.end(), text.begin(), text.end());
    }
    static qErr Get(uint8_t* byte, void* ref) {
        auto* c = static_cast<ScriptedChip*>(ref);
        if (c->toClient.empty())
            return qErrNotReady;
        *byte = c->toClient.front();
        c->toClient.pop_front();
        return qErrNone;
    }
    static qErr Write(const uint8_t* data, size_t n, void* ref) {
        auto* c = static_cast<ScriptedChip*>(ref);
        for (size_t i = 0; i < n; ++i) {
            char ch = static_cast<char>(data[i]);
            c->sent += ch;
            if (c->silent)
                continue;
            c->partial += ch;
            if (c->echo)
                c->push(std::string(1, ch));
            if (ch == '\n' || c->partial == "?") {
                std::string line = c->partial;
                c->partial.clear();
                if (line == "A 0\r\n" || line == "A 1\r\n") {
                    c->echo = line[2] == '1';
                    c->push("0\r\n");
                } else if (c->answer)
                    c->push(c->answer(line));
            }
        }
        return qErrNone;
    }
    static qErr Put(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }
};

class NXPSerialExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        qStream* s = qStream_Create(ScriptedChip::Get, ScriptedChip::Put, ScriptedChip::Write,
                                    nullptr, &chip);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(nxp.Attach(s, 115200), qErrNone);
    }
    // The data lines the client sent, decoded, and the checksum lines.
    void Split(kstest::Bytes& data, std::vector<std::string>& checksums, int& dataLines) {
        size_t at = chip.sent.find("\r\n") + 2; // after the command line
        dataLines = 0;
        while (at < chip.sent.size()) {
            size_t end = chip.sent.find("\r\n", at);
            std::string line = chip.sent.substr(at, end - at);
            at = end + 2;
            if (!line.empty() && isdigit(static_cast<unsigned char>(line[0]))) {
                checksums.push_back(line);
                continue;
            }
            uint8_t bytes[45];
            uint32_t n = NXPSerialClass::uudecode(bytes, 45, line.c_str());
            data.insert(data.end(), bytes, bytes + n);
            ++dataLines;
        }
    }
    ScriptedChip chip;
    NXPSerialClass nxp;
};

kstest::Bytes Pattern(size_t n) {
    kstest::Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    return b;
}

// The chip's answers to a RAM write: the return code, then one answer per
// checksum line taken from `sums` in turn.
std::function<std::string(const std::string&)> WriteAnswers(std::vector<std::string> sums) {
    auto next = std::make_shared<size_t>(0);
    return [sums, next](const std::string& line) -> std::string {
        if (line[0] == 'W')
            return "0\r\n";
        if (!isdigit(static_cast<unsigned char>(line[0])))
            return "";
        std::string reply = sums[std::min(*next, sums.size() - 1)];
        ++*next;
        return reply;
    };
}

TEST_F(NXPSerialExchange, WriteSendsLinesOfFortyFiveBytesAndAChecksumEveryTwentyLines) {
    (void)nxp.SetEcho(false); // answered below: no line is echoed
    struct {
        uint32_t length;
        int lines;
        size_t checksums;
    } cases[] = {{48, 2, 1}, {900, 20, 1}, {904, 21, 2}, {4096, 92, 5}};
    for (auto c : cases) {
        chip.sent.clear();
        chip.answer = WriteAnswers({"OK\r\n"});
        kstest::Bytes image = Pattern(c.length), data;
        ASSERT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, c.length, image.data()), qErrNone);
        EXPECT_EQ(chip.sent.substr(0, chip.sent.find("\r\n")),
                  "W 268439552 " + std::to_string(c.length));
        std::vector<std::string> sums;
        int lines = 0;
        Split(data, sums, lines);
        EXPECT_EQ(lines, c.lines) << c.length;
        EXPECT_EQ(sums.size(), c.checksums) << c.length;
        EXPECT_BYTES(image, data);
    }
}

TEST_F(NXPSerialExchange, WriteRefusesLengthsTheChipCannotTakeWithoutSending) {
    kstest::Bytes image = Pattern(46);
    for (uint32_t length : {0u, 46u, 3u})
        EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, length, image.data()), qErrParam);
    EXPECT_EQ(nxp.Prepare(5, 3), qErrParam);
    EXPECT_EQ(nxp.Erase(5, 3), qErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x80, NXPSerialClass::WRITE_ADDRESS, 256), qErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 2048), qErrParam);
    EXPECT_EQ(chip.sent, "");
}

// Two RESENDs are taken (the block goes again from its last checksum); the
// third ends the call.
TEST_F(NXPSerialExchange, WriteResendsTwiceAndGivesUpOnTheThird) {
    (void)nxp.SetEcho(false); // answered below
    kstest::Bytes image = Pattern(1800), data;
    chip.sent.clear();
    chip.answer = WriteAnswers({"OK\r\n", "RESEND\r\n", "RESEND\r\n", "OK\r\n"});
    ASSERT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 1800, image.data()), qErrNone);
    std::vector<std::string> sums;
    int lines = 0;
    Split(data, sums, lines);
    EXPECT_EQ(lines, 20 + 3 * 20);
    ASSERT_EQ(sums.size(), 4u);
    EXPECT_EQ(sums[1], sums[3]); // the same block, sent again
    kstest::Bytes second(image.begin() + 900, image.end());
    EXPECT_BYTES(second, kstest::Bytes(data.end() - 900, data.end()));

    chip.sent.clear();
    chip.answer = WriteAnswers({"RESEND\r\n"});
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 1800, image.data()), qErrTimeout);
    sums.clear();
    data.clear();
    Split(data, sums, lines);
    EXPECT_EQ(sums.size(), 3u);
    EXPECT_EQ(lines, 60);

    chip.answer = WriteAnswers({"BUSY\r\n"});
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 8, image.data()), qErrIO);
}

// Return codes with echo on are read at the last digit before the
// terminator: "10" (COMPARE_ERROR) is no success although it ends in 0.
TEST_F(NXPSerialExchange, ReturnCodesAreReadWholeWithEchoOnAndOff) {
    struct {
        bool echo;
        const char* reply;
        qErr result;
        int code;
    } cases[] = {{true, "0\r\n", qErrNone, 0},     {true, "10\r\n", qErrParam, 10},
                 {true, "9\r\n", qErrParam, 9},    {false, "0\r\n", qErrNone, 0},
                 {false, "10\r\n", qErrParam, 10}, {false, "OK\r\n", qErrParam, -1}};
    for (auto c : cases) {
        ASSERT_EQ(nxp.SetEcho(c.echo), qErrNone);
        std::string reply = c.reply;
        chip.answer = [reply](const std::string&) { return reply; };
        EXPECT_EQ(nxp.Prepare(0, 29), c.result) << c.reply << " echo " << c.echo;
        EXPECT_EQ(nxp.LastReturnCode(), c.code) << c.reply << " echo " << c.echo;
    }
}

// The identifier counts only when all four words came; an over-long line is
// refused and read to its end, so that the next answer is read right.
TEST_F(NXPSerialExchange, DeviceIdNeedsItsWholeAnswer) {
    std::string answer;
    chip.answer = [&answer](const std::string& line) {
        return line == "N\r\n" ? answer : std::string("0\r\n637615927\r\n");
    };
    answer = "0\r\n305441741\r\n2\r\n3\r\n3735928559\r\n";
    ASSERT_EQ(nxp.GetDeviceID(), qErrNone);
    const uint32_t* words = nxp.DeviceSerialNumber();
    EXPECT_EQ(words[0], 0x1234ABCDu);
    EXPECT_EQ(words[3], 0xDEADBEEFu);

    const char* broken[] = {"0\r\n1\r\n2\r\n",            // two lines short
                            "0\r\n1\r\n2\r\n3",           // unterminated
                            "12\r\n",                     // refused
                            "0\r\n1\r\n2\r\n3\r\nx\r\n"}; // not a number
    for (const char* b : broken) {
        answer = b;
        unsigned long started = qTime_GetMSTicks();
        EXPECT_NE(nxp.GetDeviceID(), qErrNone) << b;
        EXPECT_LT(qTime_GetMSTicks() - started, 5000u);
        EXPECT_EQ(nxp.DeviceSerialNumber()[0], 0x1234ABCDu) << b;
        chip.toClient.clear();
    }
    answer = "0\r\n" + std::string(300, '7') + "\r\n";
    EXPECT_EQ(nxp.GetDeviceID(), qErrOverrun);
    int64_t part = 0;
    EXPECT_EQ(nxp.GetPartNumber(&part), qErrNone);
    EXPECT_EQ(part, 637615927);
}

TEST_F(NXPSerialExchange, SyncWithAFreshChipAndWithOneAlreadySynchronised) {
    // A chip in autobaud: greeting, echo of each line, OK.
    chip.echo = false;
    chip.answer = [](const std::string& line) -> std::string {
        return line == "?" ? "Synchronized\r\n" : line + "OK\r\n"; // echo, then OK
    };
    ASSERT_EQ(nxp.Sync(), qErrNone);
    EXPECT_EQ(chip.sent, "?Synchronized\r\n14746\r\n");
    EXPECT_TRUE(nxp.Echo());

    // A chip left in its command handler with echo off: "?" starts a line.
    chip.sent.clear();
    chip.echo = false;
    chip.answer = [](const std::string& line) -> std::string {
        if (line == "?")
            return "";
        return line == "A 1\r\n" ? "0\r\n" : "1\r\n";
    };
    EXPECT_EQ(nxp.Sync(), qErrNone);
    EXPECT_EQ(chip.sent, "?\r\nA 1\r\n");

    // Nothing answers: a failure within the read budgets.
    chip.silent = true;
    unsigned long started = qTime_GetMSTicks();
    EXPECT_NE(nxp.Sync(), qErrNone);
    EXPECT_LT(qTime_GetMSTicks() - started, 5000u);
}

} // namespace
