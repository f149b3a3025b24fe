// The upgrade entity against the module simulator in this process (TCP on
// loopback): the packets that reach the module byte for byte, the
// DATA/SUM/WRITE rhythm of loader and firmware blocks, every transfer fault a
// module makes, the reconnection when the loader answers LOAD only on a new
// link, and the bounded wait after REBOOT, directly and through a router.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdaterEntity.h"
#include "bytes.h"
#include "display_recorder.h"
#include "objlayer_peer.h"
#include "qError.h"
#include "qTime.h"

using kstest::Bytes;
using Quillmar::Keystrand::Module;
using Quillmar::Keystrand::SystemClass;

namespace {

const uint32_t kSerial = 0x40F5849A;

// A block payload as a BIRD file holds it: 4 address bytes (most significant
// first), then the image.
Bytes Payload(uint32_t address, size_t imageBytes, unsigned seed) {
    Bytes b = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    for (size_t i = 0; i < imageBytes; ++i)
        b.push_back(static_cast<uint8_t>((i * 13 + seed * 7 + i / 256) & 0xFF));
    return b;
}

Bytes Image(const Bytes& payload) {
    return Bytes(payload.begin() + 4, payload.end());
}

// Everything the diagnostic log writes while it lives.
class LogCapture {
  public:
    LogCapture() : file_(std::tmpfile()) {
        Log::SetOutput(file_);
        Log::ActivatePackage(DEBUG_Network_FIRM | DEBUG_Network);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(DEBUG_Network_FIRM | DEBUG_Network);
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
            s.append(buf, n);
        return s;
    }

  private:
    FILE* file_;
};

// One simulated module (and, when asked, a router in front of it) on
// loopback TCP, the host's handle on it, and every upgrade packet the module
// was sent, from the simulator's trace.
class Rig {
  public:
    // bench: the module statements; the module under test is named "m".
    explicit Rig(const std::string& bench) {
        std::string err;
        ok_ = sim_.start(bench, err);
        EXPECT_TRUE(ok_) << err;
        sim_.bench.setTrace([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mu_);
            trace_.push_back(line);
        });
    }
    ~Rig() { sim_.bench.setTrace(nullptr); }

    // A module connected directly over its TCP port.
    bool connectDirect(Module& module) {
        return ok_ && module.connectFromSpec(sim_.tcpSpec("m")) == qErrNone;
    }
    // The router "r" connected with its routing on, and module behind it.
    bool connectRouted(Module& router, Module& module, bool routing = true) {
        if (!ok_ || router.connectFromSpec(sim_.tcpSpec("r")) != qErrNone)
            return false;
        SystemClass system;
        system.init(&router, 0);
        if (routing && system.routeToMe(1) != qErrNone)
            return false;
        return module.connectThroughLinkModule(&router) == qErrNone;
    }
    // The data of every upgrade packet with that sub-command the module got,
    // after cmdUPGRADE and the sub-command.
    std::vector<Bytes> sent(uint8_t sub) {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<Bytes> out;
        for (const std::string& line : trace_) {
            std::istringstream words(line);
            std::string name, dir, address, length;
            words >> name >> dir >> address >> length;
            Bytes data;
            std::string byte;
            while (words >> byte)
                data.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
            if (name == "m" && dir == "<" && data.size() >= 2 && data[0] == cmdUPGRADE &&
                data[1] == sub)
                out.emplace_back(data.begin() + 2, data.end());
        }
        return out;
    }
    std::vector<size_t> dataSizes() {
        std::vector<size_t> sizes;
        for (const Bytes& d : sent(val_UPGRADE_DATA))
            sizes.push_back(d.size());
        return sizes;
    }
    modsim::ModuleState state() { return sim_.bench.state("m"); }
    bool waitFor(const std::function<bool(const modsim::ModuleState&)>& pred) {
        return sim_.bench.waitFor("m", pred, 3000);
    }
    linkSpec spec() { return sim_.tcpSpec("m"); }

  private:
    objtest::SimBench sim_;
    bool ok_ = false;
    std::mutex mu_;
    std::vector<std::string> trace_;
};

