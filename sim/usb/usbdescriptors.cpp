// Standard USB descriptors of an emulated device, little-endian as on the wire.
#include <cstdint>
#include <vector>

#include "usbdevice_impl.h"

namespace kssim {

void putLE16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

namespace {

// Number of distinct interface numbers (alternate settings count once).
uint8_t interfaceCount(const UsbDeviceConfig& cfg) {
    std::vector<bool> seen(256, false);
    unsigned n = 0;
    for (const auto& i : cfg.interfaces) {
        if (!seen[i.number]) {
            seen[i.number] = true;
            ++n;
        }
    }
    return static_cast<uint8_t>(n);
}

} // namespace

std::vector<uint8_t> buildDeviceDescriptor(const UsbDeviceConfig& cfg) {
    std::vector<uint8_t> d;
    d.push_back(18);    // bLength
    d.push_back(1);     // DEVICE
    putLE16(d, 0x0200); // bcdUSB
    d.push_back(cfg.deviceClass);
    d.push_back(0);
    d.push_back(cfg.deviceProtocol);
    d.push_back(64); // bMaxPacketSize0
    putLE16(d, cfg.vendorId);
    putLE16(d, cfg.productId);
    putLE16(d, cfg.bcdDevice);
    d.push_back(cfg.manufacturer.empty() ? 0 : 1);
    d.push_back(cfg.product.empty() ? 0 : 2);
    d.push_back(cfg.serial.empty() ? 0 : 3);
    d.push_back(1); // bNumConfigurations
    return d;
}

std::vector<uint8_t> buildConfigDescriptor(const UsbDeviceConfig& cfg) {
    std::vector<uint8_t> d;
    d.push_back(9);
    d.push_back(2); // CONFIGURATION
    putLE16(d, 0);  // wTotalLength, patched below
    d.push_back(interfaceCount(cfg));
    d.push_back(1);    // bConfigurationValue
    d.push_back(0);    // iConfiguration
    d.push_back(0x80); // bus powered
    d.push_back(50);   // 100 mA
    for (const auto& i : cfg.interfaces) {
        d.push_back(9);
        d.push_back(4); // INTERFACE
        d.push_back(i.number);
        d.push_back(i.alternate);
        d.push_back(static_cast<uint8_t>(i.endpoints.size()));
        d.push_back(i.cls);
        d.push_back(i.subClass);
        d.push_back(i.protocol);
        d.push_back(0);
        d.insert(d.end(), i.extra.begin(), i.extra.end());
        for (const auto& e : i.endpoints) {
            d.push_back(7);
            d.push_back(5); // ENDPOINT
            d.push_back(e.address);
            d.push_back(e.attributes);
            putLE16(d, e.maxPacket);
            d.push_back((e.attributes & 3) == 3 ? 1 : 0); // bInterval
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

std::vector<uint8_t> buildStringDescriptor(const UsbDeviceConfig& cfg, uint8_t index) {
    std::vector<uint8_t> d;
    if (index == 0) {
        d = {4, 3, 0x09, 0x04}; // English (United States)
        return d;
    }
    const std::string* s = nullptr;
    if (index == 1)
        s = &cfg.manufacturer;
    else if (index == 2)
        s = &cfg.product;
    else if (index == 3)
        s = &cfg.serial;
    if (!s || s->empty())
        return d;
    // A descriptor holds at most 126 UTF-16 units (bLength is one byte).
    size_t n = s->size() > 126 ? 126 : s->size();
    d.push_back(static_cast<uint8_t>(2 + 2 * n));
    d.push_back(3); // STRING
    for (size_t k = 0; k < n; ++k)
        putLE16(d, static_cast<uint8_t>((*s)[k]));
    return d;
}

} // namespace kssim
