// SDP transport over a serial line (a tty at 115200 baud, 8N1, raw). The
// report number that starts every message is not sent; the ROM answers with
// 8 bytes, the HAB word and the status or data word.
#pragma once

#include <memory>

#include "SDPLoader.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
  public:
    // The path is copied: the caller's text need not outlive the transport.
    explicit Serial_SDPLoader(const char* path);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens the tty (false when it is not a terminal), sets raw 115200 8N1,
    // waits 1 s for the line to settle and discards both queues.
    bool init() override;
    // Writes the message without its report number, retrying partial
    // writes; -1 when the line takes no byte for about a second (or fails).
    ssize_t writeData(const std::vector<uint8_t>& data) override;
    // Waits until what was written has left the line (a write returns once
    // the bytes are in the driver's buffer), then appends what arrives
    // within waitMs: up to the end of waitMs, or sooner once a whole answer
    // (8 bytes) came. waitMs 0: what is there already.
    ssize_t readData(std::vector<uint8_t>& out, uint32_t waitMs) override;
    // A complete answer holds at least (index + 2) * 4 bytes; the word starts
    // at byte 4 + index.
    bool getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                           uint32_t& value) override;

    static constexpr unsigned BAUD_RATE = 115200;
    // A write that moves no byte for this long fails.
    static constexpr unsigned WRITE_STALL_MS = 1000;

  private:
    std::unique_ptr<PrivateSerial_SDPLoader> d;
};