std::string ModuleLine(const std::string& extra) {
    return objtest::moduleLine("m", kSerial, 4, "restart-ms=100 " + extra);
}

// A module on loopback TCP, connected directly, with an upgrade entity on it.
struct Direct {
    explicit Direct(const std::string& fault, bool checkSums = true) : rig(ModuleLine(fault)) {
        connected = rig.connectDirect(module);
        entity.init(&module, 0, checkSums);
    }
    Rig rig;
    Module module{4, static_cast<uint8_t>(0)};
    UpdaterEntity entity;
    bool connected = false;
};

// The DATA sizes of one sequence of n bytes.
std::vector<size_t> Chunks(size_t n) {
    std::vector<size_t> sizes;
    for (; n > 26; n -= 26)
        sizes.push_back(26);
    sizes.push_back(n);
    return sizes;
}

std::vector<size_t> Joined(std::vector<std::vector<size_t>> parts) {
    std::vector<size_t> all;
    for (auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Waits (bounded) until the module's TCP port takes a link again.
bool Reconnect(Module& module, const linkSpec& spec) {
    for (int i = 0; i < 100; ++i) {
        (void)module.disconnect();
        if (module.connectFromSpec(spec) == qErrNone && module.isConnected())
            return true;
        (void)qTime_MSSleep(20);
    }
    return false;
}

} // namespace

TEST(UpdaterEntity, SendsLoaderAndFirmwareInTheSizesTheModuleAsksFor) {
    Rig rig(ModuleLine("portion=256"));
    Module module(4, static_cast<uint8_t>(0));
    ASSERT_TRUE(rig.connectDirect(module));
    const Bytes loader = Payload(0x00004000, 60, 1);
    const Bytes firmware = Payload(0x00000000, 1000, 2);

    UpdaterEntity first;
    first.init(&module, 0, true);
    ASSERT_EQ(first.LoaderInit(), qErrNone);
    uint16_t portion = 0;
    ASSERT_EQ(first.TransferPrepare(loader.data(), uint32_t(loader.size()), 5, portion), qErrNone);
    EXPECT_BYTES(Bytes({0x05, 0x00, 0x00, 0x40, 0x00}), rig.sent(val_UPGRADE_PREPARE).at(0));
    ASSERT_EQ(first.LoaderTransfer(loader.data(), uint32_t(loader.size())), qErrNone);
    EXPECT_EQ(rig.dataSizes(), std::vector<size_t>({26, 26, 8}));
    EXPECT_EQ(rig.sent(val_UPGRADE_SUM).size(), 1u);
    ASSERT_EQ(first.LoaderStart(), qErrNone);
    ASSERT_TRUE(first.WaitUntilGone(2000, nullptr)) << "the loader restarts the module";
    ASSERT_TRUE(Reconnect(module, rig.spec()));

    UpdaterEntity second;
    second.init(&module, 0, true);
    ASSERT_EQ(second.TransferPrepare(firmware.data(), uint32_t(firmware.size()), 2, portion),
              qErrNone);
    EXPECT_EQ(portion, 256);
    DisplayRecorder display;
    ASSERT_EQ(second.FirmwareTransfer(firmware.data(), uint32_t(firmware.size()), portion, display),
              qErrNone);
    // 1000 bytes: portions of 256, 256, 256 and 232, each its own DATA sequence.
    EXPECT_EQ(rig.dataSizes(),
              Joined({{26, 26, 8}, Chunks(256), Chunks(256), Chunks(256), Chunks(232)}));
    std::vector<Bytes> writes = rig.sent(val_UPGRADE_WRITE);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_BYTES(Bytes({0x01, 0x00}), writes[0]);
    EXPECT_BYTES(Bytes({0x00, 0xE8}), writes[3]);
    EXPECT_EQ(rig.sent(val_UPGRADE_SUM).size(), 5u) << "one SUM per DATA sequence";
    ASSERT_GE(display.calls.size(), 2u);
    EXPECT_EQ(display.calls.front(), (DisplayRecorder::Call{"display", "1"}));
    EXPECT_EQ(display.calls[4], (DisplayRecorder::Call{"progress", std::to_string(1.0)}));
    EXPECT_EQ(display.calls.back(), (DisplayRecorder::Call{"display", "0"}));

    display.calls.clear();
    ASSERT_EQ(second.LoaderReboot(display), qErrNone);
    EXPECT_EQ(display.calls.back(), (DisplayRecorder::Call{"spinner", "0Verifying Update"}));

    modsim::ModuleState st = rig.state();
    ASSERT_EQ(st.loaderImages.size(), 1u);
    EXPECT_EQ(st.loaderImages[0].flags, 5);
    EXPECT_EQ(st.loaderImages[0].address, 0x4000u);
    EXPECT_BYTES(Image(loader), st.loaderImages[0].data);
    ASSERT_EQ(st.runningFirmware.size(), 1u);
    EXPECT_EQ(st.runningFirmware[0].flags, 2);
    EXPECT_BYTES(Image(firmware), st.runningFirmware[0].data);
}

// Each row: the module's fault, the transfer it spoils, and how the entity
// ends it. Without LOAD the simulator files the firmware block as a loader
// block, which does not matter to the entity.
TEST(UpdaterEntity, ModuleFaultsEndTheTransferWithTheirCode) {
    struct Row {
        const char* fault;
        bool firmware; // FirmwareTransfer (portion, SUM, WRITE) or LoaderTransfer
        qErr expected;
        size_t dataPackets;  // DATA packets the module got
        const char* logLine; // always written
    };
    const Row rows[] = {
        {"data-wrong=3", false, qErrNone, 3 + 3, ""},
        {"data-wrong=always", false, qErrPacket, 1 + UpdaterEntity::DATA_REPEATS,
         "Module refused 26 bytes 6 times; giving up the transfer."},
        {"sum-off", false, qErrInvalidOption, 3, "Unable to validate transfer [00]"},
        {"write-error=3", true, qErrInvalidOption, 3, "Failed to transfer firmware"},
        {"portion=0", true, qErrInvalidOption, 0, "Loader named a portion size of 0"},
    };
    const Bytes payload = Payload(0x1000, 60, 3);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        LogCapture log;
        Direct d(row.fault);
        ASSERT_TRUE(d.connected);
        UpdaterEntity& entity = d.entity;
        ASSERT_EQ(entity.LoaderInit(), qErrNone);
        uint16_t portion = 0;
        ASSERT_EQ(entity.TransferPrepare(payload.data(), uint32_t(payload.size()), 0, portion),
                  qErrNone);
        DisplayRecorder display;
        qErr result = row.firmware
                          ? entity.FirmwareTransfer(payload.data(), uint32_t(payload.size()),
                                                    portion, display)
                          : entity.LoaderTransfer(payload.data(), uint32_t(payload.size()));
        EXPECT_EQ(result, row.expected) << qError_GetErrorText(result);
        EXPECT_EQ(d.rig.dataSizes().size(), row.dataPackets);
        EXPECT_NE(log.text().find(row.logLine), std::string::npos) << log.text();
        if (row.expected == qErrNone) {
            EXPECT_BYTES(Image(payload), d.rig.state().loaderImages.at(0).data);
        }
    }
}

