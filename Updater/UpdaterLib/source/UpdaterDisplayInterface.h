// The user-facing output channel of the updater: one-line information and
// error messages, a progress bar and a dotted spinner. Every object that talks
// to the user holds a reference to one sink, created by main (CLI_Display).
#pragma once

#include <cstdint>

class UpdaterDisplayInterface {
  public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    // Largest formatted message, terminating zero included. Longer texts are
    // cut at MESSAGE_SIZE - 1 characters.
    static const int MESSAGE_SIZE = 2048;

    UpdaterDisplayInterface();

    // The five slots, in this order. show false clears the progress line.
    virtual void display_progress(bool show) = 0;
    // fraction from 0.0 to 1.0; label may be null.
    virtual void update_progress(double fraction, const char* label) = 0;
    // One animation step while active, clears the line when not; label may be null.
    virtual void update_spinner(bool active, const char* label) = 0;
    // text carries no trailing newline: the sink ends the line.
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;
    // Added after the five: the number of bytes the progress bar that
    // follows stands for, so that a sink can show the count and the rate.
    // Call it after display_progress(true); sinks that show no count ignore it.
    virtual void progress_total(uint64_t bytes) { (void)bytes; }

    // Formats one line and hands it to error_message for LEVEL_ERROR and to
    // info_message for any other level. Does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Only message() honours the mute switch; the slots called directly do not.
    void mute_messages(bool mute);
    bool is_muted() const { return muted; }

  protected:
    // Sinks are owned by value by their creator and never deleted through
    // this base, hence no virtual destructor.
    ~UpdaterDisplayInterface() = default;

    bool muted;
};
