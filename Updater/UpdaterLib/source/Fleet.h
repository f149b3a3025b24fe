// A fleet update: many modules in one run, several at a time.
//
// The modules are grouped into lanes: each module reached directly has a
// lane of its own; the modules behind one router share that router's link
// and its lane, one after the other. At most `jobs` lanes run at once, each
// on a worker thread with its own Updater and display sink; a module's
// failure stays in its own result, the other lanes go on.
//
// Ctrl-C and SIGTERM: RunFleet holds an InterruptScope for the whole run;
// every transfer stops at its next packet (the update's own safe points),
// a lane starts no further module, and each result says where its module
// stands.
//
// Threads: RunFleet is called from the main thread; the observer is called
// from the worker threads (one call at a time per module, several modules at
// once): it must be safe to call from several threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Updater.h"

// One module of the fleet and how it is reached: directly (routerSerial 0)
// or at address behind the router routerSerial.
struct FleetModule {
    uint32_t serial = 0;
    uint32_t routerSerial = 0;
    uint8_t address = 0;
    linkType transport = static_cast<linkType>(0); // as discovery found it; 0 unknown
};

// Modules that run one after the other, over one link.
struct FleetLane {
    uint32_t link = 0; // the serial of the directly reached module whose link it uses
    std::vector<FleetModule> modules;
};

// The lanes of a fleet, in the order of the modules: one per direct module,
// except that the modules behind a router share the router's lane (the
// router itself included, when it is updated too), in their order.
std::vector<FleetLane> PlanLanes(const std::vector<FleetModule>& modules);

// What became of one module.
struct FleetResult {
    enum State { NOT_STARTED, UPDATED, FAILED, STOPPED };
    uint32_t serial = 0;
    State state = NOT_STARTED;
    linkType transport = static_cast<linkType>(0);
    uint32_t routerSerial = 0; // the router it is behind, 0 when reached directly
    std::string from, to;      // running before, what the file brings ("" unknown)
    uint32_t build = 0;
    std::string reason;    // one line: why it failed or stopped
    std::string standing;  // where the module stands after a failure
    bool inLoader = false; // left in its loader: the same command finishes it
    double seconds = 0;    // from its start to its end
};

// The stable words of a result for the table and --json.
const char* FleetStateName(FleetResult::State state);

// What the fleet runner tells as it goes.
class FleetObserver {
  public:
    virtual void started(uint32_t serial) = 0;
    // A message of the module's update (info or error), one line.
    virtual void message(uint32_t serial, bool error, const std::string& text) = 0;
    // The transfer of the current step: fraction done of total bytes (0: unknown).
    virtual void progress(uint32_t serial, double fraction, uint64_t total) = 0;
    virtual void finished(const FleetResult& result) = 0;

  protected:
    ~FleetObserver() = default;
};

// Downloads of the store shared by the workers: each (serial, build) is
// fetched once, by the first worker that asks; the others wait for it and
// share its result. The store keeps a build in its module's own entry (the
// server makes it for that serial number), so the key is the serial's, and
// downloads of different keys run side by side, each writing its own entry.
class FleetDownloads {
  public:
    // The stored build number, 0 when the download failed. fetch runs at most
    // once per key.
    template <typename Fetch> uint32_t Once(uint32_t serial, const std::string& build, Fetch fetch);

    // How many downloads ran (for the diagnostic log).
    unsigned Count();

  private:
    struct Entry {
        std::string key;
        std::once_flag once;
        uint32_t stored = 0;
    };
    Entry& _entry(const std::string& key);

    std::mutex lock_; // guards entries_ (the list; each entry runs under its own once)
    std::vector<std::unique_ptr<Entry>> entries_;
    unsigned count_ = 0; // guarded by lock_
};

template <typename Fetch>
uint32_t FleetDownloads::Once(uint32_t serial, const std::string& build, Fetch fetch) {
    char key[64];
    std::snprintf(key, sizeof key, "%08X/%s", serial, build.empty() ? "latest" : build.c_str());
    Entry& e = _entry(key);
    std::call_once(e.once, [&] {
        e.stored = fetch();
        std::lock_guard<std::mutex> hold(lock_);
        ++count_;
    });
    return e.stored;
}

// What every module of the run gets.
struct FleetRequest {
    std::string serverUrl;
    std::string storeDirectory;
    uint32_t build = 0;       // -b: 0 lets each update choose
    std::string firmwareFile; // -f: a generic file for every module
    bool download = false;    // -G: fetch each module's build (or latest) first
    bool overrideModelCheck = false;
    unsigned jobs = 4; // lanes at once
};

// Runs the lanes, at most request.jobs at once, until all ended or a stop
// was requested. Results in the order of the modules of the lanes.
std::vector<FleetResult> RunFleet(const FleetRequest& request, const std::vector<FleetLane>& lanes,
                                  FleetObserver& observer);
