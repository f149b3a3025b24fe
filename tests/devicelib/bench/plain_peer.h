// The plain programs that the link benchmarks measure the link engine
// against: the module's packets over a bare connected socket or a bare
// libusb handle, single-threaded, with the link's 1 ms pause after each
// packet sent and heartbeats answered as the link answers them.
#pragma once

#include <libusb.h>
#include <stdint.h>

#include <vector>

namespace plain {

using Bytes = std::vector<uint8_t>;

// Packets over some byte transport: pacing, framing and heartbeat replies.
class Peer {
  public:
    virtual ~Peer() = default;
    // Sends one packet once 1 ms has passed since the last one was sent.
    bool send(const Bytes& packet);
    // The next whole packet (address, length, data) within ms.
    bool receive(Bytes& packet, int ms);
    // The next packet whose data start with the two bytes, within ms;
    // heartbeats on the way are answered.
    bool await(uint8_t b0, uint8_t b1, Bytes& packet, int ms);

  protected:
    // Writes all bytes.
    virtual bool write(const Bytes& bytes) = 0;
    // Appends what arrives within ms to rx (false: nothing, or an error).
    virtual bool fill(Bytes& rx, int ms) = 0;

  private:
    double nextMs_ = 0;
    Bytes rx_;
};

// A connected socket, owned.
class SocketPeer : public Peer {
  public:
    explicit SocketPeer(int fd) : fd_(fd) {}
    ~SocketPeer() override;
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

  protected:
    bool write(const Bytes& bytes) override;
    bool fill(Bytes& rx, int ms) override;

  private:
    int fd_;
};

// A module on the USB bus through libusb: its interface claimed, one bulk IN
// transfer kept submitted (its callback appends what came and submits it
// again), OUT packets as synchronous bulk transfers; events are handled
// only while the program waits for something.
class UsbPeer : public Peer {
  public:
    UsbPeer() = default;
    ~UsbPeer() override;
    UsbPeer(const UsbPeer&) = delete;
    UsbPeer& operator=(const UsbPeer&) = delete;
    // Opens the module with this serial number; false when it cannot.
    bool open(uint32_t serial);
    // Handles events for ms (the IN transfer waiting), as an idle program.
    void idle(int ms);

  protected:
    bool write(const Bytes& bytes) override;
    bool fill(Bytes& rx, int ms) override;

  private:
    static void LIBUSB_CALL inDone(libusb_transfer* t);
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    libusb_transfer* in_ = nullptr;
    bool pending_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    unsigned char buf_[800] = {};
    Bytes arrived_;
};

} // namespace plain
