// Discovery (-D): the modules reachable over USB and TCP/IP, and the modules
// on the I2C network behind one of them, the router (-D -r).
//
// Every module found is opened briefly, asked for its firmware build, version
// and addresses, and closed again on every path, also when a question fails
// halfway. Nothing is kept between calls and nothing is written to the store;
// discovery prints nothing itself (main prints the lists).
//
// The router walk asks every even address 2..252 for its serial number, and an
// address where nobody answers costs the full reply time-out of 1 s. The
// overlapped walk keeps up to WALK_OUTSTANDING of these questions on the
// router's link at once and tells the replies apart by their source address;
// then it asks the modules that answered, in ascending address order, exactly
// what the one-by-one walk asks them. A question is given up only after a
// whole reply time-out that began after it was sent has passed without a reply
// to any waiting question, so every address keeps at least the reply window of
// the one-by-one walk.
//
// Threads: none of its own. All module handles of a walk share the router's
// engine link and are used from the calling thread only.
#include "Updater.h"

#include <array>
#include <type_traits>
#include <utility>

#include "Log.h"
#include "Module.h"
#include "NetworkWalk.h"
#include "SystemClass.h"
#include "qDefs.h"
#include "qUEI.h"
#include "qVersion.h"

using Quillmar::Keystrand::cmdDESCRIBE;
using Quillmar::Keystrand::cmdSYSTEM;
using Quillmar::Keystrand::Link;
using Quillmar::Keystrand::Module;
using Quillmar::Keystrand::SystemClass;
using Quillmar::Keystrand::uei;

namespace {

// Address of a module handle until it learns the real one when it connects.
constexpr uint8_t GUESSED_ADDRESS = 2;
// The build reply: 73, 255 and the build number, most significant byte first.
constexpr uint8_t BUILD_REPLY_LENGTH = 6;
// The addresses a router's network may hold.
constexpr unsigned NETWORK_FIRST = 2;
constexpr unsigned NETWORK_LAST = 252;
// Serial-number questions waiting on the router's link at once. Each address
// without a module holds its place for a whole reply time-out, so the walk
// takes about 126 / WALK_OUTSTANDING seconds; the bound keeps a router that
// passes requests on slowly from queueing more than this many.
constexpr size_t WALK_OUTSTANDING = 16;

// --- direct discovery -------------------------------------------------------

bool _discovered_device(const linkSpec* spec, bool* success, void* devices) {
    static_cast<std::vector<DeviceInfo>*>(devices)->emplace_back(*spec);
    *success = true;
    return true;
}

// The firmware build number through a raw DESCRIBE exchange; 0 on any failure
// or a reply of another length.
uint32_t _get_build_number(Module& module) {
    Link* link = module.getLink();
    if (link == nullptr)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t request = Quillmar::Keystrand::val_DESCRIBE_BUILD;
    if (link->sendPacket(address, cmdDESCRIBE, 1, &request) != qErrNone)
        return 0;
    const uint8_t match[2] = {cmdDESCRIBE, request};
    uint8_t length = sizeof match;
    uint8_t reply[qPACKET_MAX_DATA];
    if (link->receivePacket(address, match, &length, reply) != qErrNone ||
        length != BUILD_REPLY_LENGTH)
        return 0;
    return qUEI_RetrieveInt(reply + 2);
}

// Version, own address and router address, in that order; the error of the
// first step that failed leaves the fields of the later steps as they were.
qErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    qErr result = system.getVersion(&version);
    if (result != qErrNone)
        return result;
    info.major = qVersion_ParseMajor(version);
    info.minor = qVersion_ParseMinor(version);
    info.patch = qVersion_ParsePatch(version);
    uint8_t address = 0;
    result = system.getModule(&address);
    if (result != qErrNone)
        return result;
    info.moduleAddress = address;
    uint8_t router = 0;
    result = system.getRouter(&router);
    if (result == qErrNone)
        info.routerAddress = router;
    return result;
}

// Opens the record's module, asks it, and closes it again.
void _query_device(DeviceInfo& info) {
    info.modelName = qDefs_GetModelName(info.modelCode);
    Module module(GUESSED_ADDRESS, 0);
    qErr connected = module.connectFromSpec(info);
    if (connected != qErrNone) {
        info.error = connected;
    } else {
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
    }
    (void)module.disconnect(); // also after a failed connect, which may leave a link behind
}

