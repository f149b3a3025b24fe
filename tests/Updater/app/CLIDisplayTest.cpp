#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "CLI_Display.h"
#include "cli_output_compare.h"

namespace {

// Reads everything from fd until the writer closes it, within a time bound.
std::string ReadAll(int fd) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        char buf[4096];
        ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            out.append(buf, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break; // end of file, or EIO once the pty slave is closed
        }
    }
    return out;
}

int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child whose standard output is a raw pseudo-terminal and
// returns the bytes it wrote there.
std::string OnTerminal(const std::function<void(CLI_Display&)>& body) {
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
    if (pid < 0) {
        ADD_FAILURE() << "forkpty failed: " << strerror(errno);
        return std::string();
    }
    if (pid == 0) {
        CLI_Display display;
        body(display);
        _exit(0);
    }
    std::string out = ReadAll(master);
    close(master);
    EXPECT_EQ(WaitChild(pid), 0);
    return out;
}

// The same with standard output and standard error on pipes.
void OnPipes(const std::function<void(CLI_Display&)>& body, std::string* out, std::string* err) {
    int o[2], e[2];
    ASSERT_EQ(pipe(o), 0);
    ASSERT_EQ(pipe(e), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(o[1], STDOUT_FILENO);
        dup2(e[1], STDERR_FILENO);
        close(o[0]);
        close(e[0]);
        close(o[1]);
        close(e[1]);
        CLI_Display display;
        body(display);
        _exit(0);
    }
    close(o[1]);
    close(e[1]);
    *out = ReadAll(o[0]);
    *err = ReadAll(e[0]);
    close(o[0]);
    close(e[0]);
    EXPECT_EQ(WaitChild(pid), 0);
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
        EXPECT_EQ(got, c.want) << "fraction " << c.fraction << "\n"
                               << DescribeDifference(c.want, got);
    }
}

TEST(ProgressBar, ShowingDrawsNothingAndHidingClearsTheLine) {
    std::string got = OnTerminal([](CLI_Display& d) {
        d.display_progress(true);
        d.display_progress(false);
    });
    EXPECT_EQ(got, CLEAR) << DescribeDifference(CLEAR, got);
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
    EXPECT_EQ(got, want) << DescribeDifference(want, got);
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
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(p[1], STDOUT_FILENO);
        dup2(p[1], STDERR_FILENO);
        close(p[0]);
        close(p[1]);
        CLI_Display d;
        d.info_message("a");
        d.error_message("b");
        fprintf(stdout, "c\n");
        d.error_message("d");
        _exit(0);
    }
    close(p[1]);
    std::string got = ReadAll(p[0]);
    close(p[0]);
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(got, "a\nb\nc\nd\n");
}

} // namespace
