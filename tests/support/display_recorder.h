// A display sink for tests: records every call in order, so tests can check
// what reached the user and on which channel.
#pragma once

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class DisplayRecorder : public UpdaterDisplayInterface {
  public:
    struct Call {
        std::string slot; // "info", "error", "progress", "spinner", "display"
        std::string text;
        bool operator==(const Call& o) const { return slot == o.slot && text == o.text; }
    };

    void display_progress(bool show) override { calls.push_back({"display", show ? "1" : "0"}); }
    void update_progress(double fraction, const char* label) override {
        calls.push_back({"progress", std::to_string(fraction) + (label ? label : "")});
    }
    void update_spinner(bool active, const char* label) override {
        calls.push_back({"spinner", std::string(active ? "1" : "0") + (label ? label : "")});
    }
    void info_message(const char* text) override { calls.push_back({"info", text}); }
    void error_message(const char* text) override { calls.push_back({"error", text}); }

    std::vector<Call> calls;
};
