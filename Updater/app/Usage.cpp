// The usage screen.
#include <cstdio>
#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"
#include "Printers.h"

namespace {

const char* const APP_NAME = "Updater";

const char HEAD_FORMAT[] =
    "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d "
    "serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Keystrand Update and Maintenance Application\n    -H -h or --help for full usage "
    "information.\n\n";

// One row of the command or extended block: a section title (entry null),
// or an entry with its description lines and an optional blank line after.
struct UsageRow {
    const char* entry;
    std::vector<std::string> lines;
    bool blankAfter;
};

void _append_rows(std::string& out, const std::vector<UsageRow>& rows) {
    char line[256];
    for (const UsageRow& row : rows) {
        if (row.entry == nullptr) {
            out += "  " + row.lines[0] + "\n";
            continue;
        }
        for (size_t i = 0; i < row.lines.size(); ++i) {
            if (i == 0) {
                snprintf(line, sizeof line, "     %-25s- %s\n", row.entry, row.lines[0].c_str());
            } else if (row.lines[i].empty()) {
                snprintf(line, sizeof line, "\n");
            } else {
                snprintf(line, sizeof line, "%32s%s\n", "", row.lines[i].c_str());
            }
            out += line;
        }
        if (row.blankAfter) {
            out += "\n";
        }
    }
}

std::vector<UsageRow> _command_rows() {
    return {
        {nullptr, {"Parameters to commands:"}, false},
        {"-b <build number>",
         {"Build version of the firmware to transfer.", "[Default: latest version available]."},
         false},
        {"-d <device>",
         {"Device serial number of the device to access.",
          "With -U: a list (A,B,C) or all (a fleet update)."},
         false},
        {"-j <count>", {"fleet update: modules at a time, 1 to 32 [4]."}, false},
        {"--yes", {"fleet update: -d all starts without asking."}, false},
        {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false},
        {"-r <router serial>", {"indirect connection through router device"}, false},
        {"-a <module address>",
         {"address of the device behind the router (-r),", "even, 2 to 254 (decimal or 0x hex)"},
         false},
        {"-s <serial port>", {"name of serial port to use for recovery"}, false},
        {"-o <baud rate>",
         {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"},
         false},
        {nullptr, {"Commands:"}, false},
        {"-B", {"list the Builds available for given device."}, true},
        {"-D", {"Discover devices that are currently connected."}, true},
        {"-G",
         {"Get build file from the Quillmar server and",
          "store on local machine for download to device.",
          "Must specify a specific device [\"-d\" option].",
          "Default is to obtain the latest build for the",
          "given device, override with \"-b\" option."},
         true},
        {"-U",
         {"Update the firmware on device specified.",
          "Must specify a specific device [\"-d\" option].",
          "Default is to download the latest build for the",
          "given device, override with \"-b\" option or",
          "specify specific BIRD file using \"-f\" option."},
         false},
        {"-H or -h", {"Display extended usage information."}, true},
    };
}

// The -X description: the package list, one group of bits per blank-separated block.
std::vector<std::string> _package_lines() {
    std::vector<std::string> lines = {"Bitmask for Logging"};
    char text[64];
    for (size_t i = 0; i < Log::PACKAGE_COUNT; ++i) {
        uint32_t bits = Log::PACKAGES[i].bits;
        // Groups: 0x01-0x20, 0x100-0x400, 0x1000-0x4000, 0x10000, 0x10000000.
        if (i > 0 && (bits == 0x100 || bits == 0x1000 || bits == 0x10000 || bits == 0x10000000)) {
            lines.push_back("");
        }
        snprintf(text, sizeof text, "%-20s0x%08X", Log::PACKAGES[i].name,
                 static_cast<unsigned>(bits));
        lines.push_back(text);
    }
    return lines;
}

std::vector<UsageRow> _extended_rows() {
    std::string serverDefault =
        std::string("Default: $") + SERVER_ENVIRONMENT_VARIABLE + " when set,";
    return {
        {nullptr, {"Extended Parameters:"}, false},
        {"-f <bird file>",
         {"Firmware file to be transferred to device.", "With -C, the file to check."},
         false},
        {"-u <url>",
         {"URL of the update server, http:// or https://", serverDefault,
          std::string("else ") + DEFAULT_SERVER_URL},
         false},
        {"--json",
         {"-D, -B, -C, -I, -N and a fleet update print one JSON",
          "document on standard output (see the man page);", "messages go to standard error."},
         true},
        {"-e <value>", {"accepted and ignored: bytes are never echoed."}, false},
        {"-l 'log message'", {"accepted and ignored: no device history log."}, false},
        {"-k <filename>",
         {"accepted and ignored: no log file is written;", "-X logs to standard error."},
         false},
        {"-Z <value>", {"accepted and ignored."}, false},
        {"-n", {"accepted and ignored."}, true},
        {nullptr, {"Extended Commands:"}, false},
        {"-I",
         {"View stored device information.", "Requires a specific device [\"-d\" option]."},
         true},
        {"-OVERRIDE",
         {"Override the model checks for BIRD firmware files.",
          "This option should only be used when authorized by", "Quillmar development engineers."},
         true},
        {"-N", {"Get fingerprint from a device, requires -s"}, true},
        {"-X <BIT_MASK>", _package_lines(), true},
        {"-C", {"Check the given BIRDFILE", "Requires the file [\"-f\" option]."}, true},
        {"--version", {"Print the program's and the library's versions."}, true},
    };
}

struct Sample {
    const char* command;
    std::vector<const char*> lines;
};

void _append_samples(std::string& out, const std::vector<Sample>& samples) {
    char line[256];
    for (const Sample& s : samples) {
        for (size_t i = 0; i < s.lines.size(); ++i) {
            snprintf(line, sizeof line, "%-31s%s\n", i == 0 ? s.command : "", s.lines[i]);
            out += line;
        }
        out += "\n";
    }
}

void _append_sample_block(std::string& out) {
    out += " Sample usage:\n\n";
    _append_samples(
        out, {
                 {"-D",
                  {"Discover all devices connected by either USB or TCPIP.",
                   "Records the device information into the settings for that device."}},
                 {"-D -t USB",
                  {"Discover all the devices connected by USB. Records the",
                   "device information into the settings for that device."}},
                 {"-D -t USB -d 0F5849A",
                  {"Discover settings of the specific device (serial number 0x40F5849A)"}},
                 {"-G -d 40F5849A",
                  {"Get the latest firmware for the given device.",
                   "Downloads the firmware file into the updater specific device directory."}},
                 {"-U -d 40F5849A",
                  {"Update the firmware on the specific device.",
                   "Without other options, this command will try to locate",
                   "the latest firmware version to be used for updating the device."}},
                 {"-G -d 40F5849A -b 99528558",
                  {"Get the specified build's firmware for the given device.",
                   "Downloads the firmware file into the updater's specific",
                   "device directory with the build number as the filename."}},
                 {"-G -U -d 40F5849A",
                  {"Get the latest firmware for the given device.",
                   "Downloads the firmware file into the updater specific",
                   "device directory. After download, update the firmware",
                   "using the latest release."}},
                 {"-U -t RECOVER -s /dev/serial",
                  {"Update the firmware as described above, but uses the serial interface",
                   "in communicating with the device to install the latest firmware."}},
             });
    out += " Sample usage for network discovery and updates:\n\n";
    _append_samples(out, {
                             {"-D -r D272031D",
                              {"Discover all devices connected to the I2C Keystrand network",
                               "of the given routing device D272031D."}},
                         });
}

} // namespace

std::string _usage_text(bool extendedUsage, bool helpRequested) {
    char head[sizeof HEAD_FORMAT + 32];
    snprintf(head, sizeof head, HEAD_FORMAT, APP_NAME);
    std::string out = head;
    if (helpRequested) {
        _append_rows(out, _command_rows());
    }
    if (helpRequested && extendedUsage) {
        _append_rows(out, _extended_rows());
    }
    if (helpRequested) {
        _append_sample_block(out);
    }
    return out;
}

void _display_usage(bool extendedUsage, bool helpRequested) {
    std::string text = _usage_text(extendedUsage, helpRequested);
    fwrite(text.data(), 1, text.size(), stderr);
}
