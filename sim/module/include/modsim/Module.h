// The simulated module: a transport-independent core that takes the bytes a
// host sends on its link and produces the bytes the module answers, driven by
// a clock that the caller passes in (microseconds, any monotonic origin).
//
// Threading: a Module is not thread-safe. Its owner (the Bench) serialises
// every call under one mutex; tests that use a Module directly call it from one
// thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imxsim/ImxRom.h"
#include "lpcrom/IspChip.h"

namespace modsim {

struct Packet {
    uint8_t addr = 0;
    std::vector<uint8_t> data;
};

// Fault switches, one set per module. Positions count from 0; -1 = off.
struct Faults {
    long dropOutAt = -1;          // drop this byte of the module's output
    unsigned dropOutPerMille = 0; // drop output bytes at this rate
    long corruptOutAt = -1;       // invert this byte of the module's output
    unsigned corruptOutPerMille = 0;
    long dropInAt = -1;               // drop this byte of the host's input
    unsigned ignoreNth = 0;           // ignore the Nth request (1 = first)
    unsigned dataWrongCount = 0;      // answer DATA with a wrong count N times
    bool sumOffByOne = false;         // SUM answers the running sum + 1
    bool loaderSumOff = false;        // the same, for loader blocks only
    bool loaderPrepareSilent = false; // PREPARE of a loader block opens it but gets no answer
    // After this many firmware bytes, ask the bench to send signalNumber to
    // the command it runs (once; 0: off).
    uint64_t signalAtFirmwareByte = 0;
    int signalNumber = 0;
    uint8_t prepareStatus = 0;  // non-zero: PREPARE answers this status
    uint8_t writeStatus = 0;    // non-zero: WRITE answers this status
    unsigned writeErrors = ~0u; // ... for the first this many WRITEs (then the fault is gone)
    bool keepLinkAfterReboot = false;
    long vanishAtFirmwareByte = -1; // vanish after this many firmware bytes
    unsigned slowMs = 0;            // delay every answer by this much
    unsigned refuseConnections = 0; // refuse the first N connections
    uint32_t deafMs = 0;            // after each restart: on its transports, deaf this long
    bool closedPort = false;        // TCP: nothing listens on the port (read when it opens)
    bool noReturnAfterLoad = false; // stays away after LOAD
    uint32_t seed = 1;              // for the rate faults
    // System options (command 3) whose gets and sets get no answer at all.
    std::vector<uint8_t> silentOptions;
    // Gets and sets of this system option answer the error optionErrorCode
    // (off while the code is 0).
    uint8_t optionErrorOption = 0;
    uint8_t optionErrorCode = 0;
    // Data bytes of the DESCRIBE build reply (0: the normal 6); shorter cuts
    // the build number, longer pads it with zeros.
    uint8_t buildReplyLength = 0;
    // USB only: another program holds the module's interface, so a host's
    // claim fails (read when the module is plugged).
    bool busy = false;
};

struct ModuleConfig {
    std::string name = "m";
    uint32_t serial = 0x10000001;
    uint8_t model = 17;
    uint8_t address = 2;
    uint32_t version = 0x10000001; // packed major.minor.patch
    uint32_t build = 1;
    uint32_t uid[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    std::string label;                // option 32 (name)
    uint32_t heartbeatMs = 1000;      // 0 = no heartbeats
    uint16_t portion = 256;           // PREPARE's portion size
    uint32_t loadBase = 0x10000000;   // INIT's load base address
    bool loaderDefaultSerial = false; // loader presents 0xDEADDEAD
    uint32_t newVersion = 0;          // after REBOOT when the image has no descriptor
    uint32_t newBuild = 0;
    uint32_t streamMs = 100;     // sample interval of subscribed options
    uint32_t restartMs = 200;    // time away on reset, LOAD and REBOOT
    bool loadReplyAfter = false; // answer LOAD only after coming back
    unsigned slotStores = 2, slotsPerStore = 4, slotCapacity = 1024;
    // Transports (used by the Bench, not by the core).
    std::string tcp; // "host:port"; empty: none
    bool pty = false;
    std::string node; // driver node path; empty: none
    bool usb = false;
    std::string router; // name of the router this module sits behind
    // As a router: each packet it passes on to its network takes this long,
    // one after the other (one I2C bus); 0 passes them on at once.
    uint32_t forwardMs = 0;
    Faults faults;
    // A dead i.MX module: the chip boots into its ROM, served on "usb" (HID)
    // or "pty" (a serial line at romBaud); empty: a module with firmware.
    // The loader started through the ROM and the new firmware run on USB.
    std::string imxRom;
    unsigned romBaud = 115200;
    // imx=pty: the ROM's pty is also reached through a symlink at this path
    // (removed when the bench stops), so that a program started before the
    // bench knows where the ROM is; empty: none.
    std::string romLink;
    imxsim::RomConfig rom;
    // A restart that ends in the ROM (a reset of the live loader) brings
    // the ROM back this long after the module left instead of restartMs: a
    // chip slow to enumerate in its ROM again. 0: restartMs.
    uint32_t romReturnMs = 0;
    // A dead module whose LPC chip sits in its ROM's ISP mode on the pty
    // until an image is written and started (sim/lpcrom); the chip's device
    // serial number is `uid`.
    bool lpcRom = false;
    lpcrom::ChipConfig lpc;
    std::string lpcFlashOut; // the flash is written there when the bench stops
};

struct Block {
    uint8_t flags = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
    bool operator==(const Block& o) const {
        return flags == o.flags && address == o.address && data == o.data;
    }
};

// Rom: the firmware is dead and the chip sits in its ROM (i.MX modules); the
// module's own link is absent until the ROM starts a loader.
enum class Mode { Firmware, Loader, Rom };

// Everything a test may read back about a module.
struct ModuleState {
    Mode mode = Mode::Firmware;
    uint32_t serial = 0; // serial number presented now
    uint32_t version = 0, build = 0;
    bool present = true; // reachable (listening / on the bus)
    bool linkStarted = false;
    bool routing = false;
    unsigned syncs = 0, addressQueries = 0, linkStarts = 0, linkStops = 0;
    unsigned heartbeatsSent = 0, heartbeatsAnswered = 0, heartbeatsBad = 0;
    unsigned heartbeatsMissed = 0;
    unsigned requests = 0, framingErrors = 0, restarts = 0, connections = 0;
    unsigned ignoredPackets = 0, forwarded = 0, samplesSent = 0;
    unsigned forwardPeak = 0; // most packets waiting at once to be passed on (forward-ms)
    unsigned romEntries = 0;  // how often the chip came up in its ROM
    int signalDue = 0;        // signal-at fired: the signal for the bench's command
    std::map<std::string, unsigned> faultsFired;
    std::vector<Block> loaderImages;        // as received since the last INIT
    std::vector<Block> firmwareImages;      // as written since the last INIT
    std::vector<Block> runningFirmware;     // what REBOOT started
    std::map<uint8_t, uint32_t> options;    // current scalar option values
    std::map<uint8_t, unsigned> optionSets; // number of accepted sets per option
    std::string label;
    std::vector<uint8_t> powerConfig;
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> slots;
    std::map<uint8_t, std::vector<uint8_t>> factory;
    std::vector<uint16_t> factoryCloseCounts;
    std::vector<uint32_t> subscriptions;
};

using TraceFn = std::function<void(const std::string& line)>;

class Module {
  public:
    explicit Module(const ModuleConfig& cfg);

