// Command-line scanning and the option handlers that fill Parameters.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "BuildChoice.h"
#include "Log.h"
#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "path.h"
#include "qDirectory.h"

const char* const DEFAULT_SERVER_HOST = "updates.keystrand.example";
const char* const DEFAULT_SERVER_URL = "http://updates.keystrand.example/cgi/u";
const char* const SERVER_ENVIRONMENT_VARIABLE = "KEYSTRAND_UPDATE_SERVER";

namespace {

enum OptionKind { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_VERSION = 3 };
enum ArgumentKind { ARG_NONE, ARG_NEXT_WORD };

struct OptionEntry {
    int identifier;
    const char* text;
    ArgumentKind argument;
};

// The only vocabulary of the command line, scanned in this order.
const OptionEntry OPTIONS[] = {
    {OPT_COMMAND, "-B", ARG_NONE},        {OPT_COMMAND, "-D", ARG_NONE},
    {OPT_COMMAND, "-G", ARG_NONE},        {OPT_COMMAND, "-I", ARG_NONE},
    {OPT_COMMAND, "-U", ARG_NONE},        {OPT_COMMAND, "-OVERRIDE", ARG_NONE},
    {OPT_COMMAND, "-N", ARG_NONE},        {OPT_COMMAND, "-Y", ARG_NONE},
    {OPT_COMMAND, "-C", ARG_NONE},        {OPT_HELP, "-h", ARG_NONE},
    {OPT_HELP, "-H", ARG_NONE},           {OPT_PARAMETER, "-n", ARG_NONE},
    {OPT_PARAMETER, "-X", ARG_NEXT_WORD}, {OPT_PARAMETER, "-Z", ARG_NEXT_WORD},
    {OPT_PARAMETER, "-b", ARG_NEXT_WORD}, {OPT_PARAMETER, "-d", ARG_NEXT_WORD},
    {OPT_PARAMETER, "-t", ARG_NEXT_WORD}, {OPT_PARAMETER, "-f", ARG_NEXT_WORD},
    {OPT_PARAMETER, "-r", ARG_NEXT_WORD}, {OPT_PARAMETER, "-s", ARG_NEXT_WORD},
    {OPT_PARAMETER, "-o", ARG_NEXT_WORD}, {OPT_PARAMETER, "-e", ARG_NEXT_WORD},
    {OPT_PARAMETER, "-l", ARG_NEXT_WORD}, {OPT_PARAMETER, "-k", ARG_NEXT_WORD},
    {OPT_PARAMETER, "-u", ARG_NEXT_WORD}, {OPT_HELP, "--help", ARG_NONE},
    {OPT_PARAMETER, "-a", ARG_NEXT_WORD}, {OPT_PARAMETER, "--json", ARG_NONE},
    {OPT_VERSION, "--version", ARG_NONE}, {OPT_PARAMETER, "-j", ARG_NEXT_WORD},
    {OPT_PARAMETER, "--yes", ARG_NONE},
};
const size_t OPTION_COUNT = sizeof(OPTIONS) / sizeof(OPTIONS[0]);

const char HEX_DIGITS[] = "0123456789ABCDEFabcdef";
const char DEC_DIGITS[] = "0123456789";

size_t _leading_dashes(const std::string& s) {
    size_t n = 0;
    while (n < s.size() && s[n] == '-') {
        ++n;
    }
    return n;
}

// The entry that name selects: an exact match, or else the one entry of
// which name is a proper prefix with the same dashes and at least one letter.
// Null when nothing or more than one entry matches.
const OptionEntry* _find_option(const std::string& name) {
    for (const OptionEntry& e : OPTIONS) {
        if (name == e.text) {
            return &e;
        }
    }
    size_t dashes = _leading_dashes(name);
    if (dashes == name.size()) {
        return nullptr;
    }
    const OptionEntry* found = nullptr;
    for (const OptionEntry& e : OPTIONS) {
        std::string text = e.text;
        if (_leading_dashes(text) != dashes || text.size() <= name.size() ||
            text.compare(0, name.size(), name) != 0) {
            continue;
        }
        if (found != nullptr) {
            return nullptr; // ambiguous
        }
        found = &e;
    }
    return found;
}

uint32_t _get_digits_arg(const char* text, char** end, const char* digits, int base) {
    if (end == nullptr) {
        return 0;
    }
    if (text == nullptr) {
        text = "";
    }
    if (text[strspn(text, digits)] != '\0') {
        return 0;
    }
    return static_cast<uint32_t>(strtoul(text, end, base));
}

bool _has_hex_prefix(const char* s) {
    return s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// -d and -r: an optional 0x prefix, then one to eight hexadecimal digits; 0
// is no serial. A longer value is refused, never cut to 32 bits: a mistyped
// serial must not address another module.
bool _handle_serial(UpdaterDisplayInterface& display, const char* value, uint32_t* out,
                    const char* discardLog, const char* errorFormat) {
    if (_has_hex_prefix(value)) {
        Log::log(DEBUG_Updater, "%s", discardLog);
        value += 2;
    }
    char* end = nullptr;
    *out = strlen(value) > 8 ? 0 : _get_hex_arg(value, &end);
    if (*out == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, errorFormat, value);
        return false;
    }
    return true;
}

// -d LIST or -d all (a fleet update): every item a serial number as for a
// single -d, none empty, none twice. Refused as not understood: a list that
// cannot be read must not update a guess of it.
bool _handle_serial_list(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    params->serialNumber = 0;
    params->serialList.clear();
    params->allModules = std::string(value) == "all";
    if (params->allModules)
        return true;
    std::string text = value;
    for (size_t start = 0; start <= text.size();) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        uint32_t serial = 0;
        if (item.empty()) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid serial number list [%s]: an empty item", value);
            return false;
        }
        if (!_handle_serial(display, item.c_str(), &serial,
                            "Discarding '0x' serial number prefix\n",
                            "Invalid serial number obtained from argument [%s]"))
            return false;
        if (std::find(params->serialList.begin(), params->serialList.end(), serial) !=
            params->serialList.end()) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid serial number list [%s]: %08X is listed twice", value, serial);
            return false;
        }
        params->serialList.push_back(serial);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

