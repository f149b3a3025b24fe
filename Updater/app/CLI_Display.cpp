#include "CLI_Display.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Width of the line cleared when an animation ends.
const int CLEAR_WIDTH = 88;
// The bar's full width without a label.
const int BAR_WIDTH = 69;
const char BAR_TEMPLATE[] = "=====================================================================";
static_assert(sizeof(BAR_TEMPLATE) - 1 == BAR_WIDTH, "bar template must be as wide as the bar");

const char* const SPINNER_FRAMES[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool _is_terminal(FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

void _clear_line(FILE* stream) {
    fprintf(stream, "\r%*s\r", CLEAR_WIDTH, " ");
}

} // namespace

CLI_Display::CLI_Display() {
    setbuf(stdout, nullptr);
    setbuf(stderr, nullptr);
}

void CLI_Display::display_progress(bool show) {
    if (!_is_terminal(info)) {
        return;
    }
    if (!show) {
        _clear_line(info);
    }
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!_is_terminal(info)) {
        return;
    }
    // The label and its frame " () " take room from the bar, so the line
    // keeps its length. A label too long for the line leaves no bar at all.
    int width = BAR_WIDTH;
    if (label != nullptr) {
        width = BAR_WIDTH - static_cast<int>(strlen(label)) - 4;
        if (width < 0) {
            width = 0;
        }
    }
    // A fraction outside 0..1 (or not a number) would make the counts below
    // negative or larger than the bar; draw it as empty or full instead.
    if (!(fraction >= 0.0)) {
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    int percent = static_cast<int>(100.0 * fraction);
    int filled = static_cast<int>(width * fraction);
    int remaining = width - filled;
    // At a full bar remaining - 1 is -1, which printf reads as a
    // left-justified field of width 1: one space follows the ">".
    if (label == nullptr) {
        fprintf(info, "\r[%.*s>%*s] (%3d%% ) ", filled, BAR_TEMPLATE, remaining - 1, "", percent);
    } else {
        fprintf(info, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR_TEMPLATE, remaining - 1,
                "", percent);
    }
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
