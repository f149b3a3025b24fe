// The object through which main runs every command. Each operation reports
// its own failure once, as one user message on the display, and returns the
// result for main to turn into the exit status.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "FileReports.h"
#include "Fingerprint.h"
#include "Outcome.h"
#include "UpdaterDisplayInterface.h"
#include "qDiscovery.h"

// What one update came to, for a caller that reports many modules at once:
// how the module was reached, what it ran and what the file brings, and the
// failure (its text and where the module stands). Filled as far as the
// update got; a failure that was printed before the module was reached
// (no build, no file) leaves outcome ok and reached false.
struct UpdateReport {
    bool reached = false; // the module answered and was checked against the file
    linkType transport = static_cast<linkType>(0); // of the module, or of its router
    std::string from, to;                          // "1.0.1 (1)", "2.0.1 (1234)"
    uint32_t build = 0;                            // the build written (the file's)
    Outcome outcome;                               // the failure printed, when it was an Outcome
    double seconds = 0;                            // the transfer's time, 0 when none started
};

class Updater {
  public:
    Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Discovery. type 1 or 2 searches that transport; 0 searches USB, then TCP/IP.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // The modules on the network behind a router, into devices; type 0 finds
    // the router's transport. Fails (printing nothing) when the router is not
    // found, cannot be opened or does not route.
    Outcome Discover_KSNetwork_Devices(uint32_t routerSerialNumber, linkType type,
                                       std::vector<DeviceInfo>& devices);

    // Writes firmware into a running module. build 0 lets the method choose;
    // a non-empty firmwareFile names the BIRD file to use instead. report,
    // when given, receives what the update came to (it prints the same).
    bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string firmwareFile,
                         uint8_t moduleAddress, uint32_t routerSerialNumber,
                         bool overrideModelCheck, UpdateReport* report = nullptr);
    // Loads the BIRD file an update or recovery writes: firmwareFile when
    // given, else the stored build (fetched first when downloadIfMissing).
    // action names the work in the progress message. Throws
    // std::runtime_error when no file can be loaded.
    BirdFile load_bird(const char* action, std::string firmwareFile, uint32_t serialNumber,
                       uint32_t build, bool downloadIfMissing);

    // Fetches one build into the store; the build number stored, 0 on failure.
    uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool overrideValidation,
                               bool noCal);
    // The recovery variant: serial number and build are found by fingerprint.
    uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool overrideValidation);
    // The server's builds for a module (build number text to version text).
    std::map<std::string, std::string> Get_BuildList(uint32_t serialNumber);
    // The same, telling a failed request (false, after its message) from an
    // empty list.
    bool Get_BuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds);
    std::map<std::string, std::string> Get_BuildListLocal(uint32_t serialNumber);

    // Reads the chip identifier through its ROM bootloader. On failure the
    // Outcome says what the port showed (not printed); an empty text means
    // the i.MX path has told the user already.
    Outcome Read_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                             std::string firmwareFile, uint32_t baudRate, bool resetAfter);
    // The same, as a plain answer.
    bool Get_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                         std::string firmwareFile, uint32_t baudRate, bool resetAfter);
    // Writes recovery firmware through the ROM bootloader.
    bool Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baudRate,
                          uint32_t serialNumber, std::string firmwareFile, bool overrideModelCheck);

    // -C: reads the BIRD file at path as an update would read it and tells
    // what it holds and whether an update could use it. False (after the
    // one message) when it could not.
    bool Check_BirdFile(const std::string& path, BirdCheckReport& report);
    // -I: the module's store entry, its attributes and the files kept for
    // it. False (after the one message) when the store has no entry.
    bool Get_DeviceRecord(uint32_t serialNumber, DeviceRecordReport& report);

    std::string serverUrl;
    std::string storeDirectory;
    UpdaterDisplayInterface& display;
};