// -j: how many modules a fleet update runs at a time, 1 to 32.
bool _handle_jobs(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    char* end = nullptr;
    uint32_t jobs = strlen(value) > 2 ? 0 : _get_int_arg(value, &end);
    if (jobs < 1 || jobs > MAX_FLEET_JOBS) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid number of modules at a time [%s]: must be from 1 to %u", value,
                        MAX_FLEET_JOBS);
        return false;
    }
    params->jobs = jobs;
    return true;
}

// -b: a complete decimal number within 32 bits, kept as its decimal text (so
// 007 becomes 7). Anything else is refused, never read as 0 (the latest).
bool _handle_build(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    uint32_t build = 0;
    if (!ParseBuildNumber(value, build)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid build number obtained from argument [%s]", value);
        return false;
    }
    params->buildNumber = std::to_string(build);
    return true;
}

// -X: a decimal or "0x" hexadecimal mask. A mask that is not wholly a
// number is refused: a run that the user asked to trace must not go on
// untraced.
bool _handle_debug_mask(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    params->extendedUsage = true;
    bool hex = _has_hex_prefix(value);
    const char* digits = hex ? value + 2 : value;
    size_t good = strspn(digits, hex ? HEX_DIGITS : DEC_DIGITS);
    errno = 0;
    unsigned long mask = good > 0 ? strtoul(digits, nullptr, hex ? 16 : 10) : 0;
    if (good == 0 || digits[good] != '\0' || errno == ERANGE || mask > 0xFFFFFFFFul) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        good == 0 ? value : digits + good);
        return false;
    }
    params->debugMask = static_cast<uint32_t>(mask);
    Log::ActivatePackage(params->debugMask);
    return true;
}

// -o: one of the rates the serial ports offer (and the usage lists).
bool _handle_baud_rate(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    static const uint32_t RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    char* end = nullptr;
    uint32_t rate = strlen(value) > 6 ? 0 : _get_int_arg(value, &end);
    for (uint32_t r : RATES) {
        if (rate == r) {
            params->baudRate = rate;
            return true;
        }
    }
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid baud rate obtained from argument [%s]: must be one of 2400, 4800, "
                    "9600, 19200, 38400, 57600, 115200, 230400",
                    value);
    return false;
}

bool _is_http_url(const char* value) {
    // Scheme names are case-insensitive.
    return strncasecmp(value, "http://", 7) == 0 || strncasecmp(value, "https://", 8) == 0;
}