TEST(UpdaterEntity, PrepareRefusedByTheModuleIsAnInvalidOption) {
    Direct d("prepare-error=5");
    ASSERT_TRUE(d.connected);
    UpdaterEntity& entity = d.entity;
    const Bytes payload = Payload(0x1000, 8, 4);
    uint16_t portion = 77;
    EXPECT_EQ(entity.TransferPrepare(payload.data(), uint32_t(payload.size()), 0, portion),
              qErrInvalidOption);
    EXPECT_EQ(portion, 77) << "a refused PREPARE names no portion";
    EXPECT_EQ(entity.TransferPrepare(payload.data(), 3, 0, portion), qErrParam)
        << "a block shorter than its address is not sent";
    EXPECT_EQ(d.rig.sent(val_UPGRADE_PREPARE).size(), 1u);
}

TEST(UpdaterEntity, WithoutSumCheckingNoSumIsAsked) {
    Direct d("sum-off", false);
    ASSERT_TRUE(d.connected);
    UpdaterEntity& entity = d.entity;
    const Bytes payload = Payload(0x1000, 3, 0);
    uint16_t portion = 0;
    ASSERT_EQ(entity.LoaderInit(), qErrNone);
    ASSERT_EQ(entity.TransferPrepare(payload.data(), uint32_t(payload.size()), 0, portion),
              qErrNone);
    EXPECT_EQ(entity.LoaderTransfer(payload.data(), uint32_t(payload.size())), qErrNone);
    EXPECT_TRUE(d.rig.sent(val_UPGRADE_SUM).empty());
}

