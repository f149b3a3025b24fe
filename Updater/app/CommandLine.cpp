// Command-line scanning and the option handlers that fill Parameters.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BuildChoice.h"
#include "Log.h"
#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "path.h"
#include "qDirectory.h"

const char* const DEFAULT_SERVER_HOST = "updates.keystrand.example";
const char* const DEFAULT_SERVER_URL = "http://updates.keystrand.example/cgi/u";

namespace {

enum OptionKind { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };
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

void _handle_debug_mask(UpdaterDisplayInterface& display, const char* value, Parameters* params) {
    params->extendedUsage = true;
    int base = _has_hex_prefix(value) ? 16 : 10;
    char* end = nullptr;
    params->debugMask = static_cast<uint32_t>(strtoul(value, &end, base));
    if (end != nullptr && *end != '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        end);
        return;
    }
    Log::ActivatePackage(params->debugMask);
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
                        "number from 2 to 254",
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

// Applies one accepted option. False when the option was rejected with a message.
bool _handle_option(UpdaterDisplayInterface& display, const OptionEntry& e, const char* value,
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
            return true;
        }
    }
    char* end = nullptr;
    if (opt == "-OVERRIDE") {
        params->overrideModelCheck = true;
    } else if (opt == "-Y") {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", "-Y");
        return false;
    } else if (opt == "-n") {
        params->optionN = true;
    } else if (opt == "--json") {
        params->jsonOutput = true;
    } else if (opt == "-e") {
        params->echoBytes = true;
    } else if (opt == "-X") {
        _handle_debug_mask(display, value, params);
    } else if (opt == "-b") {
        return _handle_build(display, value, params);
    } else if (opt == "-d") {
        return _handle_serial(display, value, &params->serialNumber,
                              "Discarding '0x' serial number prefix\n",
                              "Invalid serial number obtained from argument [%s]");
    } else if (opt == "-r") {
        return _handle_serial(display, value, &params->routerSerialNumber,
                              "Discarding '0x' router serial number prefix\n",
                              "Invalid router serial number obtained from argument [%s]");
    } else if (opt == "-a") {
        return _handle_module_address(display, value, params);
    } else if (opt == "-t") {
        return _handle_transport(display, value, params);
    } else if (opt == "-o") {
        params->baudRate = _get_int_arg(value, &end);
    } else if (opt == "-s") {
        params->serialPort = value;
    } else if (opt == "-f") {
        params->firmwareFile = value;
    } else if (opt == "-l") {
        params->logMessage = value;
    } else if (opt == "-k") {
        params->logFileName = value;
    } else if (opt == "-u") {
        params->serverUrl = value;
    }
    return true;
}

void _set_defaults(int argc, char** argv, Parameters* params) {
    *params = Parameters();
    params->serverUrl = DEFAULT_SERVER_URL;
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

uint32_t _get_hex_arg(const char* text, char** end) {
    return _get_digits_arg(text, end, HEX_DIGITS, 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return _get_digits_arg(text, end, DEC_DIGITS, 10);
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
    _set_defaults(argc, argv, params);
    bool failed = false;
    // Option words (with their values) keep their order; the words that are
    // no option are set aside and follow them in the diagnostic listing.
    std::vector<const char*> options;
    std::vector<const char*> setAside;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr) {
            continue;
        }
        if (word[0] != '-') {
            setAside.push_back(word);
            continue;
        }
        options.push_back(word);
        std::string name = word;
        const char* value = nullptr;
        const char* eq = strchr(word, '=');
        if (eq != nullptr) {
            name.assign(word, static_cast<size_t>(eq - word));
            value = eq + 1;
        }
        const OptionEntry* e = _find_option(name);
        if (e == nullptr) {
            continue; // unknown or ambiguous: dropped silently
        }
        if (e->argument == ARG_NONE && value != nullptr) {
            continue; // an option without a value was given one
        }
        if (e->argument == ARG_NEXT_WORD && value == nullptr) {
            if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '-') {
                continue; // the value is missing; the next word stands on its own
            }
            value = argv[++i];
            options.push_back(value);
        }
        if (e->identifier == OPT_HELP) {
            params->commands.Set(CMD_HELP);
            params->helpRequested = true;
            return 0;
        }
        if (!_handle_option(display, *e, value != nullptr ? value : "", params)) {
            failed = true;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->appName.c_str());
    if (argc > 0 && argv[0] != nullptr) {
        Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
    }
    for (const char* w : options)
        Log::log(DEBUG_APP, "\t[%s]\n", w);
    for (const char* w : setAside)
        Log::log(DEBUG_APP, "\t[%s]\n", w);

    if (failed) {
        return 1;
    }
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
