// The console implementation of the display sink: information on standard
// output, errors on standard error, and an in-place progress bar and spinner
// drawn only when standard output is a terminal.
#pragma once

#include <cstdio>

#include "UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
  public:
    // Makes standard output and standard error unbuffered, so messages,
    // carriage-return animations and diagnostics interleave as written.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

    // Sends information messages and the animations to standard error, so
    // that standard output carries only what a caller writes there itself
    // (the JSON output of --json).
    void keep_standard_output_clean();

  private:
    FILE* info = stdout; // information messages and animations
};