TEST(UpdaterEntity, LoaderAnsweringOnlyOnItsNewLinkIsReachedThroughAReconnection) {
    LogCapture log;
    Direct d("load-reply=after");
    ASSERT_TRUE(d.connected);
    UpdaterEntity& entity = d.entity;
    const Bytes loader = Payload(0x10000000, 30, 5);
    uint16_t portion = 0;
    ASSERT_EQ(entity.LoaderInit(), qErrNone);
    ASSERT_EQ(entity.TransferPrepare(loader.data(), uint32_t(loader.size()), 0, portion), qErrNone);
    ASSERT_EQ(entity.LoaderTransfer(loader.data(), uint32_t(loader.size())), qErrNone);
    EXPECT_EQ(entity.LoaderStart(), qErrNone);
    EXPECT_NE(log.text().find("NETWORK: Loader validated start (Reconnect)"), std::string::npos)
        << log.text();
    EXPECT_TRUE(d.module.isConnected());
    EXPECT_EQ(d.rig.state().mode, modsim::Mode::Loader);
}

// REBOOT: the wait ends when the module has gone, and a module that keeps its
// link ends it at the bound with one error message.
TEST(UpdaterEntity, RebootWaitsForTheModuleToGoAndNoLongerThanItsBound) {
    struct Row {
        const char* fault;
        bool routed;
        qErr expected;
    };
    const Row rows[] = {
        {"", false, qErrNone},
        {"keep-link", false, qErrTimeout},
        {"", true, qErrNone},
        {"keep-link", true, qErrTimeout},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.fault) + (row.routed ? " routed" : " direct"));
        std::string bench = row.routed ? objtest::moduleLine("r", 0x0000A000, 2) +
                                             "module m serial=40F5849A address=6 router=r "
                                             "restart-ms=300 " +
                                             row.fault + "\n"
                                       : ModuleLine(row.fault);
        Rig rig(bench);
        Module router(2, static_cast<uint8_t>(0));
        Module module(row.routed ? 6 : 4, static_cast<uint8_t>(0));
        ASSERT_TRUE(row.routed ? rig.connectRouted(router, module) : rig.connectDirect(module));
        UpdaterEntity entity;
        entity.init(&module, 0, true);
        entity.rebootWaitMs = 1500;
        DisplayRecorder display;
        EXPECT_EQ(entity.LoaderReboot(display), row.expected);
        size_t errors = 0;
        for (const auto& call : display.calls)
            errors += call.slot == "error";
        EXPECT_EQ(errors, row.expected == qErrNone ? 0u : 1u);
        EXPECT_NE(std::find(display.calls.begin(), display.calls.end(),
                            DisplayRecorder::Call{"spinner", "0Verifying Update"}),
                  display.calls.end());
        EXPECT_TRUE(rig.waitFor([](const modsim::ModuleState& st) { return st.restarts == 1; }))
            << "the module restarted (and came back)";
    }
}

TEST(UpdaterEntity, AModuleBehindARouterThatDoesNotRouteIsNotThere) {
    Rig rig(objtest::moduleLine("r", 0x0000A000, 2) +
            "module m serial=40F5849A address=6 router=r\n");
    Module router(2, static_cast<uint8_t>(0));
    Module module(6, static_cast<uint8_t>(0));
    ASSERT_TRUE(rig.connectRouted(router, module, false));
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    EXPECT_FALSE(entity.Answers());
    SystemClass system;
    system.init(&router, 0);
    ASSERT_EQ(system.routeToMe(1), qErrNone);
    EXPECT_TRUE(entity.Answers());
}
