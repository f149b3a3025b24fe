// The module simulator's USB transport on the emulated bus.
#include "modsim/UsbServe.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "modsim/Bench.h"
#include "modsim/modsim_protocol.h"
#include "usbsim/hidbus.h"
#include "usbsim/usbbus.h"

namespace modsim {

struct UsbServe::Slot {
    std::string name;
    uint8_t model = 0;
    kssim::UsbDevice* dev = nullptr; // current device; null while away
    uint32_t epoch = 0;              // the module's link epoch when plugged
    bool attached = false;           // a host has the module's link
    unsigned plugs = 0;
    bool hasRom = false;             // a dead i.MX module with its ROM on HID
    kssim::HidDevice* rom = nullptr; // the ROM's device while it is on the bus
    unsigned romPlugs = 0;
};

UsbServe::UsbServe(Bench& bench, kssim::UsbBus& bus) : bench_(bench), bus_(bus) {}

UsbServe::~UsbServe() {
    stop();
}

bool UsbServe::plug(Slot& s, uint32_t serial, std::string& error) {
    kssim::UsbDeviceConfig c;
    c.vendorId = kUsbVendor;
    c.productId = s.model;
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    c.serial = text;
    c.product = "Keystrand module (simulated)";
    bool busy = bench_.config(s.name).faults.busy;
    kssim::UsbDevice* dev = nullptr;
    try {
        dev = bus_.plug(c);
    } catch (const std::exception& e) {
        error = "module " + s.name + ": cannot plug into the emulated USB bus: " + e.what();
        return false;
    }
    if (busy)
        dev->setHeldElsewhere(true); // another program has it open and claimed
    {
        std::lock_guard<std::mutex> lock(mu_);
        s.dev = dev;
        s.attached = false;
        s.plugs++;
    }
    Slot* slot = &s;
    dev->setHostWriteHandler([this, slot, dev](const uint8_t* p, size_t n) {
        std::lock_guard<std::mutex> lock(mu_);
        if (slot->dev != dev)
            return; // bytes for a device that left the bus
        if (!slot->attached)
            slot->attached = bench_.externalAttach(slot->name);
        if (!slot->attached)
            return;
        bench_.externalWrite(slot->name, p, n);
        uint8_t answer[800]; // what the module answered at once goes out at once
        size_t got = bench_.externalRead(slot->name, answer, sizeof answer);
        if (got)
            dev->sendToHost(answer, got);
    });
    return true;
}

// The i.MX ROM's HID device: NXP's ids, reports 1 and 2 out, 3 and 4 in.
bool UsbServe::plugRom(Slot& s, std::string& error) {
    kssim::HidDeviceConfig c;
    c.vendorId = imxsim::kRomVendor;
    c.productId = imxsim::kRomProduct;
    c.manufacturer = "NXP";
    c.product = "SE Blank (simulated)";
    c.reportDescriptor =
        kssim::buildReportDescriptor({{imxsim::kReportCommand, imxsim::kCommandSize, false},
                                      {imxsim::kReportData, imxsim::kDataReportSize, false},
                                      {imxsim::kReportHab, 4, true},
                                      {imxsim::kReportStatus, imxsim::kStatusReportSize, true}});
    kssim::HidDevice* dev = nullptr;
    try {
        dev = bus_.plugHid(c);
    } catch (const std::exception& e) {
        error = "module " + s.name + ": cannot plug its ROM into the emulated USB bus: " + e.what();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        s.rom = dev;
        s.romPlugs++;
    }
    const std::string name = s.name;
    dev->setOutputHandler([this, name, dev](const uint8_t* p, size_t n) {
        bench_.romReport(name, p, n);
        sendRomAnswers(name, dev);
    });
    return true;
}

void UsbServe::sendRomAnswers(const std::string& name, kssim::HidDevice* dev) {
    std::lock_guard<std::mutex> lock(romSendMu_);
    std::vector<uint8_t> report;
    while (bench_.romTakeReport(name, report))
        dev->sendReport(report);
}

void UsbServe::serviceRom(Slot& s) {
    bool active = bench_.romActive(s.name);
    kssim::HidDevice* rom = nullptr;
    {
        std::lock_guard<std::mutex> lock(mu_);
        rom = active ? s.rom : nullptr;
    }
    if (rom)
        sendRomAnswers(s.name, rom); // answers that were due later (a slow ROM)
    kssim::HidDevice* gone = nullptr;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (s.rom && !active) {
            gone = s.rom; // handed over to the loader: the ROM leaves the bus
            s.rom = nullptr;
        }
    }
    if (gone) {
        gone->setOutputHandler({});
        bus_.unplug(gone);
    }
    if (active && !s.rom) {
        std::string err;
        if (!plugRom(s, err))
            fprintf(stderr, "keystrand-sim: %s\n", err.c_str());
    }
}

