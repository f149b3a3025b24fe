#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <functional>
#include <string>

#include "CLI_Display.h"
#include "bytes.h"
#include "process.h"

namespace {

// Runs body with a console display in a child whose standard output is a raw
// pseudo-terminal (onTerminal) or a pipe, and standard error a pipe.
kstest::ProcessResult WithDisplay(const std::function<void(CLI_Display&)>& body, bool onTerminal) {
    kstest::RunOptions options;
    options.timeoutMs = 10000;
    options.onPty = options.rawPty = onTerminal;
    kstest::ProcessResult r = kstest::RunInChild(
        [&] {
            CLI_Display display;
            body(display);
        },
        options);
    EXPECT_EQ(r.exitStatus, 0);
    return r;
}

// The bytes body wrote to the terminal.
std::string OnTerminal(const std::function<void(CLI_Display&)>& body) {
    return WithDisplay(body, true).out;
}

void OnPipes(const std::function<void(CLI_Display&)>& body, std::string* out, std::string* err) {
    kstest::ProcessResult r = WithDisplay(body, false);
    *out = r.out;
    *err = r.err;
}

std::string Repeat(char c, int n) {
    return std::string(static_cast<size_t>(n), c);
}

// The terminal's width, as a resized window would report it.
void SetColumns(int columns) {
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    ioctl(STDOUT_FILENO, TIOCSWINSZ, &size);
}

// One column short of an 80-column terminal: a line that long never wraps.
const std::string CLEAR = "\r" + Repeat(' ', 79) + "\r";

// Every frame (the text between carriage returns) and the widest of them.
size_t WidestFrame(const std::string& out) {
    size_t widest = 0, start = 0;
    while (start <= out.size()) {
        size_t end = out.find('\r', start);
        size_t n = (end == std::string::npos ? out.size() : end) - start;
        widest = std::max(widest, n);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return widest;
}

// The bar fits the terminal: on 80 columns no frame, and no clear, reaches
// the last column (where the terminal would wrap it and leave a stale bar
// on the line above); on a wide one the bar keeps its classic 69 columns.
TEST(ProgressBar, FitsTheTerminalItIsDrawnOn) {
    struct Case {
        int columns;
        double fraction;
        const char* label;
        uint64_t total; // 0: no byte count
        std::string want;
    } cases[] = {
        {80, 0.5, nullptr, 0, "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% )"},
        {80, 1.0, nullptr, 0, "\r[" + Repeat('=', 68) + ">] (100% )"},
        {80, 0.0, nullptr, 0, "\r[>" + Repeat(' ', 68) + "] (  0% )"},
        {80, 3.0, nullptr, 0, "\r[" + Repeat('=', 68) + ">] (100% )"},
        {80, -0.5, nullptr, 0, "\r[>" + Repeat(' ', 68) + "] (  0% )"},
        {80, 0.25, "Update", 0,
         "\r (Update) [" + Repeat('=', 14) + ">" + Repeat(' ', 44) + "] ( 25% )"},
        {80, 0.5, nullptr, 65536,
         "\r[" + Repeat('=', 15) + ">" + Repeat(' ', 16) + "] ( 50% ) 32.8 kB of 65.5 kB" +
             Repeat(' ', 18)},
        {80, 1.0, "Update", 900,
         "\r (Update) [" + Repeat('=', 21) + ">] (100% ) 900 B of 900 B" + Repeat(' ', 22)},
        {132, 1.0, nullptr, 0, "\r[" + Repeat('=', 68) + ">] (100% )"},
        // Narrow: the byte count, then the label give way to the bar.
        {30, 0.5, "Update", 65536, "\r[" + Repeat('=', 9) + ">" + Repeat(' ', 9) + "] ( 50% )"},
        // A label too long for the line is left out.
        {80, 0.5, "0123456789012345678901234567890123456789012345678901234567890123456789", 0,
         "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% )"},
    };
    for (const Case& c : cases) {
        std::string got = OnTerminal([&](CLI_Display& d) {
            SetColumns(c.columns);
            d.display_progress(true);
            if (c.total != 0)
                d.progress_total(c.total);
            d.update_progress(c.fraction, c.label);
            d.display_progress(false);
        });
        std::string clear = "\r" + Repeat(' ', c.columns - 1) + "\r";
        EXPECT_BYTES(c.want + clear, got) << c.columns << " columns, fraction " << c.fraction;
        EXPECT_LT(WidestFrame(got), static_cast<size_t>(c.columns));
    }
}

TEST(ProgressBar, ShowsTheRateOnceTheTransferHasRunAWhile) {
    std::string got = OnTerminal([](CLI_Display& d) {
        SetColumns(80);
        d.display_progress(true);
        d.progress_total(200000);
        usleep(300000);
        d.update_progress(0.5, nullptr);
    });
    EXPECT_NE(got.find("] ( 50% ) 100.0 kB of 200.0 kB  "), std::string::npos) << got;
    EXPECT_NE(got.find(" kB/s"), std::string::npos) << got;
    EXPECT_LT(WidestFrame(got), 80u) << got;
}

TEST(ProgressBar, ShowingDrawsNothingAndHidingClearsTheLine) {
    std::string got = OnTerminal([](CLI_Display& d) {
        SetColumns(80);
        d.display_progress(true);
        d.display_progress(false);
    });
    EXPECT_BYTES(CLEAR, got);
}

TEST(Spinner, CyclesEightFramesAndClearsWithoutAdvancing) {
    std::string got = OnTerminal([](CLI_Display& d) {
        SetColumns(80);
        for (int i = 0; i < 9; ++i)
            d.update_spinner(true, nullptr);
        d.update_spinner(false, nullptr);
        d.update_spinner(true, "Download");
    });
    std::string want;
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    for (const char* f : frames)
        want += std::string("\r ") + f + "      \r";
    want += CLEAR;
    want += "\r (Download) ..      \r";
    EXPECT_BYTES(want, got);
}

TEST(Messages, GoToTheirOwnStreamOneLineEach) {
    std::string out, err;
    OnPipes(
        [](CLI_Display& d) {
            d.message(UpdaterDisplayInterface::LEVEL_INFO, "info %d", 1);
            d.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
            d.info_message("direct");
            d.mute_messages(true);
            d.message(UpdaterDisplayInterface::LEVEL_ERROR, "muted");
        },
        &out, &err);
    EXPECT_EQ(out, "info 1\ndirect\n");
    EXPECT_EQ(err, "error two\n");
}

TEST(Messages, AnimationsPrintNothingWhenOutputIsAPipe) {
    std::string out, err;
    OnPipes(
        [](CLI_Display& d) {
            d.display_progress(true);
            d.update_progress(0.5, nullptr);
            d.update_progress(1.0, "Update");
            d.display_progress(false);
            d.update_spinner(true, "Download");
            d.update_spinner(false, nullptr);
            d.info_message("done");
        },
        &out, &err);
    EXPECT_EQ(out, "done\n");
    EXPECT_EQ(err, "");
}

TEST(Messages, StreamsAreUnbufferedSoOutputInterleavesAsWritten) {
    // With both streams on one pipe, a buffered stdout would come out after
    // stderr at exit.
    kstest::RunOptions options;
    options.timeoutMs = 10000;
    kstest::ProcessResult r = kstest::RunInChild(
        [] {
            dup2(STDOUT_FILENO, STDERR_FILENO);
            CLI_Display d;
            d.info_message("a");
            d.error_message("b");
            fprintf(stdout, "c\n");
            d.error_message("d");
        },
        options);
    EXPECT_EQ(r.exitStatus, 0);
    std::string got = r.out;
    EXPECT_EQ(got, "a\nb\nc\nd\n");
}

} // namespace
