// Module handle: connecting (directly, by discovery, from a specifier, or
// through a router), the automatic address update, and the module queries.
#include "Module.h"

#include <cstring>

#include "qTime.h"

namespace Quillmar {
namespace Keystrand {

namespace {

const char* const LINK_NAME = "Link";
constexpr int ADDRESS_ATTEMPTS = 4;
constexpr unsigned long ADDRESS_RETRY_MS = 5;

enum : uint8_t {
    describeHasUEI = 1,
    describeClassQuantity = 4,
    describeSubClassQuantity = 5,
    describeGroup = 6,
};

} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : _link(new Link(LINK_NAME)), _address(address), _networking(autoNetworking), _model(model) {}

Module::~Module() {
    delete _link;
}

void Module::_ensureLink() {
    if (!_link)
        _link = new Link(LINK_NAME);
}

void Module::_autoNetwork() {
    if (!_networking || !_link)
        return;
    uint8_t address = 0;
    qErr result = qErrNotReady;
    for (int i = 0; i < ADDRESS_ATTEMPTS && result == qErrNotReady; ++i) {
        result = _link->getModuleAddress(&address);
        if (result == qErrNotReady)
            (void)qTime_MSSleep(ADDRESS_RETRY_MS);
    }
    if (result == qErrNone && address != 0 && address != _address)
        setModuleAddress(address);
}

qErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0)
        return qErrParam;
    return discoverAndConnect(type, serialNumber);
}

qErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    _ensureLink();
    qErr result = _link->discoverAndConnect(type, serialNumber, _model);
    _autoNetwork();
    return result;
}

qErr Module::connectFromSpec(linkSpec spec) {
    _ensureLink();
    if (_link->isConnected())
        return qErrBusy;
    qErr result = _link->setLinkSpecifier(spec);
    if (result != qErrNone)
        return result;
    result = _link->connect();
    _autoNetwork();
    return result;
}

qErr Module::connectThroughLinkModule(Module* router) {
    if (!router || router == this)
        return qErrParam;
    _ensureLink();
    linkSpec spec;
    qErr result = router->getLinkSpecifier(&spec);
    if (result == qErrNone)
        result = _link->setLinkSpecifier(spec);
    if (result == qErrNone)
        result = _link->connect();
    if (result == qErrNone)
        _networking = false;
    return result;
}

qErr Module::reconnect() {
    if (!_link)
        return qErrInitialization;
    qErr result = _link->connect();
    _autoNetwork();
    return result;
}

bool Module::isConnected() const {
    return _link && _link->isConnected();
}

int32_t Module::getStatus() const {
    return _link ? _link->getStatus() : 8;
}

qErr Module::disconnect() {
    return _link ? _link->disconnect() : qErrInitialization;
}

qErr Module::getLinkSpecifier(linkSpec* out) const {
    return _link ? _link->getLinkSpecifier(out) : qErrNotReady;
}

qErr Module::enablePacketLog(const char* path) {
    return _link ? _link->enablePacketLog(path) : qErrConfiguration;
}

qErr Module::disablePacketLog() {
    return _link ? _link->disablePacketLog() : qErrConfiguration;
}

// --- module queries --------------------------------------------------------

qErr Module::debug(const uint8_t* data, uint8_t length) {
    if (!isConnected())
        return qErrConnection;
    qErr result = _link->sendPacket(_address, cmdDEBUG, length, data);
    if (result != qErrNone)
        return result;
    const uint8_t match = cmdDEBUG;
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 1;
    result = _link->receivePacket(_address, &match, &replyLength, reply);
    if (result != qErrNone)
        return result;
    if (replyLength != length + 1 || (length && memcmp(reply + 1, data, length) != 0))
        return qErrIO;
    return qErrNone;
}

qErr Module::_describe(const uint8_t* request, uint8_t length, uint8_t* reply,
                       uint8_t* replyLength) {
    if (!isConnected())
        return qErrConnection;
    qErr result = _link->sendPacket(_address, cmdDESCRIBE, length, request);
    if (result != qErrNone)
        return result;
    const uint8_t match = cmdDESCRIBE;
    *replyLength = 1;
    return _link->receivePacket(_address, &match, replyLength, reply);
}

qErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if (flags != 0 && flags != ueiOPTION_GET && flags != ueiOPTION_SET)
        return qErrParam;
    const uint8_t request[] = {describeHasUEI, command, option, index, flags};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t n = 0;
    qErr result = _describe(request, sizeof request, reply, &n);
    if (result != qErrNone)
        return result;
    if (n != 6 || reply[1] != describeHasUEI || reply[2] != command || reply[3] != option ||
        reply[4] != index)
        return qErrUnknown;
    return qErr(reply[5]);
}

qErr Module::classQuantity(uint8_t command, uint8_t* quantity) {
    if (!quantity)
        return qErrParam;
    *quantity = 0;
    const uint8_t request[] = {describeClassQuantity, command};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t n = 0;
    qErr result = _describe(request, sizeof request, reply, &n);
    if (result != qErrNone)
        return result;
    if (n != 4 || reply[1] != describeClassQuantity || reply[2] != command)
        return qErrUnknown;
    *quantity = reply[3];
    return qErrNone;
}

namespace {

qErr indexQuery(uint8_t sub, uint8_t command, uint8_t index, uint8_t* out,
                qErr (*describe)(void*, const uint8_t*, uint8_t, uint8_t*, uint8_t*), void* self) {
    if (!out)
        return qErrParam;
    *out = 0;
    const uint8_t request[] = {sub, command, index};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t n = 0;
    qErr result = describe(self, request, sizeof request, reply, &n);
    if (result != qErrNone)
        return result;
    if (n != 5 || reply[1] != sub || reply[2] != command || reply[3] != index)
        return qErrUnknown;
    *out = reply[4];
    return qErrNone;
}

} // namespace

qErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* quantity) {
    auto describe = [](void* self, const uint8_t* r, uint8_t l, uint8_t* reply, uint8_t* n) {
        return static_cast<Module*>(self)->_describe(r, l, reply, n);
    };
    return indexQuery(describeSubClassQuantity, command, index, quantity, describe, this);
}

qErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    auto describe = [](void* self, const uint8_t* r, uint8_t l, uint8_t* reply, uint8_t* n) {
        return static_cast<Module*>(self)->_describe(r, l, reply, n);
    };
    return indexQuery(describeGroup, command, index, group, describe, this);
}

} // namespace Keystrand
} // namespace Quillmar
