#include "Fleet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "Interrupt.h"
#include "Log.h"

namespace {

// The display of one module's update: everything it says goes to the
// observer under the module's serial number; the first error line is kept
// as the reason of a failure that was printed without an Outcome.
class ModuleDisplay final : public UpdaterDisplayInterface {
  public:
    ModuleDisplay(uint32_t serial, FleetObserver& observer)
        : serial_(serial), observer_(observer) {}

    void display_progress(bool) override { total_ = 0; }
    void progress_total(uint64_t bytes) override { total_ = bytes; }
    void update_progress(double fraction, const char*) override {
        observer_.progress(serial_, fraction, total_);
    }
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { observer_.message(serial_, false, text); }
    void error_message(const char* text) override {
        if (firstError_.empty())
            firstError_ = text;
        observer_.message(serial_, true, text);
    }

    const std::string& firstError() const { return firstError_; }

  private:
    uint32_t serial_;
    FleetObserver& observer_;
    uint64_t total_ = 0;
    std::string firstError_;
};

double _seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string _unchanged(uint32_t serial) {
    char text[64];
    std::snprintf(text, sizeof text, "%08X is unchanged", serial);
    return text;
}

FleetResult _not_started(const FleetModule& m) {
    FleetResult r;
    r.serial = m.serial;
    r.transport = m.transport;
    r.routerSerial = m.routerSerial;
    r.state = FleetResult::NOT_STARTED;
    r.reason = "stopped on request";
    r.standing = _unchanged(m.serial);
    return r;
}

// The update's account of itself, into the module's row.
void _take_report(FleetResult& r, const UpdateReport& report, bool ok,
                  const std::string& firstError) {
    if (report.reached) {
        r.transport = report.transport;
        r.from = report.from;
        r.to = report.to;
        r.build = report.build;
    }
    if (ok) {
        r.state = FleetResult::UPDATED;
        return;
    }
    const Outcome& out = report.outcome;
    r.state = out.interrupted() ? FleetResult::STOPPED : FleetResult::FAILED;
    r.reason = !out.ok() && !out.text().empty() ? out.text() : firstError;
    if (r.reason.empty())
        r.reason = "failed";
    r.standing = out.ok() ? _unchanged(r.serial) : out.standing();
    r.inLoader = r.standing.find("is in its loader") != std::string::npos;
}

FleetResult _update_one(const FleetRequest& request, const FleetModule& m, FleetObserver& observer,
                        FleetDownloads& downloads) {
    const auto start = std::chrono::steady_clock::now();
    FleetResult r;
    r.serial = m.serial;
    r.transport = m.transport;
    r.routerSerial = m.routerSerial;
    observer.started(m.serial);
    ModuleDisplay display(m.serial, observer);
    Updater updater(request.serverUrl.c_str(), request.storeDirectory.c_str(), display);
    uint32_t build = request.build;
    if (request.download) {
        const std::string asked = build == 0 ? std::string() : std::to_string(build);
        build = downloads.Once(m.serial, asked, [&] {
            return updater.Download_Firmware(m.serial, asked, request.overrideModelCheck, false);
        });
        if (build == 0) {
            r.state = FleetResult::FAILED;
            r.reason = display.firstError().empty()
                           ? "the download failed"
                           : "the download failed: " + display.firstError();
            r.standing = _unchanged(m.serial) + "; nothing was written to it";
            r.seconds = _seconds_since(start);
            return r;
        }
    }
    UpdateReport report;
    bool ok = updater.Update_Firmware(m.serial, build, request.firmwareFile, m.address,
                                      m.routerSerial, request.overrideModelCheck, &report);
    _take_report(r, report, ok, display.firstError());
    r.seconds = _seconds_since(start);
    return r;
}

// The lanes and where each lane's results go; workers take the next lane
// until none is left.
struct Work {
    const FleetRequest& request;
    const std::vector<FleetLane>& lanes;
    std::vector<size_t> firstResult; // per lane, its first module's index in results
    std::vector<FleetResult>& results;
    FleetObserver& observer;
    FleetDownloads downloads;
    std::atomic<size_t> next{0};
};

void _worker(Work* work) {
    for (size_t lane = work->next++; lane < work->lanes.size(); lane = work->next++) {
        size_t at = work->firstResult[lane];
        for (const FleetModule& m : work->lanes[lane].modules) {
            FleetResult r = StopRequested()
                                ? _not_started(m)
                                : _update_one(work->request, m, work->observer, work->downloads);
            work->observer.finished(r);
            work->results[at++] = r;
        }
    }
}

} // namespace

std::vector<FleetLane> PlanLanes(const std::vector<FleetModule>& modules) {
    std::vector<FleetLane> lanes;
    for (const FleetModule& m : modules) {
        const uint32_t link = m.routerSerial != 0 ? m.routerSerial : m.serial;
        FleetLane* lane = nullptr;
        for (FleetLane& l : lanes)
            if (l.link == link)
                lane = &l;
        if (lane == nullptr) {
            lanes.emplace_back();
            lane = &lanes.back();
            lane->link = link;
        }
        lane->modules.push_back(m);
    }
    return lanes;
}

const char* FleetStateName(FleetResult::State state) {
    switch (state) {
    case FleetResult::UPDATED:
        return "updated";
    case FleetResult::FAILED:
        return "failed";
    case FleetResult::STOPPED:
        return "stopped";
    case FleetResult::NOT_STARTED:
        break;
    }
    return "not started";
}

FleetDownloads::Entry& FleetDownloads::_entry(const std::string& key) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& e : entries_)
        if (e->key == key)
            return *e;
    entries_.emplace_back(new Entry);
    entries_.back()->key = key;
    return *entries_.back();
}

unsigned FleetDownloads::Count() {
    std::lock_guard<std::mutex> hold(lock_);
    return count_;
}

std::vector<FleetResult> RunFleet(const FleetRequest& request, const std::vector<FleetLane>& lanes,
                                  FleetObserver& observer) {
    std::vector<FleetResult> results;
    Work work{request, lanes, {}, results, observer, {}, {0}};
    for (const FleetLane& lane : lanes) {
        work.firstResult.push_back(results.size());
        results.resize(results.size() + lane.modules.size());
    }
    // The outermost scope, held by this thread: the updates' own scopes only
    // nest inside it, and a signal only records the stop for all of them.
    InterruptScope interruptible;
    const size_t count = std::min<size_t>(request.jobs == 0 ? 1 : request.jobs, lanes.size());
    Log::log(DEBUG_Updater, "Fleet: %zu lanes, %zu at once\n", lanes.size(), count);
    std::vector<std::thread> workers;
    for (size_t i = 0; i < count; ++i)
        workers.emplace_back(_worker, &work);
    for (std::thread& t : workers)
        t.join();
    Log::log(DEBUG_Updater, "Fleet: %u downloads\n", work.downloads.Count());
    return results;
}