// --- the router's transport ---------------------------------------------------

struct LinkTypeSearch {
    uint32_t serialNumber;
    linkType found;
};

bool _discovered_link(const linkSpec* spec, bool* success, void* context) {
    *success = true;
    LinkTypeSearch* search = static_cast<LinkTypeSearch*>(context);
    if (spec->serialNumber != search->serialNumber)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(spec->transport));
    search->found = spec->transport;
    return false;
}

// USB first, then TCP/IP when USB did not have the router (other modules on
// USB do not end the search); 0 when neither has it.
linkType _discover_link_type(uint32_t serialNumber) {
    LinkTypeSearch search{serialNumber, linkTypeNone};
    qDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search);
    if (search.found == linkTypeNone)
        qDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search);
    return search.found;
}

// --- the walk behind a router -------------------------------------------------

// The router as the records of its network need it.
struct NetworkRouter {
    Module& module;
    linkSpec spec;
    uint32_t serialNumber;
};

// A record for a module behind the router: the router's transport part and
// the module's serial number; the questions fill in the rest.
DeviceInfo _network_record(const NetworkRouter& router, uint32_t serialNumber) {
    DeviceInfo info;
    info.link = router.spec.link;
    info.transport = router.spec.transport;
    info.serialNumber = serialNumber;
    info.routerAddress = router.module.getModuleAddress();
    info.routerSerialNumber = router.serialNumber;
    return info;
}

// Build, version, addresses and model of a module that answered its serial
// number. A model that cannot be read is the record's error, name empty.
void _query_network_module(Module& module, DeviceInfo& info) {
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    qErr result = system.getModel(&model);
    if (result == qErrNone) {
        info.modelCode = model;
        info.modelName = qDefs_GetModelName(model);
    } else {
        info.error = result;
    }
}

std::vector<DeviceInfo> _walk_one_by_one(const NetworkRouter& router, unsigned first,
                                         unsigned last) {
    std::vector<DeviceInfo> devices;
    for (unsigned address = first; address <= last; address += 2) {
        Module module(static_cast<uint8_t>(address), 0);
        (void)module.connectThroughLinkModule(
            &router.module); // a failure shows in the next question
        SystemClass system;
        system.init(&module, 0);
        uint32_t serialNumber = 0;
        if (system.getSerialNumber(&serialNumber) == qErrNone) {
            DeviceInfo info = _network_record(router, serialNumber);
            _query_network_module(module, info);
            devices.push_back(std::move(info));
        }
        (void)module.disconnect();
    }
    return devices;
}

// The serial-number questions of the overlapped walk, by address.
struct SerialQuestions {
    uei reply; // first member: Link::receiveUEI hands its filter a pointer to it
    std::array<bool, 256> waiting;
    std::array<bool, 256> answered;
    std::array<uint32_t, 256> serialNumber;
};
static_assert(std::is_standard_layout<SerialQuestions>::value,
              "the reply filter finds the questions from the address of their first member");

// Accepts the serial-number reply (or error reply) of a waiting address and
// notes it. Runs inside Link::receiveUEI on the calling thread.
bool _serial_reply_filter(const qPacket* packet, const void* context) {
    auto* questions =
        const_cast<SerialQuestions*>(reinterpret_cast<const SerialQuestions*>(context));
    const uint8_t address = packet->address;
    if (!questions->waiting[address] || packet->length <= 2 || packet->data[0] != cmdSYSTEM ||
        packet->data[1] != Quillmar::Keystrand::systemSerialNumber ||
        (packet->data[2] & Quillmar::Keystrand::ueiSPECIFIER_INDEX_MASK) != 0)
        return false;
    questions->waiting[address] = false;
    // The module's error reply: nothing is recorded, as for no reply.
    if (packet->data[2] & Quillmar::Keystrand::ueiSPECIFIER_ERROR)
        return true;
    // The value as a 32-bit get reads it from each reply length.
    uint32_t value = 0;
    if (packet->length == 4)
        value = packet->data[3];
    else if (packet->length == 5)
        value = qUEI_RetrieveShort(packet->data + 3);
    else if (packet->length == 7)
        value = qUEI_RetrieveInt(packet->data + 3);
    questions->answered[address] = true;
    questions->serialNumber[address] = value;
    return true;
}

