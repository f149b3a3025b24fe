#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "Commands.h"
#include "Log.h"
#include "Parameters.h"
#include "Printers.h"
#include "display_recorder.h"

namespace {

using Call = DisplayRecorder::Call;

struct Parsed {
    int result;
    Parameters params;
    std::vector<Call> calls;
    uint32_t activePackages;
};

Parsed Parse(std::vector<std::string> words, const char* argv0 = "/usr/bin/Updater") {
    std::vector<std::string> storage;
    storage.push_back(argv0);
    for (auto& w : words)
        storage.push_back(w);
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    DisplayRecorder display;
    Parsed p;
    p.result = _get_params(display, static_cast<int>(storage.size()), argv.data(), &p.params);
    p.calls = display.calls;
    p.activePackages = Log::ActivePackages();
    Log::DeactivatePackage(0xFFFFFFFFu);
    return p;
}

Call Error(const std::string& text) {
    return Call{"error", text};
}

TEST(CommandLineDefaults, AreSetBeforeAnyOptionIsRead) {
    Parsed p = Parse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.calls.empty());
    const Parameters& d = p.params;
    EXPECT_FALSE(d.commands.IsSet(0xFFFFFFFFu));
    EXPECT_EQ(d.serialNumber, 0u);
    EXPECT_EQ(d.routerSerialNumber, 0u);
    EXPECT_EQ(d.transport, 1u);
    EXPECT_FALSE(d.transportGiven);
    EXPECT_EQ(d.baudRate, 115200u);
    EXPECT_EQ(d.moduleAddress, 0u);
    EXPECT_EQ(d.buildNumber, "");
    EXPECT_EQ(d.serverUrl.rfind("http://", 0), 0u) << d.serverUrl;
    EXPECT_NE(d.serverUrl.find(".example/cgi/u"), std::string::npos) << d.serverUrl;
    EXPECT_EQ(d.appName, "Updater");
    EXPECT_EQ(d.logMode, "a+");
    EXPECT_EQ(d.logFileName, "Updater.log");
    EXPECT_FALSE(d.overrideModelCheck);
    EXPECT_TRUE(d.extendedUsage);
    EXPECT_FALSE(d.helpRequested);
    EXPECT_EQ(d.homeDirectory, getenv("HOME") ? getenv("HOME") : "");
}

TEST(CommandLineDefaults, ApplicationNameIsTheProgramPathAfterItsLastSeparator) {
    struct Case {
        const char* argv0;
        const char* name;
    } cases[] = {
        {"/usr/bin/Updater", "Updater"},
        {"Updater", "Updater"},
        {"C:\\tools\\Updater.exe", "Updater.exe"},
        {"/opt/x\\y/Up", "Up"},
        {"dir/", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse({}, c.argv0).params.appName, c.name) << c.argv0;
    }
}

struct FieldCase {
    std::vector<std::string> words;
    std::function<bool(const Parameters&)> holds;
    const char* what;
};

TEST(CommandLineScanning, SelectsOptionsByExactTextOrUniqueAbbreviation) {
    std::vector<FieldCase> cases = {
        {{"-OVERRIDE"}, [](const Parameters& p) { return p.overrideModelCheck; }, "-OVERRIDE"},
        {{"-O"},
         [](const Parameters& p) { return p.overrideModelCheck; },
         "-O abbreviates -OVERRIDE"},
        {{"-OVERRID"}, [](const Parameters& p) { return p.overrideModelCheck; }, "-OVERRID"},
        {{"-o", "9600"},
         [](const Parameters& p) { return p.baudRate == 9600 && !p.overrideModelCheck; },
         "-o is the baud rate, case matters"},
        {{"--hel"},
         [](const Parameters& p) { return p.helpRequested && p.commands.IsSet(CMD_HELP); },
         "--hel"},
        {{"--h"}, [](const Parameters& p) { return p.helpRequested; }, "--h"},
        {{"-d40F5849A", "-b1201", "-o9600"},
         [](const Parameters& p) {
             return p.serialNumber == 0x40F5849A && p.buildNumber == "1201" && p.baudRate == 9600;
         },
         "a value glued to a one-letter option is taken"},
        {{"-n"}, [](const Parameters& p) { return p.optionN; }, "-n"},
        {{"-Z", "5"},
         [](const Parameters& p) { return p.commands.Word() == CMD_Z; },
         "-Z with value"},
        {{"-e", "on"}, [](const Parameters& p) { return p.echoBytes; }, "-e consumes its value"},
        {{"--version", "-Q"},
         [](const Parameters& p) { return p.versionRequested; },
         "--version ends the scan"},
        {{"-B", "-C", "-D", "-G", "-I", "-N", "-U"},
         [](const Parameters& p) {
             return p.commands.Word() == (CMD_BUILDS | CMD_CHECK | CMD_DISCOVER | CMD_GET |
                                          CMD_INFO | CMD_FINGERPRINT | CMD_UPDATE);
         },
         "each command sets its bit"},
        {{"-u", "http://127.0.0.1:9/cgi/u"},
         [](const Parameters& p) { return p.serverUrl == "http://127.0.0.1:9/cgi/u"; },
         "-u"},
        {{"-u=http://h:1/a=b"},
         [](const Parameters& p) { return p.serverUrl == "http://h:1/a=b"; },
         "split at the first ="},
        {{"-s", "/dev/ttyS0", "-f", "a.bird", "-l", "msg", "-k", "x.log"},
         [](const Parameters& p) {
             return p.serialPort == "/dev/ttyS0" && p.firmwareFile == "a.bird" &&
                    p.logMessage == "msg" && p.logFileName == "x.log";
         },
         "verbatim values"},
    };
    for (const FieldCase& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 0) << c.what;
        EXPECT_TRUE(p.calls.empty()) << c.what;
        EXPECT_TRUE(c.holds(p.params)) << c.what;
    }
}

