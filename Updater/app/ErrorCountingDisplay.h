// A display that passes everything on to another one and counts the error
// messages on the way, so that main can tell an empty answer from a failed
// one: a failing operation reports itself with exactly such a message.
#pragma once

#include "UpdaterDisplayInterface.h"

class ErrorCountingDisplay : public UpdaterDisplayInterface {
  public:
    explicit ErrorCountingDisplay(UpdaterDisplayInterface& inner) : inner(inner), errors(0) {}

    void display_progress(bool show) override { inner.display_progress(show); }
    void update_progress(double fraction, const char* label) override {
        inner.update_progress(fraction, label);
    }
    void update_spinner(bool active, const char* label) override {
        inner.update_spinner(active, label);
    }
    void info_message(const char* text) override { inner.info_message(text); }
    void error_message(const char* text) override {
        ++errors;
        inner.error_message(text);
    }

    // Error messages passed on so far; muted ones never reach error_message.
    unsigned error_count() const { return errors; }

  private:
    UpdaterDisplayInterface& inner;
    unsigned errors;
};