qErr _send_serial_question(Link& link, uint8_t address) {
    uei request{};
    request.module = address;
    request.command = cmdSYSTEM;
    request.option = Quillmar::Keystrand::systemSerialNumber + Quillmar::Keystrand::ueiOPTION_GET;
    request.specifier = Quillmar::Keystrand::ueiSPECIFIER_REPLY; // entity index 0
    request.type = Quillmar::Keystrand::ueiTypeVoid;
    return link.sendUEI(request);
}

// Asks every even address first..last for its serial number, keeping up to
// WALK_OUTSTANDING questions waiting. Each wait ends with a reply to one of
// them, which ends that question, or after a whole reply time-out without
// any, which ends every question that was waiting: so there are at most as
// many waits as addresses and replies together.
void _ask_serial_numbers(Link& link, unsigned first, unsigned last, SerialQuestions& questions) {
    unsigned next = first;
    size_t waiting = 0;
    for (;;) {
        for (; waiting < WALK_OUTSTANDING && next <= last; next += 2) {
            if (_send_serial_question(link, static_cast<uint8_t>(next)) == qErrNone) {
                questions.waiting[next] = true;
                ++waiting;
            }
        }
        if (waiting == 0)
            return;
        questions.reply = uei{};
        // The module argument is only checked for validity: the filter picks
        // the reply of any waiting address.
        if (link.receiveUEI(GUESSED_ADDRESS, cmdSYSTEM, Quillmar::Keystrand::systemSerialNumber, 0,
                            &questions.reply, _serial_reply_filter) == qErrNone) {
            --waiting;
        } else {
            questions.waiting.fill(false);
            waiting = 0;
        }
    }
}

std::vector<DeviceInfo> _walk_overlapped(const NetworkRouter& router, unsigned first,
                                         unsigned last) {
    std::vector<DeviceInfo> devices;
    Link* link = router.module.getLink();
    if (link == nullptr)
        return devices;
    SerialQuestions questions{};
    _ask_serial_numbers(*link, first, last, questions);
    for (unsigned address = first; address <= last; address += 2) {
        if (!questions.answered[address])
            continue;
        Module module(static_cast<uint8_t>(address), 0);
        DeviceInfo info = _network_record(router, questions.serialNumber[address]);
        qErr connected = module.connectThroughLinkModule(&router.module);
        if (connected == qErrNone)
            _query_network_module(module, info);
        else
            info.error = connected;
        devices.push_back(std::move(info));
        (void)module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> _walk(const NetworkRouter& router, const NetworkWalk& walk) {
    unsigned first = walk.firstAddress < NETWORK_FIRST ? NETWORK_FIRST : walk.firstAddress;
    first += first % 2;
    unsigned last = walk.lastAddress > NETWORK_LAST ? NETWORK_LAST : walk.lastAddress;
    return walk.overlapped ? _walk_overlapped(router, first, last)
                           : _walk_one_by_one(router, first, last);
}

} // namespace

std::vector<DeviceInfo> DiscoverNetworkDevices(uint32_t routerSerialNumber, linkType type,
                                               const NetworkWalk& walk) {
    std::vector<DeviceInfo> devices;
    if (type == linkTypeNone)
        type = _discover_link_type(routerSerialNumber);
    linkSpec* found = qDiscovery_FindModule(type, routerSerialNumber);
    if (found == nullptr)
        return devices;
    Module module(GUESSED_ADDRESS, 0);
    NetworkRouter router{module, *found, routerSerialNumber};
    (void)qLinkSpec_Destroy(&found);
    router.spec.transport = type;
    SystemClass system;
    system.init(&module, 0);
    if (module.connectFromSpec(router.spec) == qErrNone && system.routeToMe(1) == qErrNone) {
        devices = _walk(router, walk);
        qErr off = system.routeToMe(0);
        if (off != qErrNone)
            Log::log(DEBUG_Network, "Routing off at [%08X] failed: %s\n", routerSerialNumber,
                     qError_GetErrorText(off));
    }
    (void)module.disconnect();
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> devices;
    if (type != linkTypeNone) {
        qDiscovery_EnumerateModules(type, _discovered_device, &devices);
    } else {
        qDiscovery_EnumerateModules(linkTypeUSB, _discovered_device, &devices);
        qDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_device, &devices);
    }
    for (DeviceInfo& info : devices)
        _query_device(info);
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_KSNetwork_Devices(uint32_t routerSerialNumber,
                                                            linkType type) {
    return DiscoverNetworkDevices(routerSerialNumber, type, NetworkWalk());
}
