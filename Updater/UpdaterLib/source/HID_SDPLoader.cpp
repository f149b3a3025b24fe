#include "HID_SDPLoader.h"

#include <hidapi/hidapi.h>

#include <chrono>

#include "Log.h"

namespace {

constexpr size_t kHabReportSize = 5;
constexpr size_t kWordOffset = 6;
constexpr uint32_t kMaxIndex = 15;

long _msLeft(std::chrono::steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    return left > 0 ? static_cast<long>(left) : 0;
}

} // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId)
    : handle(nullptr), vendorID(vendorId), productID(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (handle)
        hid_close(handle);
    handle = nullptr;
    hid_exit();
}

bool HID_SDPLoader::init() {
    if (handle)
        hid_close(handle);
    handle = nullptr;
    if (hid_init() != 0) {
        Log::log(DEBUG_iMXSerial, "Error: hidapi could not be initialised\n");
        return false;
    }
    handle = hid_open(vendorID, productID, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
    return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& data) {
    if (!handle || data.empty())
        return -1;
    return hid_write(handle, data.data(), data.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& out, uint32_t waitMs) {
    if (!handle)
        return 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    ssize_t appended = 0;
    for (int reports = 0; reports < HID_MAX_REPORTS_PER_READ; ++reports) {
        unsigned char report[HID_REPORT_SIZE] = {0};
        int n = hid_read_timeout(handle, report, sizeof report, static_cast<int>(_msLeft(end)));
        if (n <= 0)
            break;
        // Report 3 carries the 4-byte HAB word; it counts as 5 bytes whatever
        // its length on the wire (missing bytes read as zero).
        size_t keep = report[0] == SDP_REPORT_HAB ? kHabReportSize : static_cast<size_t>(n);
        out.insert(out.end(), report, report + keep);
        appended += static_cast<ssize_t>(keep);
    }
    return appended;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                                      uint32_t& value) {
    if (index > kMaxIndex || in.size() != HID_ANSWER_SIZE)
        return false;
    size_t at = kWordOffset + index;
    value |= static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
             static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
    return true;
}
