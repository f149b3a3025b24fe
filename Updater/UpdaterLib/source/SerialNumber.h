// A module's serial number as the updater writes it: eight upper-case
// hexadecimal digits, in messages, file and directory names and URLs.
#pragma once

#include <cstdint>
#include <string>

// The serial number that stands for no particular module on the recovery
// path: a live loader fetched for it is the server's default recovery image,
// and a loader or live loader without a serial of its own enumerates with it.
constexpr uint32_t ANY_MODULE_SERIAL = 0xDEADDEAD;

// "%08X" of serial: 0x40F5849A gives "40F5849A".
std::string SerialNumberText(uint32_t serial);
