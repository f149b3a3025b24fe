// The plain programs of the link benchmarks (see plain_peer.h).
#include "plain_peer.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "wait.h"

using kstest::NowMs;

namespace plain {

namespace {

constexpr double kPauseMs = 1.0; // after each packet sent, as the link's output thread
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x01;
constexpr unsigned kOutTimeoutMs = 50;

void sleepMs(double ms) {
    const long ns = static_cast<long>(ms * 1e6);
    timespec t = {ns / 1000000000L, ns % 1000000000L};
    nanosleep(&t, nullptr);
}

} // namespace

bool Peer::send(const Bytes& packet) {
    const double left = nextMs_ - NowMs();
    if (left > 0)
        sleepMs(left);
    if (!write(packet))
        return false;
    nextMs_ = NowMs() + kPauseMs;
    return true;
}

bool Peer::receive(Bytes& packet, int ms) {
    const double end = NowMs() + ms;
    for (;;) {
        if (rx_.size() >= 2 && rx_.size() >= 2u + rx_[1]) {
            packet.assign(rx_.begin(), rx_.begin() + 2 + rx_[1]);
            rx_.erase(rx_.begin(), rx_.begin() + 2 + rx_[1]);
            return true;
        }
        const int left = static_cast<int>(end - NowMs());
        if (left <= 0 || !fill(rx_, left))
            return false;
    }
}

bool Peer::await(uint8_t b0, uint8_t b1, Bytes& packet, int ms) {
    const double end = NowMs() + ms;
    while (receive(packet, static_cast<int>(end - NowMs()))) {
        if (packet[1] == 2 && packet[2] == 0 &&
            !send({packet[0], 2, 0, static_cast<uint8_t>(packet[3] + 2)}))
            return false;
        if (packet[1] >= 2 && packet[2] == b0 && packet[3] == b1)
            return true;
    }
    return false;
}

SocketPeer::~SocketPeer() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool SocketPeer::write(const Bytes& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool SocketPeer::fill(Bytes& rx, int ms) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return false;
    uint8_t buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    rx.insert(rx.end(), buf, buf + n);
    return true;
}

UsbPeer::~UsbPeer() {
    if (in_ && pending_) {
        stopping_ = true;
        libusb_cancel_transfer(in_);
        for (int i = 0; i < 50 && pending_; ++i) {
            timeval tv = {0, 20000};
            libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        }
    }
    if (in_ && !pending_)
        libusb_free_transfer(in_);
    if (handle_) {
        libusb_release_interface(handle_, 0);
        libusb_close(handle_);
    }
    if (ctx_)
        libusb_exit(ctx_);
}

void LIBUSB_CALL UsbPeer::inDone(libusb_transfer* t) {
    auto* self = static_cast<UsbPeer*>(t->user_data);
    if (t->status == LIBUSB_TRANSFER_COMPLETED)
        self->arrived_.insert(self->arrived_.end(), t->buffer, t->buffer + t->actual_length);
    else if (t->status != LIBUSB_TRANSFER_TIMED_OUT)
        self->failed_ = true;
    self->pending_ = !self->stopping_ && !self->failed_ && libusb_submit_transfer(t) == 0;
}

bool UsbPeer::open(uint32_t serial) {
    if (libusb_init(&ctx_) != 0)
        return false;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    char want[16];
    snprintf(want, sizeof want, "%08X", serial);
    for (ssize_t i = 0; i < n && !handle_; ++i) {
        libusb_device_descriptor dd{};
        unsigned char got[32] = {0};
        if (libusb_get_device_descriptor(list[i], &dd) != 0 || dd.idVendor != 0x24FF ||
            libusb_open(list[i], &handle_) != 0)
            continue;
        libusb_get_string_descriptor_ascii(handle_, dd.iSerialNumber, got, sizeof got - 1);
        if (strcmp(reinterpret_cast<char*>(got), want) != 0 ||
            libusb_claim_interface(handle_, 0) != 0) {
            libusb_close(handle_);
            handle_ = nullptr;
        }
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    if (!handle_ || !(in_ = libusb_alloc_transfer(0)))
        return false;
    libusb_fill_bulk_transfer(in_, handle_, kInEndpoint, buf_, sizeof buf_, inDone, this, 0);
    pending_ = libusb_submit_transfer(in_) == 0;
    return pending_;
}

void UsbPeer::idle(int ms) {
    const double end = NowMs() + ms;
    while (NowMs() < end) {
        timeval tv = {0, 100000};
        libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
}

bool UsbPeer::write(const Bytes& bytes) {
    Bytes copy(bytes);
    int sent = 0;
    return libusb_bulk_transfer(handle_, kOutEndpoint, copy.data(), static_cast<int>(copy.size()),
                                &sent, kOutTimeoutMs) == 0 &&
           sent == static_cast<int>(copy.size());
}

bool UsbPeer::fill(Bytes& rx, int ms) {
    const double end = NowMs() + ms;
    while (arrived_.empty() && pending_ && NowMs() < end) {
        const long us = static_cast<long>((end - NowMs()) * 1000);
        timeval tv = {us / 1000000, us % 1000000};
        libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
    if (arrived_.empty())
        return false;
    rx.insert(rx.end(), arrived_.begin(), arrived_.end());
    arrived_.clear();
    return true;
}

} // namespace plain