TEST(CommandLineScanning, HelpEndsParsingAtOnceWithSuccess) {
    struct Case {
        std::vector<std::string> words;
    } cases[] = {
        {{"-h", "-Y"}}, {{"-H", "-d", "G1"}}, {{"--help", "-t", "x"}}, {{"-D", "-h", "-U"}}};
    for (const Case& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(p.calls.empty());
        EXPECT_TRUE(p.params.helpRequested);
        EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP));
        EXPECT_FALSE(p.params.commands.IsSet(CMD_UPDATE));
    }
}

TEST(CommandLineValues, SerialNumbersAreHexadecimalWithAnOptionalPrefix) {
    struct Case {
        std::vector<std::string> words;
        uint32_t serial;
        uint32_t router;
    } cases[] = {
        {{"-d", "0x40F5849A"}, 0x40F5849A, 0},
        {{"-d", "40F5849A"}, 0x40F5849A, 0},
        {{"-d", "0X40f5849a"}, 0x40F5849A, 0},
        {{"-d=40F5849A"}, 0x40F5849A, 0},
        {{"-d", "1"}, 1, 0},
        {{"-r", "0xD272031D"}, 0, 0xD272031D},
        {{"-r", "D272031D", "-d", "2"}, 2, 0xD272031D},
        {{"-d", "1", "-d", "2"}, 2, 0},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 0) << c.words[0] << " " << c.words.back();
        EXPECT_EQ(p.params.serialNumber, c.serial) << c.words.back();
        EXPECT_EQ(p.params.routerSerialNumber, c.router) << c.words.back();
    }
}

TEST(CommandLineValues, RejectedValuesGiveOneMessageEachAndParsingGoesOn) {
    struct Case {
        std::vector<std::string> words;
        std::vector<Call> messages;
    } cases[] = {
        {{"-d", "0x"}, {Error("Invalid serial number obtained from argument []")}},
        {{"-d", "G1"}, {Error("Invalid serial number obtained from argument [G1]")}},
        {{"-d", "0"}, {Error("Invalid serial number obtained from argument [0]")}},
        {{"-d", "00000000"}, {Error("Invalid serial number obtained from argument [00000000]")}},
        {{"-d="}, {Error("Invalid serial number obtained from argument []")}},
        {{"-r", "0xZZ"}, {Error("Invalid router serial number obtained from argument [ZZ]")}},
        {{"-t", "TC"},
         {Error("Invalid transport type:[TC]\nMust be one of the following: USB, TCPIP, RECOVER")}},
        {{"-Y"}, {Error("Unhandled command: [-Y]")}},
        {{"-Y", "-d", "0"},
         {Error("Unhandled command: [-Y]"),
          Error("Invalid serial number obtained from argument [0]")}},
        {{"-d", "x", "-r", "y", "-D"},
         {Error("Invalid serial number obtained from argument [x]"),
          Error("Invalid router serial number obtained from argument [y]")}},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 1) << c.words[0] << " " << c.words.back();
        EXPECT_EQ(p.calls, c.messages) << c.words[0] << " " << c.words.back();
    }
    EXPECT_TRUE(Parse({"-d", "x", "-D"}).params.commands.IsSet(CMD_DISCOVER));
}