    const ModuleConfig& config() const { return cfg_; }
    const std::string& name() const { return cfg_.name; }
    uint8_t address() const { return cfg_.address; }

    // Routing: a child answers through its router's link.
    void addChild(Module* child);
    const std::vector<Module*>& children() const { return children_; }

    // Host side of the link.
    void receive(const uint8_t* bytes, size_t n, uint64_t nowUs);
    void poll(uint64_t nowUs);
    // Appends the bytes due by now to `out` (faults applied); returns count.
    size_t takeOutput(std::vector<uint8_t>& out, uint64_t nowUs);

    // Transport events. attach() returns false when the connection is refused.
    bool attach(uint64_t nowUs);
    void detach(uint64_t nowUs);
    bool present() const { return st_.present; }
    // The signal a signal-at switch asks for, once (0: none due).
    int takeSignal() {
        int sig = st_.signalDue;
        st_.signalDue = 0;
        return sig;
    }
    // Increments whenever the module drops its link; a transport closes the
    // connection (or unplugs) when it sees a new value.
    uint32_t linkEpoch() const { return epoch_; }
    uint32_t presentedSerial() const { return st_.serial; }
    // Away for a restart (reset, LOAD, REBOOT, a loader the ROM started)
    // and due back; false for a module that is present or gone for good.
    bool restarting() const { return dropPending_ || (away_ && !gone_); }

    // The ROM jumped to the loader it was given: the loader comes up after
    // restartMs (Loader mode, on the module's transports); with `runs` false
    // it never does.
    void leaveRom(uint64_t nowUs, bool runs);

    ModuleState state() const { return st_; }
    // The firmware does not run (its chip sits in its ROM): no link, not
    // present on any transport, until the ROM starts a loader (leaveRom, an
    // i.MX chip) or an image written into the flash (bootImage, an LPC chip).
    void enterRom(uint64_t nowUs);
    // The chip starts the image at flash address 0: the module comes back
    // running it, reporting the build and version of a descriptor inside.
    void bootImage(const std::vector<uint8_t>& image, uint64_t nowUs);
    // Switches faults on or off while the module runs (counts start afresh).
    void setFaults(const Faults& f);
    void setTrace(TraceFn fn) { trace_ = std::move(fn); }

