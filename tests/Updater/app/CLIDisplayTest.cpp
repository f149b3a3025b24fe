#include <gtest/gtest.h>

#include <unistd.h>

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

const std::string CLEAR = "\r" + Repeat(' ', 88) + "\r";

TEST(ProgressBar, IsDrawnByteForByteOnATerminal) {
    struct Case {
        double fraction;
        const char* label;
        std::string want;
    } cases[] = {
        {0.5, nullptr, "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% ) "},
        {1.0, nullptr, "\r[" + Repeat('=', 69) + "> ] (100% ) "},
        {0.0, nullptr, "\r[>" + Repeat(' ', 68) + "] (  0% ) "},
        {0.25, "Update", "\r (Update) [" + Repeat('=', 14) + ">" + Repeat(' ', 44) + "] ( 25% ) "},
        {0.999, nullptr, "\r[" + Repeat('=', 68) + ">] ( 99% ) "},
        // Out-of-range fractions are drawn as an empty or a full bar.
        {-0.5, nullptr, "\r[>" + Repeat(' ', 68) + "] (  0% ) "},
        {3.0, nullptr, "\r[" + Repeat('=', 69) + "> ] (100% ) "},
        // A label too long for the line leaves no room for the bar.
        {0.5, "0123456789012345678901234567890123456789012345678901234567890123456789",
         "\r (0123456789012345678901234567890123456789012345678901234567890123456789) [> ] ( 50% "
         ") "},
    };
    for (const Case& c : cases) {
        std::string got =
            OnTerminal([&](CLI_Display& d) { d.update_progress(c.fraction, c.label); });
        EXPECT_BYTES(c.want, got) << "fraction " << c.fraction;
    }
}

TEST(ProgressBar, ShowingDrawsNothingAndHidingClearsTheLine) {
    std::string got = OnTerminal([](CLI_Display& d) {
        d.display_progress(true);
        d.display_progress(false);
    });
    EXPECT_BYTES(CLEAR, got);
}

TEST(Spinner, CyclesEightFramesAndClearsWithoutAdvancing) {
    std::string got = OnTerminal([](CLI_Display& d) {
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
