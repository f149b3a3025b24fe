// A bench of simulated modules served on real transports of this machine:
// one TCP listener per module, pseudo-terminals, driver-node stand-ins, the
// UDP discovery responder, and hooks for an external transport (emulated USB).
//
// Locking: one mutex (`mu_`) guards every module and every endpoint. The
// bench's own thread holds it while it moves bytes and runs the modules' timers;
// every public call takes it, so tests may read state while a run goes on.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modsim/BenchConfig.h"
#include "modsim/Module.h"

namespace modsim {

class Bench {
  public:
    Bench();
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Builds the modules and opens their transports; false and `error` when a
    // transport cannot be opened (nothing is left open then).
    bool start(const BenchConfig& cfg, std::string& error);
    void stop();

    std::vector<std::string> names() const;
    bool has(const std::string& name) const;
    // The calls below throw std::out_of_range for a name not on the bench.
    ModuleState state(const std::string& name) const;
    ModuleConfig config(const std::string& name) const;
    uint16_t tcpPort(const std::string& name) const; // 0 without TCP
    std::string tcpHost(const std::string& name) const;
    std::string ptyPath(const std::string& name) const;  // slave path
    std::string nodePath(const std::string& name) const; // the chosen path
    // Waits up to `ms` until `pred` holds for the module's state.
    bool waitFor(const std::string& name, const std::function<bool(const ModuleState&)>& pred,
                 int ms) const;

    // Changes a module's fault switches during a run.
    void setFaults(const std::string& name, const Faults& faults);
    // A dead module's LPC chip (key lpc-rom): its state, flash included, and
    // its fault switches. Throws std::out_of_range for a module without one.
    lpcrom::ChipState lpcState(const std::string& name) const;
    void setLpcFaults(const std::string& name, const lpcrom::Faults& faults);
    // Resets a dead module's LPC chip that is still in its ROM: it starts its
    // flash when the vector checksum is valid, else enters ISP mode afresh.
    void lpcRestart(const std::string& name);

    // Trace: every packet in and out, one line each (null switches it off).
    // The function runs under the bench's mutex: it must not call the bench.
    void setTrace(TraceFn fn);
    // One line per module: name, serial, address and where it is reached.
    std::string summary() const;
    // A readable dump of every module's counters, images, slots and options.
    std::string report() const;
    // True when no module is restarting and every chip that restarted into
    // its i.MX ROM has its ROM up again: the states are final until the
    // next request.
    bool settled() const;
    // Called on the bench's thread, under its lock, as soon as a module asks
    // for a signal to the command it runs (fault switch signal-at).
    void setSignalHandler(std::function<void(int sig)> handler);
    // Writes every module's state as dir/NAME.state.txt, for programs that
    // cannot call state(): key=value lines (serial, mode, present, version,
    // build, restarts, requests, connections, link-starts, forwarded), one
    // "fault NAME=COUNT" line per fault fired and one "option N sets=COUNT
    // value=V" line per option the host set. False and `error` when a file
    // cannot be written. (writeImages writes the images.)
    bool writeState(const std::string& dir, std::string& error) const;

    // External transport (emulated USB). The transport attaches when a host
    // opens the module, writes the host's bytes and reads the module's bytes.
    bool externalAttach(const std::string& name);
    void externalDetach(const std::string& name);
    // The module's immediate answer is ready for externalRead when this returns.
    void externalWrite(const std::string& name, const uint8_t* p, size_t n);
    size_t externalRead(const std::string& name, uint8_t* p, size_t cap);
    // What the external transport must show: present or not, with which serial,
    // and the link epoch (a change means: drop the connection / unplug).
    void externalStatus(const std::string& name, bool& present, uint32_t& serial,
                        uint32_t& epoch) const;

    // Dead i.MX modules (imx=usb|pty): their ROM. These throw
    // std::out_of_range for a module without one.
    // In the ROM and not yet handed over to a loader.
    bool romActive(const std::string& name) const;
    // USB HID: a report the host wrote, and the ROM's answers one at a time.
    void romReport(const std::string& name, const uint8_t* report, size_t n);
    bool romTakeReport(const std::string& name, std::vector<uint8_t>& report);
    imxsim::RomState romState(const std::string& name) const;
    void setRomFaults(const std::string& name, const imxsim::RomFaults& faults);
    std::string romPtyPath(const std::string& name) const; // "" for a HID ROM

    // Writes every image the modules received into dir, one file each, and
    // an index (images.txt); false and `error` when a file cannot be written.
    bool writeImages(const std::string& dir, std::string& error) const;

  private:
    struct Endpoint;
    bool openRom(Endpoint& e, std::string& error);
    void serviceRom(Endpoint& e, uint64_t now);
    Endpoint& ep(const std::string& name) const;
    void loop();
    void serviceEndpoint(Endpoint& e, uint64_t now);
    void flushOutput(Endpoint& e, uint64_t now);
    bool openListener(Endpoint& e, std::string& error);
    void closeAll();
    void answerDiscovery();
    // A dead module's LPC ROM (BenchLpc.cpp), all under mu_. lpcReceive
    // feeds the host's bytes to the chip and is false once the chip runs its
    // flash (the module's firmware then takes them); lpcPump runs the chip,
    // writes its answers to the pty and boots the module once it started.
    static void lpcStart(Endpoint& e, uint64_t now);
    static bool lpcReceive(Endpoint& e, const uint8_t* p, size_t n, uint64_t now);
    static void lpcPump(Endpoint& e, uint64_t now);
    static void lpcSaveFlash(const Endpoint& e); // to the module's lpc-flash-out file
    static std::string lpcReport(const Endpoint& e);

    mutable std::mutex mu_;
    std::function<void(int)> signalHandler_; // under mu_
    std::vector<std::unique_ptr<Module>> modules_;
    std::vector<std::unique_ptr<Endpoint>> eps_; // one per module; children have none open
    BenchConfig cfg_;
    int discoveryFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool started_ = false;
};

uint64_t monotonicUs();

} // namespace modsim
