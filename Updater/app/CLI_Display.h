// The console implementation of the display sink: information on standard
// output, errors on standard error, and an in-place progress bar and spinner
// drawn only when standard output is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

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
    // On a terminal the bar then shows the bytes done of that total and the rate.
    void progress_total(uint64_t bytes) override;

    // Sends information messages and the animations to standard error, so
    // that standard output carries only what a caller writes there itself
    // (the JSON output of --json).
    void keep_standard_output_clean();

  private:
    // " 12.3 kB of 64.1 kB  5.2 kB/s", or empty while no total is known.
    std::string progress_stats(double fraction) const;

    FILE* info = stdout; // information messages and animations
    uint64_t total = 0;  // bytes the bar stands for; 0: not told
    std::chrono::steady_clock::time_point started;
};

// An amount of bytes as the bar shows it: "512 B", "12.3 kB", "1.2 MB".
std::string _amount_text(double bytes);