// A fleet update: -d takes a list or all with -U, -j from 1 to 32. A list or
// a count that cannot be read, or a fleet given to another command, is not
// understood (2, one message): nothing is updated on a guess.
TEST(CommandLineValues, FleetListsAndConcurrencyAreReadWholeOrRefused) {
    struct Case {
        std::vector<std::string> words;
        int result;
        std::vector<uint32_t> list; // when accepted
        bool all;
        unsigned jobs;
        std::string message; // the one error, when refused
    } cases[] = {
        {{"-U", "-d", "4B530001,0x4B530002,3"}, 0, {0x4B530001, 0x4B530002, 3}, false, 4, ""},
        {{"-U", "-d", "all", "-j", "32", "--yes"}, 0, {}, true, 32, ""},
        {{"-G", "-U", "-d=1,2", "-j1"}, 0, {1, 2}, false, 1, ""},
        {{"-U", "-d", "1,2", "-d", "3"}, 0, {}, false, 4, ""}, // the last -d holds
        {{"-U", "-d", "A,,B"}, 2, {}, false, 4, "Invalid serial number list [A,,B]: an empty item"},
        {{"-U", "-d", "A,"}, 2, {}, false, 4, "Invalid serial number list [A,]: an empty item"},
        {{"-U", "-d", "A,0xa"},
         2,
         {},
         false,
         4,
         "Invalid serial number list [A,0xa]: 0000000A is listed twice"},
        {{"-U", "-d", "1,G"}, 2, {}, false, 4, "Invalid serial number obtained from argument [G]"},
        {{"-U", "-d", "1,2", "-j", "0"},
         2,
         {},
         false,
         4,
         "Invalid number of modules at a time [0]: must be from 1 to 32"},
        {{"-U", "-d", "1,2", "-j", "33"},
         2,
         {},
         false,
         4,
         "Invalid number of modules at a time [33]: must be from 1 to 32"},
        {{"-U", "-d", "1,2", "-j", "4x"},
         2,
         {},
         false,
         4,
         "Invalid number of modules at a time [4x]: must be from 1 to 32"},
        {{"-D", "-d", "1,2"},
         2,
         {},
         false,
         4,
         "Refused: a list of modules (-d LIST or -d all) is for -U and -G -U only"},
        {{"-G", "-d", "all"},
         2,
         {},
         false,
         4,
         "Refused: a list of modules (-d LIST or -d all) is for -U and -G -U only"},
        {{"-U", "-d", "1,2", "-r", "5", "-a", "4"},
         2,
         {},
         false,
         4,
         "Refused: -a names one module's address; with a list of modules the addresses are "
         "found behind the router (-r)"},
        {{"-U", "-t", "RECOVER", "-d", "1,2"},
         2,
         {},
         false,
         4,
         "Refused: -t RECOVER works on one module at a time"},
    };
    for (const Case& c : cases) {
        const std::string words = ::testing::PrintToString(c.words);
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, c.result) << words;
        if (c.result != 0) {
            EXPECT_EQ(p.calls, std::vector<Call>{Error(c.message)}) << words;
            continue;
        }
        EXPECT_TRUE(p.calls.empty()) << words;
        EXPECT_EQ(p.params.serialList, c.list) << words;
        EXPECT_EQ(p.params.allModules, c.all) << words;
        EXPECT_EQ(p.params.jobs, c.jobs) << words;
        EXPECT_EQ(p.params.serialNumber, c.list.empty() && !c.all ? 3u : 0u) << words;
    }
}