// -u: the update server's URL, http:// or https:// (a bare host:port would
// be asked for a path it does not serve).
bool _handle_server_url(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    if (!_is_http_url(value) || value[strcspn(value, " \t\r\n")] != '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid update server URL [%s]: must be an http:// or https:// URL, such "
                        "as %s",
                        value, DEFAULT_SERVER_URL);
        return false;
    }
    params->serverUrl = value;
    params->serverFromEnvironment = false;
    return true;
}

// -a: the address of the module behind the router (-r), decimal or "0x" hex;
// a module address is even, from 2 to 254.
bool _handle_module_address(UpdaterDisplayInterface& display, const char* value,
                            Parameters* params) {
    bool hex = _has_hex_prefix(value);
    const char* digits = hex ? value + 2 : value;
    unsigned long address = 0;
    if (*digits != '\0' && digits[strspn(digits, hex ? HEX_DIGITS : DEC_DIGITS)] == '\0') {
        errno = 0;
        address = strtoul(digits, nullptr, hex ? 16 : 10);
        if (errno == ERANGE)
            address = 0;
    }
    if (address < 2 || address > 254 || address % 2 != 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid module address obtained from argument [%s]: must be an even "
                        "number from 2 to 254, decimal or 0x hex (the -D table shows addresses "
                        "in hex: 1A there is -a 0x1A)",
                        value);
        return false;
    }
    params->moduleAddress = static_cast<uint8_t>(address);
    return true;
}

bool _handle_transport(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    params->transportGiven = true;
    if (strncmp(value, "USB", 3) == 0) {
        params->transport = 1;
    } else if (strncmp(value, "TCP", 3) == 0) {
        params->transport = 2;
    } else if (strncmp(value, "RECOVER", 7) == 0) {
        params->transport = TRANSPORT_RECOVER;
    } else {
        display.message(
            UpdaterDisplayInterface::LEVEL_ERROR,
            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
            value);
        params->transport = 0;
        return false;
    }
    return true;
}

// Exit status of a refused command line: a value that its option's check
// refused (as for -d, -r, -t, -b, -a and -Y), or a word that was not
// understood at all.
const int REFUSED_VALUE = 1;
const int NOT_UNDERSTOOD = 2;

// Options whose value is a name (a port, a file, a URL): an empty one names nothing.
bool _needs_text(const std::string& opt) {
    return opt == "-s" || opt == "-f" || opt == "-u" || opt == "-l" || opt == "-k";
}

// The options that store their value as given.
std::string* _text_field(const std::string& opt, Parameters* params) {
    if (opt == "-s")
        return &params->serialPort;
    if (opt == "-f")
        return &params->firmwareFile;
    if (opt == "-l")
        return &params->logMessage;
    if (opt == "-k")
        return &params->logFileName;
    return nullptr;
}

// Parameters checked by a handler of their own. 0, or the refusal's status.
int _handle_checked(UpdaterDisplayInterface& display, const std::string& opt, const char* value,
                    Parameters* params) {
    bool ok = true;
    if (opt == "-b") {
        ok = _handle_build(display, value, params);
    } else if (opt == "-d" && (strchr(value, ',') != nullptr || strcmp(value, "all") == 0)) {
        return _handle_serial_list(display, value, params) ? 0 : NOT_UNDERSTOOD;
    } else if (opt == "-d") {
        params->serialList.clear();
        params->allModules = false;
        ok = _handle_serial(display, value, &params->serialNumber,
                            "Discarding '0x' serial number prefix\n",
                            "Invalid serial number obtained from argument [%s]");
    } else if (opt == "-r") {
        ok = _handle_serial(display, value, &params->routerSerialNumber,
                            "Discarding '0x' router serial number prefix\n",
                            "Invalid router serial number obtained from argument [%s]");
    } else if (opt == "-a") {
        ok = _handle_module_address(display, value, params);
    } else if (opt == "-t") {
        ok = _handle_transport(display, value, params);
    } else if (opt == "-j") {
        return _handle_jobs(display, value, params) ? 0 : NOT_UNDERSTOOD;
    } else if (opt == "-X") {
        return _handle_debug_mask(display, value, params) ? 0 : NOT_UNDERSTOOD;
    } else if (opt == "-o") {
        return _handle_baud_rate(display, value, params) ? 0 : NOT_UNDERSTOOD;
    } else if (opt == "-u") {
        return _handle_server_url(display, value, params) ? 0 : NOT_UNDERSTOOD;
    }
    return ok ? 0 : REFUSED_VALUE;
}