  private:
    friend struct ModuleTestAccess;
    // link layer (Module.cpp)
    void acceptByte(uint8_t b);
    void framingError();
    void finishSyncRun();
    void handlePacket(const Packet& p);
    void tracePacket(char dir, const Packet& p);
    void fire(const char* fault);
    void heartbeatTick();
    void scheduleAway(uint32_t ms, Mode nextMode, bool dropLink);
    void comeBack();
    bool routingActive() const;
    Module* root() { return router_ ? router_->root() : this; }
    void queueForward(const Packet& p);
    void routeToChild(const Packet& p);
    void deliverForwarded();

  public:
    // Sends one packet from this module (children send through their router).
    void emit(uint8_t addr, const std::vector<uint8_t>& data);
    void emit(const std::vector<uint8_t>& data) { emit(cfg_.address, data); }

  private:
    // command handlers
    void dispatch(const Packet& p);
    void handleSystem(const Packet& p); // ModuleSystem.cpp
    void systemGet(uint8_t opt, uint8_t idx, const std::vector<uint8_t>& d);
    void systemSet(uint8_t opt, uint8_t idx, const std::vector<uint8_t>& d);
    void systemBytesChunk(uint8_t opt, uint8_t idx, const std::vector<uint8_t>& d);
    void applySystemValue(uint8_t opt, uint8_t idx, uint32_t v, bool call);
    void sendBytes(uint8_t cmd, uint8_t opt, uint8_t idx, const std::vector<uint8_t>& v);
    void uerr(uint8_t cmd, uint8_t optByte, uint8_t idx, uint8_t code);
    void handleDescribe(const Packet& p);
    void handleUpgrade(const Packet& p); // ModuleUpgrade.cpp
    void upgradeReboot();
    void takeDescriptor();
    void handleSlot(const Packet& p); // ModuleStore.cpp
    void handleFactory(const Packet& p);
    void handleStream(const Packet& p);
    void streamTick();
    bool optionValue(uint8_t opt, uint8_t sub, uint32_t& v, uint8_t& width) const;

    ModuleConfig cfg_;
    ModuleState st_;
    Module* router_ = nullptr;
    std::vector<Module*> children_;
    TraceFn trace_;
    uint64_t now_ = 0;
    uint64_t bootUs_ = 0;
    uint32_t epoch_ = 0;

    // assembler
    enum class Rx { Idle, Length, Data, Unsynced, SyncZero, SyncRun };
    Rx rx_ = Rx::Idle;
    Packet asm_;
    unsigned asmLen_ = 0;
    unsigned syncPairs_ = 0;
    uint64_t syncSeenUs_ = 0;
    uint64_t inCount_ = 0;
    uint64_t outCount_ = 0;

    // output: bytes with their release time
    std::deque<std::pair<uint64_t, uint8_t>> out_;
    std::mt19937 rng_;

    // heartbeat
    uint64_t nextHbUs_ = 0;
    bool hbPending_ = false;
    uint8_t hbExpect_ = 0, hbNext_ = 0;

    // away (restart, LOAD, REBOOT)
    bool awayScheduled_ = false;
    uint64_t dropAtUs_ = 0;
    bool dropPending_ = false;
    uint64_t backAtUs_ = 0;
    bool away_ = false;
    bool gone_ = false;
    bool romLate_ = false;     // comeBack deferred once for romReturnMs
    uint64_t deafUntilUs_ = 0; // Faults::deafMs after the last comeBack
    Mode nextMode_ = Mode::Firmware;
    bool loadReplyOwed_ = false;
    unsigned refused_ = 0;

    // multi-packet set in progress
    uint8_t bytesOpt_ = 0, bytesSeq_ = 0;
    std::vector<uint8_t> bytesBuf_;
    std::map<uint8_t, uint32_t> saved_; // option values kept by `save`
    uint32_t savedHbMs_ = 0;            // heartbeat interval kept by `save`

    // upgrade
    bool initDone_ = false;
    bool blockOpen_ = false;
    bool blockIsLoader_ = true;
    Block cur_;
    std::vector<uint8_t> pending_; // firmware portion awaiting WRITE
    uint32_t sum_ = 0;
    unsigned dataWrongLeft_ = 0;
    uint64_t fwBytes_ = 0;

    // slots
    struct OpenSlot {
        uint8_t store, slot;
        bool write;
        size_t pos;
    };
    std::map<uint8_t, OpenSlot> handles_;
    uint8_t nextHandle_ = 1;
    // factory transfer in progress
    bool facActive_ = false, facSet_ = false;
    uint8_t facKind_ = 0;
    size_t facPos_ = 0;
    std::vector<uint8_t> facBuf_;
    // streams
    uint64_t nextSampleUs_ = 0;
    // routing with a forwarding delay: packets with the time they reach the network
    std::deque<std::pair<uint64_t, Packet>> forwardQueue_;
    uint64_t forwardBusyUntilUs_ = 0;
};

std::string hexBytes(const uint8_t* p, size_t n);

} // namespace modsim