// -a: the address of the module behind the router, decimal or 0x hex, even,
// 2 to 254; anything else is refused with the value shown.
TEST(CommandLineValues, ModuleAddressIsAnEvenNumberFromTwoTo254) {
    struct Case {
        std::vector<std::string> words;
        uint8_t address; // 0: refused
    } cases[] = {
        {{"-a", "6"}, 6},     {{"-a", "0x06"}, 6}, {{"-a=254"}, 254},  {{"-a", "0XFE"}, 254},
        {{"-a", "2"}, 2},     {{"-a", "002"}, 2},  {{"-a", "0"}, 0},   {{"-a", "7"}, 0},
        {{"-a", "255"}, 0},   {{"-a", "256"}, 0},  {{"-a", "258"}, 0}, {{"-a", "4294967298"}, 0},
        {{"-a", "0x"}, 0},    {{"-a", "six"}, 0},  {{"-a="}, 0},       {{"-a=-2"}, 0},
        {{"-a", "0x1FE"}, 0}, {{"-a", " 6"}, 0},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.words);
        const std::string value =
            c.words.size() > 1 ? c.words[1] : c.words[0].substr(c.words[0].find('=') + 1);
        EXPECT_EQ(p.params.moduleAddress, c.address) << value;
        if (c.address != 0) {
            EXPECT_EQ(p.result, 0) << value;
            EXPECT_TRUE(p.calls.empty()) << value;
        } else {
            EXPECT_EQ(p.result, 1) << value;
            EXPECT_EQ(p.calls,
                      std::vector<Call>({Error("Invalid module address obtained from "
                                               "argument [" +
                                               value +
                                               "]: must be an even number from 2 to 254, decimal "
                                               "or 0x hex (the -D table shows addresses in hex: "
                                               "1A there is -a 0x1A)")}))
                << value;
        }
    }
    EXPECT_EQ(Parse({"-a"}).result, 2) << "a missing value is refused";
}

TEST(CommandLineValues, TransportIsChosenByItsLeadingLetters) {
    struct Case {
        const char* value;
        uint32_t transport;
        int result;
    } cases[] = {
        {"USB", 1, 0},   {"USB2", 1, 0},      {"TCP", 2, 0},
        {"TCPIP", 2, 0}, {"RECOVER", 255, 0}, {"RECOVERY", 255, 0},
        {"usb", 0, 1},   {"RECOVE", 0, 1},    {"", 0, 1},
    };
    for (const Case& c : cases) {
        Parsed p = Parse({std::string("-t=") + c.value});
        EXPECT_EQ(p.result, c.result) << c.value;
        EXPECT_EQ(p.params.transport, c.transport) << c.value;
        EXPECT_TRUE(p.params.transportGiven) << c.value;
    }
}

TEST(CommandLineValues, NumbersKeepOnlyWhatTheirDigitsSay) {
    struct Case {
        std::vector<std::string> words;
        const char* build;
        uint32_t baud;
    } cases[] = {
        {{"-b", "007"}, "7", 115200},          {{"-b", "99528558"}, "99528558", 115200},
        {{"-o", "230400"}, "", 230400},        {{"-o", "2400"}, "", 2400},
        {{"-b", "1", "-b", "2"}, "2", 115200},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.params.buildNumber, c.build) << c.words[1];
        EXPECT_EQ(p.params.baudRate, c.baud) << c.words[1];
    }
}

TEST(CommandLineValues, DebugMaskActivatesLogPackagesOnlyWhenFullyRead) {
    struct Case {
        const char* value;
        uint32_t mask;
        uint32_t active;
        const char* rest; // null: no message
    } cases[] = {
        {"0x101", 0x101, 0x101, nullptr},
        {"0X10000", 0x10000, 0x10000, nullptr},
        {"257", 257, 257, nullptr},
        {"0", 0, 0, nullptr},
        {"5z", 0, 0, "z"},
        {"0x", 0, 0, "0x"},
        {"12 3", 0, 0, " 3"},
        {"", 0, 0, ""},
        {"4294967296", 0, 0, ""},
    };
    for (const Case& c : cases) {
        Parsed p = Parse({std::string("-X=") + c.value, "-C"});
        EXPECT_EQ(p.result, c.rest != nullptr ? 2 : 0) << c.value;
        EXPECT_EQ(p.params.debugMask, c.mask) << c.value;
        EXPECT_EQ(p.activePackages, c.active) << c.value;
        EXPECT_TRUE(p.params.extendedUsage);
        EXPECT_TRUE(p.params.commands.IsSet(CMD_CHECK)) << c.value;
        if (c.rest != nullptr) {
            std::vector<Call> want = {
                Error(std::string("Invalid format for \"-X\" parameter, unprocessed characters [") +
                      c.rest + "]")};
            EXPECT_EQ(p.calls, want) << c.value;
        } else {
            EXPECT_TRUE(p.calls.empty()) << c.value;
        }
    }
}