// Applies one accepted option. 0, or the status of its refusal (after a message).
int _handle_option(UpdaterDisplayInterface& display, const OptionEntry& e, const char* value,
                   Parameters* params) {
    static const struct {
        const char* text;
        COMMANDS command;
    } commandOptions[] = {
        {"-B", CMD_BUILDS}, {"-C", CMD_CHECK},  {"-D", CMD_DISCOVER},    {"-G", CMD_GET},
        {"-I", CMD_INFO},   {"-U", CMD_UPDATE}, {"-N", CMD_FINGERPRINT}, {"-Z", CMD_Z},
    };
    std::string opt = e.text;
    for (const auto& c : commandOptions) {
        if (opt == c.text) {
            params->commands.Set(c.command);
            return 0;
        }
    }
    if (_needs_text(opt) && *value == '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Option [%s] needs a value",
                        opt.c_str());
        return NOT_UNDERSTOOD;
    }
    if (std::string* field = _text_field(opt, params)) {
        *field = value;
    } else if (opt == "-OVERRIDE") {
        params->overrideModelCheck = true;
    } else if (opt == "-Y") {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", "-Y");
        return REFUSED_VALUE;
    } else if (opt == "-n") {
        params->optionN = true;
    } else if (opt == "--json") {
        params->jsonOutput = true;
    } else if (opt == "--yes") {
        params->assumeYes = true;
    } else if (opt == "-e") {
        params->echoBytes = true;
    } else {
        return _handle_checked(display, opt, value, params);
    }
    return 0;
}

void _set_defaults(int argc, char** argv, Parameters* params) {
    *params = Parameters();
    params->serverUrl = DEFAULT_SERVER_URL;
    const char* fromEnvironment = getenv(SERVER_ENVIRONMENT_VARIABLE);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        params->serverUrl = fromEnvironment;
        params->serverFromEnvironment = true;
    }
    const char* name = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
    const char* slash = strrchr(name, '/');
    const char* backslash = strrchr(name, '\\');
    const char* base = name;
    if (slash != nullptr && slash + 1 > base)
        base = slash + 1;
    if (backslash != nullptr && backslash + 1 > base)
        base = backslash + 1;
    params->appName = base;

    char home[2048];
    home[0] = '\0';
    (void)qDirectory_GetHomeDirectory(home, sizeof home); // none: empty, and the store says so
    home[sizeof home - 1] = '\0';
    params->homeDirectory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params->homeDirectory.c_str());
}

} // namespace

std::vector<std::string> _option_texts() {
    std::vector<std::string> texts;
    for (const OptionEntry& e : OPTIONS)
        texts.push_back(e.text);
    return texts;
}

uint32_t _get_hex_arg(const char* text, char** end) {
    return _get_digits_arg(text, end, HEX_DIGITS, 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return _get_digits_arg(text, end, DEC_DIGITS, 10);
}

namespace {

// A single-letter option that takes a value, with the value glued on
// (-b1201, -d40F5849A): the entry, or null.
const OptionEntry* _glued_option(const std::string& word) {
    if (word.size() < 3 || word[0] != '-' || word[1] == '-')
        return nullptr;
    const OptionEntry* e = _find_option(word.substr(0, 2));
    return (e != nullptr && e->argument == ARG_NEXT_WORD && strlen(e->text) == 2) ? e : nullptr;
}

// A list of modules is for -U (with or without -G) only, and each module's
// address comes from the walk behind -r, never from one -a.
bool _fleet_allowed(UpdaterDisplayInterface& display, const Parameters& params) {
    const char* problem = nullptr;
    if (!params.commands.IsSet(CMD_UPDATE) ||
        params.commands.IsSet(CMD_DISCOVER | CMD_BUILDS | CMD_INFO | CMD_CHECK | CMD_FINGERPRINT))
        problem = "a list of modules (-d LIST or -d all) is for -U and -G -U only";
    else if (params.moduleAddress != 0)
        problem = "-a names one module's address; with a list of modules the addresses are "
                  "found behind the router (-r)";
    else if (params.transportGiven && params.transport == TRANSPORT_RECOVER)
        problem = "-t RECOVER works on one module at a time";
    if (problem != nullptr)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Refused: %s", problem);
    return problem == nullptr;
}

int _refuse(UpdaterDisplayInterface& display, const char* format, const std::string& word) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, format, word.c_str());
    return NOT_UNDERSTOOD;
}

