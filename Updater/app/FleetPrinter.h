// What a fleet update shows while it runs, and its table at the end.
//
// On a terminal: one line per module in flight (serial, step, percent,
// rate), redrawn in place at most ten times a second, and a line above them
// when a module ends or says something went wrong. Without a terminal: one
// plain line per event, the serial first, each written whole with one call
// (never interleaved inside a line): the messages of each update, its
// progress at every quarter, and its end.
//
// Threads: the observer calls come from the fleet's workers; one mutex
// guards the printer's state and every write it makes.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Fleet.h"

class FleetPrinter final : public FleetObserver {
  public:
    // Information lines go to out, error lines to err (the same stream on a
    // terminal); terminal selects the redrawn form.
    FleetPrinter(FILE* out, FILE* err, bool terminal);

    void started(uint32_t serial) override;
    void message(uint32_t serial, bool error, const std::string& text) override;
    void progress(uint32_t serial, double fraction, uint64_t total) override;
    void finished(const FleetResult& result) override;

  private:
    struct Live {
        uint32_t serial = 0;
        std::string step;
        double fraction = -1; // < 0: no transfer under way
        uint64_t total = 0;
        int quarter = 0; // the last quarter told in the plain form
        std::chrono::steady_clock::time_point stepStart;
    };
    Live* _find(uint32_t serial);            // under lock_
    void _write(FILE* to, std::string line); // under lock_: one call, newline added
    void _redraw(bool force);                // under lock_, terminal only
    void _clear();                           // under lock_, terminal only
    std::string _live_line(const Live& l) const;

    std::mutex lock_; // guards everything below and every write
    FILE* out_;
    FILE* err_;
    bool terminal_;
    std::vector<Live> live_;
    size_t drawn_ = 0; // lines of the live block on the screen
    std::chrono::steady_clock::time_point lastDraw_;
};

// The final table: serial, transport, from -> to version (build), result
// (with the reason of a failure), time; then where the modules left in their
// loader stand, and the count.
std::string _fleet_table(const std::vector<FleetResult>& results);

// The transport column: "USB", "TCPIP", "TCPIP via 0000A001" for a module
// behind a router, "?" when the module was never reached.
std::string _fleet_transport(const FleetResult& result);
