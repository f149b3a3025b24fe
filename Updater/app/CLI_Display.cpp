#include "CLI_Display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The widest bar, as on the classic 88-column console.
const int BAR_WIDTH = 69;
const char BAR_TEMPLATE[] = "=====================================================================";
static_assert(sizeof(BAR_TEMPLATE) - 1 == BAR_WIDTH, "bar template must be as wide as the bar");
// The narrowest bar worth drawing; below it the byte count goes, then the label.
const int MIN_BAR_WIDTH = 10;
// Columns taken by "[", "] " and the percentage field "(100% )".
const int FRAME_WIDTH = 10;
// Columns of the byte count and rate field: " 1023.9 kB of 1023.9 kB  1023.9 kB/s".
const int STATS_WIDTH = 37;
// Columns assumed when the terminal does not tell its width.
const int DEFAULT_COLUMNS = 80;

const char* const SPINNER_FRAMES[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool _is_terminal(FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

// The terminal's width; a line must stay one column short of it, or the
// terminal wraps it and the next carriage return redraws on a new line.
int _columns(FILE* stream) {
    struct winsize size;
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return DEFAULT_COLUMNS;
}

void _clear_line(FILE* stream) {
    int width = _columns(stream) - 1;
    fprintf(stream, "\r%*s\r", width > 0 ? width : 1, " ");
}

} // namespace

CLI_Display::CLI_Display() {
    setbuf(stdout, nullptr);
    setbuf(stderr, nullptr);
}

void CLI_Display::display_progress(bool show) {
    total = 0;
    if (!_is_terminal(info)) {
        return;
    }
    if (!show) {
        _clear_line(info);
    }
}

void CLI_Display::progress_total(uint64_t bytes) {
    total = bytes;
    started = std::chrono::steady_clock::now();
}

std::string CLI_Display::progress_stats(double fraction) const {
    if (total == 0)
        return std::string();
    double done = fraction * static_cast<double>(total);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string rate = seconds >= 0.2 ? _amount_text(done / seconds) + "/s" : "";
    char text[80];
    snprintf(text, sizeof text, " %s of %s  %s", _amount_text(done).c_str(),
             _amount_text(static_cast<double>(total)).c_str(), rate.c_str());
    return text;
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!_is_terminal(info)) {
        return;
    }
    // A fraction outside 0..1 (or not a number) is drawn as empty or full.
    if (!(fraction >= 0.0)) {
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    // The line stays one column short of the terminal: the bar gives way to
    // the label and the byte count, which give way in turn when it is narrow.
    int room = _columns(info) - 1 - FRAME_WIDTH;
    std::string stats = progress_stats(fraction);
    std::string prefix = label != nullptr ? std::string(" (") + label + ") " : std::string();
    if (!stats.empty() && room - STATS_WIDTH - static_cast<int>(prefix.size()) < MIN_BAR_WIDTH)
        stats.clear();
    if (room - static_cast<int>(prefix.size()) < MIN_BAR_WIDTH)
        prefix.clear();
    if (!stats.empty())
        stats.resize(STATS_WIDTH, ' ');
    int width = room - static_cast<int>(prefix.size() + stats.size());
    if (width > BAR_WIDTH)
        width = BAR_WIDTH;
    if (width < 1)
        width = 1;
    int percent = static_cast<int>(100.0 * fraction);
    // width - 1 "=" at most, then ">": the bar is width columns at 100% too.
    int filled = static_cast<int>((width - 1) * fraction);
    fprintf(info, "\r%s[%.*s>%*s] (%3d%% )%s", prefix.c_str(), filled, BAR_TEMPLATE,
            width - 1 - filled, "", percent, stats.c_str());
}

void CLI_Display::update_spinner(bool active, const char* label) {
    // Shared by all calls; only the main thread animates.
    static uint8_t count = 0;
    if (!_is_terminal(info)) {
        return;
    }
    if (!active) {
        _clear_line(info);
        return;
    }
    if (label != nullptr) {
        fprintf(info, "\r (%s) %s      \r", label, SPINNER_FRAMES[count]);
    } else {
        fprintf(info, "\r %s      \r", SPINNER_FRAMES[count]);
    }
    count = static_cast<uint8_t>((count + 1) & 7);
}

void CLI_Display::info_message(const char* text) {
    fprintf(info, "%s\n", text != nullptr ? text : "");
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text != nullptr ? text : "");
}

void CLI_Display::keep_standard_output_clean() {
    info = stderr;
}

std::string _amount_text(double bytes) {
    char text[32];
    if (bytes < 1000.0)
        snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 1000.0 * 1000.0)
        snprintf(text, sizeof text, "%.1f kB", bytes / 1000.0);
    else
        snprintf(text, sizeof text, "%.1f MB", bytes / (1000.0 * 1000.0));
    return text;
}