TEST(CommandLineArguments, HexAndDecimalReadersRefuseForeignCharacters) {
    struct Case {
        const char* text;
        bool hex;
        uint32_t value;
        long consumed; // -1: end left untouched
    } cases[] = {
        {"1F", true, 0x1F, 2},
        {"ffffffff", true, 0xFFFFFFFF, 8},
        {"", true, 0, 0},
        {"100000000", true, 0, 9},
        {"0x10", true, 0, -1},
        {"g", true, 0, -1},
        {" 1", true, 0, -1},
        {"007", false, 7, 3},
        {"1F", false, 0, -1},
        {"-1", false, 0, -1},
        {"4294967295", false, 4294967295u, 10},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        char sentinel = 0;
        char* end = &sentinel;
        uint32_t v = c.hex ? _get_hex_arg(c.text, &end) : _get_int_arg(c.text, &end);
        EXPECT_EQ(v, c.value) << c.text;
        if (c.consumed < 0) {
            EXPECT_EQ(end, &sentinel) << c.text;
        } else {
            EXPECT_EQ(end, c.text + c.consumed) << c.text;
        }
    }
    EXPECT_EQ(_get_hex_arg("1F", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(CommandsClassSet, ReportsWhetherAnyCommandIsSet) {
    CommandsClass c;
    EXPECT_FALSE(c.IsSet(COMMAND_MASK));
    EXPECT_TRUE(c.Set(CMD_Z));
    EXPECT_TRUE(c.IsSet(COMMAND_MASK));
    EXPECT_FALSE(c.IsSet(CMD_HELP | CMD_DISCOVER));
    EXPECT_TRUE(c.Set(CMD_HELP));
    EXPECT_FALSE(c.IsSet(COMMAND_MASK & ~CMD_Z));
}

TEST(DiscoveryTransport, FollowsTheTransportOptionExceptForRecovery) {
    struct Case {
        std::vector<std::string> words;
        linkType type;
    } cases[] = {
        {{"-D"}, linkTypeUSB},
        {{"-D", "-t", "USB"}, linkTypeUSB},
        {{"-D", "-t", "TCPIP"}, linkTypeTCPIP},
        {{"-D", "-t", "TCP"}, linkTypeTCPIP},
        {{"-D", "-t", "RECOVER"}, linkTypeUSB},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(_discovery_link_type(p.params), c.type) << c.words.back();
    }
}

TEST(StoreDirectory, IsBuiltUnderTheHomeDirectory) {
    const char* home = getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(_build_updater_directory(), std::string(home) + "/.quillmar/updater");
}

} // namespace

namespace {

// The option words a text names: a dash or two and letters, standing at the
// start of a word.
std::set<std::string> OptionWords(const std::string& text) {
    std::set<std::string> words;
    static const std::regex word(R"((^|[\s\[\(|,"'`])(--?[A-Za-z]+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
         it != std::sregex_iterator(); ++it)
        words.insert((*it)[2]);
    return words;
}

std::string SourceFile(const std::string& relative) {
    const char* src = getenv("KS_SOURCE_DIR");
    std::ifstream in(std::string(src != nullptr ? src : ".") + "/" + relative);
    EXPECT_TRUE(in.good()) << relative << " (KS_SOURCE_DIR set?)";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The usage screen, the man page and the README's option summary name the
// same options: every option the command line knows (but -Y, which is
// refused) and nothing it does not know.
TEST(Documentation, UsageManPageAndReadmeListTheSameOptions) {
    std::string man =
        std::regex_replace(SourceFile("packaging/man/Updater.1"), std::regex(R"(\\-)"), "-");
    std::string readme = SourceFile("README.md");
    size_t start = readme.find("## Commands and options");
    ASSERT_NE(start, std::string::npos);
    readme = readme.substr(start, readme.find("\n## ", start + 1) - start);
    const std::map<std::string, std::string> documents = {
        {"usage screen", _usage_text(true, true)}, {"man page", man}, {"README", readme}};

    std::set<std::string> known;
    for (const std::string& text : _option_texts())
        known.insert(text);
    // Spellings the texts use besides the options themselves: the head of the
    // usage screen's "[-Hh | --help]", the README's abbreviations of -OVERRIDE.
    const std::set<std::string> spellings = {"-Hh", "-O", "-OVERRID", "-Y"};
    for (const auto& doc : documents) {
        std::set<std::string> named = OptionWords(doc.second);
        for (const std::string& option : known) {
            if (option != "-Y") {
                EXPECT_TRUE(named.count(option)) << doc.first << " does not list " << option;
            }
        }
        for (const std::string& word : named) {
            EXPECT_TRUE(known.count(word) || spellings.count(word))
                << doc.first << " names " << word << ", which the command line does not know";
        }
    }
}

} // namespace
