// Serves the bench's modules on the emulated USB bus: every module with
// `usb=yes` appears as a device (vendor 0x24FF, product id = model code, its
// serial number as an 8-digit serial string, vendor interface FF/88/10) whose
// bulk endpoints carry the module's link. When the module drops its link
// (LOAD, REBOOT, reset, vanishing) the device is unplugged; when it is back it
// is plugged again under the serial number it comes back with.
//
// Threads: one service thread moves the module's answers to the device and
// follows the module's presence; the host's bytes arrive on umockdev's worker
// thread through the device's host-write handler. `mu_` guards the slots; it
// is never held while a device is plugged or unplugged. A dead i.MX module
// (imx=usb) shows its ROM as a HID device (1FC9:0130) while it sits in the
// ROM; the host's reports reach the bench on umockdev's worker thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kssim {
class UsbBus;
class UsbDevice;
class HidDevice;
} // namespace kssim

namespace modsim {

class Bench;

class UsbServe {
  public:
    UsbServe(Bench& bench, kssim::UsbBus& bus);
    ~UsbServe();
    UsbServe(const UsbServe&) = delete;
    UsbServe& operator=(const UsbServe&) = delete;

    // Plugs every USB module of the bench and starts serving; false and
    // `error` when a device cannot be plugged.
    bool start(std::string& error);
    void stop();

    // The module's device now on the bus (null while it is away).
    kssim::UsbDevice* device(const std::string& name) const;
    // How often the module's device was plugged in so far.
    unsigned plugCount(const std::string& name) const;
    // A dead i.MX module's ROM (imx=usb) while it is on the bus, else null.
    kssim::HidDevice* romDevice(const std::string& name) const;

  private:
    struct Slot;
    void loop();
    bool plug(Slot& s, uint32_t serial, std::string& error);
    void serviceSlot(Slot& s);
    bool plugRom(Slot& s, std::string& error);
    void serviceRom(Slot& s);
    void sendRomAnswers(const std::string& name, kssim::HidDevice* dev);

    Bench& bench_;
    kssim::UsbBus& bus_;
    mutable std::mutex mu_;
    // Held while a ROM's answers are taken and queued, so that the reports
    // of one answer (HAB word, then status) keep their order.
    std::mutex romSendMu_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

} // namespace modsim