bool UsbServe::start(std::string& error) {
    stop();
    for (const std::string& name : bench_.names()) {
        ModuleConfig c = bench_.config(name);
        if (!c.usb)
            continue;
        auto s = std::make_unique<Slot>();
        s->name = name;
        s->model = c.model;
        s->hasRom = c.imxRom == "usb";
        bool present;
        uint32_t serial;
        bench_.externalStatus(name, present, serial, s->epoch);
        if (present && !plug(*s, serial, error))
            return false;
        if (s->hasRom && bench_.romActive(name) && !plugRom(*s, error))
            return false;
        slots_.push_back(std::move(s));
    }
    stopping_ = false;
    thread_ = std::thread(&UsbServe::loop, this);
    return true;
}

void UsbServe::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
    std::vector<kssim::UsbDevice*> gone;
    std::vector<kssim::HidDevice*> roms;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& s : slots_) {
            if (s->dev)
                gone.push_back(s->dev);
            s->dev = nullptr;
            if (s->rom)
                roms.push_back(s->rom);
            s->rom = nullptr;
        }
    }
    for (kssim::UsbDevice* d : gone) {
        d->setHostWriteHandler({});
        bus_.unplug(d);
    }
    for (kssim::HidDevice* d : roms) {
        d->setOutputHandler({});
        bus_.unplug(d);
    }
    std::lock_guard<std::mutex> lock(mu_);
    slots_.clear();
}

void UsbServe::serviceSlot(Slot& s) {
    bool present;
    uint32_t serial, epoch;
    bench_.externalStatus(s.name, present, serial, epoch);
    kssim::UsbDevice* unplugNow = nullptr;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (s.dev && (epoch != s.epoch || !present)) {
            // The module dropped its link: pull the cable.
            unplugNow = s.dev;
            s.dev = nullptr;
            if (s.attached)
                bench_.externalDetach(s.name);
            s.attached = false;
        }
        s.epoch = epoch;
        if (s.dev && s.attached && !s.dev->interfaceClaimed(0)) {
            bench_.externalDetach(s.name); // the host let go of the module
            s.attached = false;
        }
        if (s.dev && s.attached) {
            uint8_t buf[800];
            size_t n = bench_.externalRead(s.name, buf, sizeof buf);
            if (n)
                s.dev->sendToHost(buf, n);
        }
    }
    if (unplugNow)
        bus_.unplug(unplugNow);
    if (!s.dev && present && !unplugNow) {
        std::string err;
        if (!plug(s, serial, err))
            fprintf(stderr, "keystrand-sim: %s\n", err.c_str());
    }
}

void UsbServe::loop() {
    while (!stopping_) {
        for (auto& s : slots_) {
            serviceSlot(*s);
            if (s->hasRom)
                serviceRom(*s);
        }
        usleep(1000);
    }
}

kssim::UsbDevice* UsbServe::device(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& s : slots_)
        if (s->name == name)
            return s->dev;
    throw std::out_of_range("no USB module named '" + name + "'");
}

kssim::HidDevice* UsbServe::romDevice(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& s : slots_)
        if (s->name == name)
            return s->rom;
    throw std::out_of_range("no USB module named '" + name + "'");
}

unsigned UsbServe::plugCount(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& s : slots_)
        if (s->name == name)
            return s->plugs;
    throw std::out_of_range("no USB module named '" + name + "'");
}

} // namespace modsim
