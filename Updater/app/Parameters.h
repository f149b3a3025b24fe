// The command line of the updater turned into one record, and the helpers
// that read it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class UpdaterDisplayInterface;

// One bit per command; the requested commands are held in a 32-bit set.
enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_BUILDS = 0x00000004,
    CMD_GET = 0x00000008,
    CMD_INFO = 0x00000010,
    CMD_CHECK = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_Z = 0x00000080,
    CMD_HELP = 0x80000000,
};

// The commands main looks at to decide whether any work was asked for.
const uint32_t COMMAND_MASK = 0x000305FF;

class CommandsClass {
  public:
    CommandsClass() : word(0) {}
    // Adds c; true when any command is set afterwards.
    bool Set(COMMANDS c) {
        word |= c;
        return word != 0;
    }
    // True when any bit of mask is set.
    bool IsSet(uint32_t mask) const { return (word & mask) != 0; }
    uint32_t Word() const { return word; }

  private:
    uint32_t word;
};

// Transport value of -t RECOVER: the bootloader path instead of a link type.
const uint32_t TRANSPORT_RECOVER = 255;

// The update server used when -u is not given.
extern const char* const DEFAULT_SERVER_HOST;
extern const char* const DEFAULT_SERVER_URL;
// The environment variable that names the update server when -u does not.
extern const char* const SERVER_ENVIRONMENT_VARIABLE;

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    uint32_t transport = 1;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string firmwareFile;
    std::string logMessage;
    std::string buildNumber;
    bool echoBytes = false;
    std::string serverUrl;
    bool optionN = false;
    std::string appName;
    std::string homeDirectory;
    std::string logMode = "a+";
    std::string logFileName = "Updater.log";
    bool overrideModelCheck = false;
    uint32_t debugMask = 0;
    bool extendedUsage = true;
    bool helpRequested = false;
    // --json: -D, -B, -C, -I and -N print their result as JSON on standard output, and
    // every message goes to standard error.
    bool jsonOutput = false;
    // --version: print the program's and the library's versions, nothing else.
    bool versionRequested = false;
    // serverUrl came from the environment (and no -u replaced it).
    bool serverFromEnvironment = false;
    // -d with a comma-separated list: the modules of a fleet update, in the
    // order given (serialNumber stays 0). -d all: every module discovery lists.
    std::vector<uint32_t> serialList;
    bool allModules = false;
    // -j: modules updated at a time in a fleet update (1 to 32).
    unsigned jobs = 4;
    // --yes: -d all asks for no confirmation on a terminal.
    bool assumeYes = false;

    // A fleet update was asked for: a list of serial numbers, or all.
    bool IsFleet() const { return allModules || !serialList.empty(); }
};

// The most modules a fleet update runs at a time (-j).
const unsigned MAX_FLEET_JOBS = 32;

// Fills params from the command line. Error messages go to display as they
// are found; parsing goes on after an error. 0 when every word was
// accepted; 1 when an option's value was refused by its check (-d, -r, -t,
// -b, -a, -Y); 2 when a word was not understood (an unknown option, a word
// that is no option, a missing value, a value for an option that takes
// none, a rate -o does not offer, a -X mask or -u URL that cannot be read).
// Help and --version end the scan at once. A fleet (-d LIST or all) is
// refused with 2 when given to another command than -U (and -G -U), or
// with -a or -t RECOVER.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// Every option the command line knows, as typed in full ("-B", "--json").
std::vector<std::string> _option_texts();
// No cross-option checks: each command checks its own prerequisites. 0.
int _validate_params(Parameters* params);
// Frees what the record owns (nothing). 0.
int _release_params(Parameters* params);

// Reads text as hexadecimal (32 bits). 0 when end is null, or when text holds
// a character outside 0-9, A-F, a-f (then *end is left untouched); otherwise
// the value, *end past the digits. An empty text gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
// The same in decimal, digits 0-9 only.
uint32_t _get_int_arg(const char* text, char** end);

// home/.quillmar/updater, or an empty string when the home directory is unknown.
std::string _build_updater_directory();
