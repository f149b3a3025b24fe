#include "FleetPrinter.h"

#include <algorithm>

#include "CLI_Display.h"

namespace {

std::string _serial_text(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Terminal control: cursor up n lines, erase the line.
std::string _up(size_t n) {
    return n == 0 ? std::string() : "\x1b[" + std::to_string(n) + "A";
}
const char* const ERASE = "\r\x1b[K";

const auto REDRAW_EVERY = std::chrono::milliseconds(100);

std::string _end_line(const FleetResult& r) {
    char time[32];
    std::snprintf(time, sizeof time, " in %.1f s", r.seconds);
    std::string line = _serial_text(r.serial) + ": " + FleetStateName(r.state);
    if (r.state == FleetResult::UPDATED)
        return line + (r.to.empty() ? "" : ", now runs " + r.to) + time;
    return line + ": " + r.reason;
}

} // namespace

FleetPrinter::FleetPrinter(FILE* out, FILE* err, bool terminal)
    : out_(out), err_(terminal ? out : err), terminal_(terminal) {}

FleetPrinter::Live* FleetPrinter::_find(uint32_t serial) {
    for (Live& l : live_)
        if (l.serial == serial)
            return &l;
    return nullptr;
}

void FleetPrinter::_write(FILE* to, std::string line) {
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), to);
    std::fflush(to);
}

std::string FleetPrinter::_live_line(const Live& l) const {
    std::string line = _serial_text(l.serial) + "  " + l.step.substr(0, 48);
    if (l.fraction >= 0) {
        char text[64];
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - l.stepStart).count();
        std::snprintf(text, sizeof text, "  %3d%%", static_cast<int>(l.fraction * 100.0));
        line += text;
        if (l.total > 0 && seconds >= 0.2)
            line += "  " + _amount_text(l.fraction * static_cast<double>(l.total) / seconds) + "/s";
    }
    return line;
}

void FleetPrinter::_clear() {
    std::string text = _up(drawn_);
    for (size_t i = 0; i < drawn_; ++i)
        text += std::string(ERASE) + "\n";
    text += _up(drawn_);
    std::fwrite(text.data(), 1, text.size(), out_);
    drawn_ = 0;
}

void FleetPrinter::_redraw(bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < REDRAW_EVERY)
        return;
    lastDraw_ = now;
    std::string text = _up(drawn_);
    for (const Live& l : live_)
        text += ERASE + _live_line(l) + "\n";
    // Lines of modules that ended since the last drawing are erased.
    for (size_t i = live_.size(); i < drawn_; ++i)
        text += std::string(ERASE) + "\n";
    if (drawn_ > live_.size())
        text += _up(drawn_ - live_.size());
    drawn_ = live_.size();
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void FleetPrinter::started(uint32_t serial) {
    std::lock_guard<std::mutex> hold(lock_);
    Live l;
    l.serial = serial;
    l.step = "starting";
    l.stepStart = std::chrono::steady_clock::now();
    live_.push_back(l);
    if (terminal_)
        _redraw(true);
    else
        _write(out_, _serial_text(serial) + ": started");
}

void FleetPrinter::message(uint32_t serial, bool error, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    Live* l = _find(serial);
    if (l != nullptr && !error) {
        l->step = text;
        l->fraction = -1;
        l->quarter = 0;
    }
    if (!terminal_) {
        _write(error ? err_ : out_, _serial_text(serial) + ": " + text);
    } else if (error) {
        _clear();
        _write(out_, _serial_text(serial) + ": " + text);
        _redraw(true);
    } else {
        _redraw(false);
    }
}

void FleetPrinter::progress(uint32_t serial, double fraction, uint64_t total) {
    std::lock_guard<std::mutex> hold(lock_);
    Live* l = _find(serial);
    if (l == nullptr)
        return;
    if (l->fraction < 0)
        l->stepStart = std::chrono::steady_clock::now();
    l->fraction = std::min(std::max(fraction, 0.0), 1.0);
    l->total = total;
    if (terminal_) {
        _redraw(false);
        return;
    }
    int quarter = static_cast<int>(l->fraction * 4.0);
    if (quarter <= l->quarter)
        return;
    l->quarter = quarter;
    std::string line = _serial_text(serial) + ": " + std::to_string(quarter * 25) + "%";
    if (total > 0)
        line += " of " + _amount_text(static_cast<double>(total));
    _write(out_, line);
}

void FleetPrinter::finished(const FleetResult& result) {
    std::lock_guard<std::mutex> hold(lock_);
    live_.erase(std::remove_if(live_.begin(), live_.end(),
                               [&](const Live& l) { return l.serial == result.serial; }),
                live_.end());
    FILE* to = result.state == FleetResult::UPDATED ? out_ : err_;
    if (terminal_)
        _clear();
    _write(to, _end_line(result));
    if (terminal_)
        _redraw(true);
}

std::string _fleet_transport(const FleetResult& r) {
    std::string name = r.transport == linkTypeUSB     ? "USB"
                       : r.transport == linkTypeTCPIP ? "TCPIP"
                                                      : "?";
    if (r.routerSerial != 0)
        name += " via " + _serial_text(r.routerSerial);
    return name;
}

namespace {

std::string _change_text(const FleetResult& r) {
    if (r.from.empty() && r.to.empty())
        return "-";
    return (r.from.empty() ? "?" : r.from) + " -> " + (r.to.empty() ? "?" : r.to);
}

std::string _result_text(const FleetResult& r) {
    std::string text = FleetStateName(r.state);
    return r.reason.empty() || r.state == FleetResult::UPDATED ? text : text + ": " + r.reason;
}

} // namespace

std::string _fleet_table(const std::vector<FleetResult>& results) {
    size_t transportWidth = 9, changeWidth = 10, resultWidth = 6;
    for (const FleetResult& r : results) {
        transportWidth = std::max(transportWidth, _fleet_transport(r).size());
        changeWidth = std::max(changeWidth, _change_text(r).size());
        resultWidth = std::max(resultWidth, _result_text(r).size());
    }
    char line[1024];
    const int tw = static_cast<int>(transportWidth), cw = static_cast<int>(changeWidth);
    const int rw = static_cast<int>(std::min<size_t>(resultWidth, 160));
    std::snprintf(line, sizeof line, "%-8s  %-*s  %-*s  %-*s  %s\n", "SERIAL", tw, "TRANSPORT", cw,
                  "FROM -> TO", rw, "RESULT", "TIME");
    std::string out = line;
    std::vector<std::string> inLoader;
    size_t updated = 0;
    for (const FleetResult& r : results) {
        char time[16];
        std::snprintf(time, sizeof time, "%.1f s", r.seconds);
        std::snprintf(line, sizeof line, "%-8s  %-*s  %-*s  %-*s  %s\n",
                      _serial_text(r.serial).c_str(), tw, _fleet_transport(r).c_str(), cw,
                      _change_text(r).c_str(), rw, _result_text(r).c_str(),
                      r.state == FleetResult::NOT_STARTED ? "-" : time);
        out += line;
        if (r.inLoader)
            inLoader.push_back(_serial_text(r.serial));
        if (r.state == FleetResult::UPDATED)
            ++updated;
    }
    if (!inLoader.empty()) {
        std::string list;
        for (const std::string& s : inLoader)
            list += (list.empty() ? "" : ", ") + s;
        out += "In their loader: " + list + "; run the same command again to finish them\n";
    }
    std::snprintf(line, sizeof line, "%zu of %zu modules updated\n", updated, results.size());
    return out + line;
}
