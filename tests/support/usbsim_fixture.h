// Test fixture for tests that need the emulated USB bus: makes one bus per
// test and skips clearly when the process does not run under umockdev.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "usbsim/usbbus.h"
#include "wait.h"

using kstest::Clock;
using kstest::MsSince;

class UsbSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!kssim::UsbBus::available(&why))
            GTEST_SKIP() << "emulated USB bus unavailable: " << why;
        bus_ = std::make_unique<kssim::UsbBus>();
    }
    void TearDown() override { bus_.reset(); }

    // A module with the given serial string and product id.
    kssim::UsbDevice* plugModule(const std::string& serial, uint16_t product = 0x0010) {
        kssim::UsbDeviceConfig c;
        c.serial = serial;
        c.productId = product;
        return bus_->plug(c);
    }

    std::unique_ptr<kssim::UsbBus> bus_;
};
