// SDP transport over USB HID (hidapi, hidraw backend): the i.MX ROM in serial
// download mode presents itself as a HID device. Commands go out as report 1
// and data as report 2; the ROM answers with report 3 (the HAB word) and
// report 4 (the status or data word).
#pragma once

#include <cstdint>

#include "SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
  public:
    // The first device with these IDs is opened by init(); the i.MX ROM is
    // vendor 0x1FC9 (NXP), product 0x0130.
    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& data) override;
    // Reads reports for at most waitMs, stopping at the first read that
    // brings nothing (and after HID_MAX_REPORTS_PER_READ reports, so that a
    // device that never stops talking cannot keep the caller). Each report is
    // appended with its number; report 3 as exactly 5 bytes.
    ssize_t readData(std::vector<uint8_t>& out, uint32_t waitMs) override;
    // A complete answer is report 3 (5 bytes) and report 4 (65 bytes); the
    // word starts at byte 6 + index.
    bool getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                           uint32_t& value) override;

    static constexpr size_t HID_ANSWER_SIZE = 70;
    static constexpr size_t HID_REPORT_SIZE = 65;
    static constexpr int HID_MAX_REPORTS_PER_READ = 16;

  private:
    hid_device_* handle;
    uint16_t vendorID;
    uint16_t productID;
};
