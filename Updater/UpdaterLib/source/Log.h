// The diagnostic channel: a process-wide logger whose lines are grouped into
// packages, one bit of a 32-bit mask each. A line is written when its package
// shares a bit with the active mask, or when its package is 0.
//
// Threads: the mask, the output stream and the time-stamp switch are atomics,
// so the download worker may log while the main thread runs. Lines are
// formatted on the caller's stack and written with one fwrite each.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Package bits. 0x10 and 0x100 are both shown as "DEBUG_Network"; code logs
// network events under 0x100 (DEBUG_Network), 0x10 has no writer.
enum LogPackage : uint32_t {
    DEBUG_Always = 0x00000000,
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

// One row of the package list shown to the user.
struct LogPackageName {
    const char* name;
    uint32_t bits;
};

class Log {
  public:
    // Largest formatted line, terminating zero included; longer lines are
    // cut at LINE_SIZE - 1 characters (keeping a final newline).
    static const int LINE_SIZE = 2048;

    Log() {}
    ~Log() {}

    // Writes the formatted line when package is 0 or shares a bit with the
    // active mask, and an output stream is set. No newline is added.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

    // Null discards every line (the state before the first call).
    static void SetOutput(FILE* stream);
    static void ActivatePackage(uint32_t bits);
    static void DeactivatePackage(uint32_t bits);
    static uint32_t ActivePackages();

    // The user-visible package list, in display order.
    static const LogPackageName PACKAGES[];
    static const size_t PACKAGE_COUNT;

    static std::atomic<uint32_t> package_bitmask;
    static std::atomic<FILE*> fh;
    static std::atomic<bool> timestamped;
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;
};