// The scan of the words, with the listing of the diagnostic log. The worst
// refusal (0 when none), or -1 when help or the version ended the scan.
struct Scan {
    std::vector<const char*> options;
    std::vector<const char*> setAside;
    int status = 0;
};

// Reads the option at argv[*i] (and its value), applying it. -1 when it
// ends the scan (help, version), else 0 or its refusal's status.
int _scan_option(UpdaterDisplayInterface& display, int argc, char** argv, int* i, Scan& scan,
                 Parameters* params) {
    const char* word = argv[*i];
    scan.options.push_back(word);
    std::string name = word;
    const char* value = nullptr;
    const char* eq = strchr(word, '=');
    if (eq != nullptr) {
        name.assign(word, static_cast<size_t>(eq - word));
        value = eq + 1;
    }
    const OptionEntry* e = _find_option(name);
    if (e == nullptr && eq == nullptr && (e = _glued_option(name)) != nullptr) {
        value = word + 2;
    }
    if (e == nullptr)
        return _refuse(display, "Unknown option [%s]", word);
    if (e->argument == ARG_NONE && value != nullptr)
        return _refuse(display, "Option [%s] takes no value", word);
    if (e->argument == ARG_NEXT_WORD && value == nullptr) {
        if (*i + 1 >= argc || argv[*i + 1] == nullptr || argv[*i + 1][0] == '-')
            return _refuse(display, "Option [%s] needs a value", name);
        value = argv[++*i];
        scan.options.push_back(value);
    }
    if (e->identifier == OPT_HELP) {
        params->commands.Set(CMD_HELP);
        params->helpRequested = true;
        return -1;
    }
    if (e->identifier == OPT_VERSION) {
        params->versionRequested = true;
        return -1;
    }
    return _handle_option(display, *e, value != nullptr ? value : "", params);
}

} // namespace

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
    _set_defaults(argc, argv, params);
    // Option words (with their values) keep their order; words that are no
    // option are refused and follow them in the diagnostic listing.
    Scan scan;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr)
            continue;
        int status;
        if (word[0] != '-' || word[1] == '\0') {
            scan.setAside.push_back(word);
            status =
                _refuse(display, "Unexpected word [%s]: not an option, nor the value of one", word);
        } else {
            status = _scan_option(display, argc, argv, &i, scan, params);
        }
        if (status < 0)
            return scan.status; // help and version end the scan at once
        scan.status = std::max(scan.status, status);
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->appName.c_str());
    if (argc > 0 && argv[0] != nullptr) {
        Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
    }
    for (const char* w : scan.options)
        Log::log(DEBUG_APP, "\t[%s]\n", w);
    for (const char* w : scan.setAside)
        Log::log(DEBUG_APP, "\t[%s]\n", w);

    if (params->serverFromEnvironment && !_is_http_url(params->serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid update server URL [%s] in %s: must be an http:// or https:// URL",
                        params->serverUrl.c_str(), SERVER_ENVIRONMENT_VARIABLE);
        scan.status = NOT_UNDERSTOOD;
    }
    if (scan.status != 0) {
        return scan.status;
    }
    if (params->IsFleet() && !_fleet_allowed(display, *params))
        return NOT_UNDERSTOOD;
    return _validate_params(params);
}

int _validate_params(Parameters*) {
    return 0;
}

int _release_params(Parameters*) {
    return 0;
}

std::string _build_updater_directory() {
    char home[2048];
    home[0] = '\0';
    qErr err = qDirectory_GetHomeDirectory(home, sizeof home);
    if (err != qErrNone) {
        Log::log(DEBUG_APP, "Updater: FailedqDirectory_GetHomeDirectory()==> %d\n",
                 static_cast<int>(err));
        return std::string();
    }
    home[sizeof home - 1] = '\0';
    // Without a home directory the components would join into a path at
    // the file system root; an empty path makes main report it instead.
    if (home[0] == '\0') {
        return std::string();
    }
    return BuildPath(home, ".quillmar", "updater", nullptr);
}
