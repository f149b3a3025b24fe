// Link object: identity, connection, plain packets, UEI messages and the
// packet log. Streaming is in LinkStreaming.cpp, store slots and factory
// data in LinkStore.cpp.
#include <cstring>

#include "LinkPrivate.h"
#include "qStream.h"
#include "qTime.h"
#include "qUEI.h"

#include "qFile.h"

namespace Quillmar {
namespace Keystrand {

namespace {

// Connect waits for a starting link: 200 polls 10 ms apart.
constexpr int CONNECT_POLLS = 200;
constexpr unsigned long CONNECT_POLL_MS = 10;
// Packet log records read at once, and the pause when there is none.
constexpr uint32_t LOG_RECORD_MAX = 64;
constexpr unsigned long LOG_IDLE_MS = 5;
constexpr uint8_t LOG_TYPE_SENT = 1;
constexpr uint8_t LOG_TYPE_TEXT = 3;

char* copyName(const char* name) {
    if (!name)
        return nullptr;
    size_t n = strnlen(name, LINK_NAME_MAX);
    char* copy = new char[n + 1];
    memcpy(copy, name, n);
    copy[n] = '\0';
    return copy;
}

struct MatchContext {
    const uint8_t* match;
    uint8_t count;
};

bool matchFilter(const qPacket* packet, const void* ref) {
    const MatchContext* m = static_cast<const MatchContext*>(ref);
    return packet->length >= m->count && memcmp(packet->data, m->match, m->count) == 0;
}

bool emptyPacketFilter(const qPacket* packet, const void*) {
    return packet->length == 0;
}

// Appends the value of `message` by type; false for a type that cannot be
// sent in one packet.
bool appendScalar(const uei& message, uint8_t* data, uint8_t* length) {
    switch (message.type) {
    case ueiTypeVoid:
        return true;
    case ueiTypeByte:
        data[(*length)++] = message.value.byteVal;
        return true;
    case ueiTypeShort:
        qUEI_StoreShort(data + *length, message.value.shortVal);
        *length += 2;
        return true;
    case ueiTypeInt:
        qUEI_StoreInt(data + *length, message.value.intVal);
        *length += 4;
        return true;
    default:
        return false;
    }
}

} // namespace

bool linkValidModule(uint8_t module) {
    return module != 0 && (module & 1) == 0;
}

qErr linkPut(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* data) {
    qPacket* packet = qPacket_CreateWithData(address, length, data);
    if (!packet)
        return qErrResource;
    qErr result = qLink_PutPacket(linkId, packet);
    (void)qPacket_Destroy(&packet);
    return result;
}

bool linkUEIFilter(const qPacket* packet, const void* context) {
    uei* message = static_cast<uei*>(const_cast<void*>(context));
    if (packet->address != message->module || packet->length <= 2)
        return false;
    if (packet->data[0] != message->command || packet->data[1] != message->option)
        return false;
    if ((packet->data[2] & ueiSPECIFIER_INDEX_MASK) != message->specifier)
        return false;
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        message->specifier = packet->data[2];
        message->value.byteVal = packet->length > 3 ? packet->data[3] : uint8_t(qErrUnknown);
        return true;
    }
    switch (packet->length) {
    case 3:
        message->type = ueiTypeVoid;
        break;
    case 4:
        message->type = ueiTypeByte;
        message->value.byteVal = packet->data[3];
        break;
    case 5:
        message->type = ueiTypeShort;
        message->value.shortVal = qUEI_RetrieveShort(packet->data + 3);
        break;
    case 7:
        message->type = ueiTypeInt;
        message->value.intVal = qUEI_RetrieveInt(packet->data + 3);
        break;
    default:
        break;
    }
    return true;
}

// --- construction --------------------------------------------------------

Link::impl::impl(Link& o, const char* n)
    : owner(o), channel(std::make_shared<AsyncChannel>()), name(copyName(n)) {}

Link::impl::~impl() {
    delete[] name;
    if (spec)
        (void)qLinkSpec_Destroy(&spec);
}

Link::Link(const char* name) : _impl(new impl(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name) {
    _impl->spec = qLinkSpec_Copy(spec);
}

Link::~Link() {
    // Only our own filter is removed: an engine link shared with other Links
    // (a router's) may carry theirs.
    if (_impl->linkId && _impl->filterInstalled)
        (void)_impl->installStreamFilter(false);
    _impl->stopWorker();
    if (_impl->linkId)
        (void)qLink_Destroy(&_impl->linkId);
    if (_impl->logger)
        (void)qLogger_Destroy(&_impl->logger);
}

const char* Link::getName() const {
    return _impl->name;
}

qErr Link::getLinkSpecifier(linkSpec* out) const {
    if (!out)
        return qErrParam;
    if (!_impl->spec)
        return qErrNotFound;
    *out = *_impl->spec;
    return qErrNone;
}

qErr Link::setLinkSpecifier(linkSpec spec) {
    if (isConnected())
        return qErrBusy;
    linkSpec* copy = qLinkSpec_Copy(spec);
    if (!copy)
        return qErrMemory;
    if (_impl->spec)
        (void)qLinkSpec_Destroy(&_impl->spec);
    _impl->spec = copy;
    return qErrNone;
}

// --- connection ----------------------------------------------------------

namespace {

// Why no reply came: the link failed (a read or a packet write, which the
// engine reports at once) or the module did not answer in time.
qErr missingReply(uint32_t linkId) {
    const int32_t status = qLink_GetStatus(linkId);
    return status == qLinkStatusIOError || status == qLinkStatusNoStream ? qErrConnection
                                                                         : qErrTimeout;
}

struct ModelSearch {
    linkSpec* found;
    uint8_t model;
};

bool modelCallback(const linkSpec* spec, bool* success, void* ref) {
    ModelSearch* search = static_cast<ModelSearch*>(ref);
    if (search->model != 0 && spec->modelCode != search->model)
        return true;
    *search->found = *spec;
    *success = true;
    return false;
}

// Why a module that discovery did not report cannot be opened: a transport
// that opens a module by its serial number alone (USB) is asked, so that a
// module claimed by another program or closed to this user is told from one
// that is absent. The link made when it opens after all is kept.
qErr openUnreported(linkType type, uint32_t serialNumber, uint32_t* linkId) {
    linkSpec spec{};
    spec.transport = type;
    spec.serialNumber = serialNumber;
    spec.link.usb.usbSerial = serialNumber;
    qErr e = qLink_Open(&spec, linkId);
    return e == qErrParam ? qErrNotFound : e;
}

} // namespace

qErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = qDiscovery_FindModule(type, serialNumber);
    } else {
        found = qLinkSpec_Create(type);
        if (found) {
            found->serialNumber = 0;
            found->moduleAddress = 0;
            found->routerAddress = 0;
            found->modelCode = model;
            ModelSearch search{found, model};
            if (qDiscovery_EnumerateModules(type, modelCallback, &search) == 0)
                (void)qLinkSpec_Destroy(&found);
        }
    }
    if (!found && serialNumber != 0 && _impl->linkId == 0) {
        uint32_t id = 0;
        qErr e = openUnreported(type, serialNumber, &id);
        if (e != qErrNone)
            return e;
        linkSpec spec{};
        spec.transport = type;
        spec.serialNumber = serialNumber;
        spec.link.usb.usbSerial = serialNumber;
        qErr set = setLinkSpecifier(spec);
        if (set != qErrNone) {
            (void)qLink_Destroy(&id); // the link this Link could not keep
            return set;
        }
        _impl->linkId = id;
        return connect();
    }
    if (!found)
        return qErrNotFound;
    qErr set = setLinkSpecifier(*found);
    (void)qLinkSpec_Destroy(&found);
    return set == qErrNone ? connect() : set;
}

qErr Link::connect() {
    if (_impl->linkId == 0) {
        if (!_impl->spec)
            return qErrConfiguration;
        qErr opened = qLink_Open(_impl->spec, &_impl->linkId);
        if (opened != qErrNone)
            return opened == qErrParam ? qErrConnection : opened;
    }
    int32_t status = qLink_GetStatus(_impl->linkId);
    switch (status) {
    case qLinkStatusStopped:
    case qLinkStatusStarting:
    case qLinkStatusSyncing:
        for (int i = 0; i < CONNECT_POLLS && status != qLinkStatusRunning; ++i) {
            if (qStream_OpensInterrupted())
                return qErrCancel;
            (void)qTime_MSSleep(CONNECT_POLL_MS);
            status = qLink_GetStatus(_impl->linkId);
        }
        if (status == qLinkStatusRunning)
            return qErrNone;
        // Still starting or syncing: the module never answered the link start.
        return status == qLinkStatusStarting || status == qLinkStatusSyncing ||
                       status == qLinkStatusStopped
                   ? qErrTimeout
                   : qErrConnection;
    case qLinkStatusRunning:
        return qErrNone;
    case qLinkStatusStopping:
        return qErrBusy;
    case qLinkStatusIOError:
    case qLinkStatusNoStream:
    case qLinkStatusPacketError:
        return qErrConnection;
    default:
        return qErrDuplicate;
    }
}

bool Link::isConnected() const {
    if (_impl->linkId == 0)
        return false;
    int32_t status = qLink_GetStatus(_impl->linkId);
    return status == qLinkStatusStarting || status == qLinkStatusRunning;
}

int32_t Link::getStatus() const {
    return _impl->linkId ? qLink_GetStatus(_impl->linkId) : qLinkStatusPacketError;
}

qErr Link::disconnect() {
    if (_impl->linkId) {
        // The engine link may live on for other users (a router's link):
        // our filter must not stay installed with a reference to us.
        if (_impl->filterInstalled)
            (void)_impl->installStreamFilter(false);
        (void)qLink_Destroy(&_impl->linkId);
    }
    return qErrNone;
}

qErr Link::reset() {
    qErr result = qErrNone;
    if (_impl->linkId) {
        result = qLink_Reset(_impl->linkId);
        // A reset clears the engine's user filter, so the worker has nothing
        // left to deliver; the next subscription installs both again.
        if (_impl->filterInstalled) {
            _impl->filterInstalled = false;
            _impl->stopWorker();
        }
    }
    return result;
}

qErr Link::getModuleAddress(uint8_t* address) {
    if (!address)
        return qErrParam;
    *address = 0;
    if (!isConnected())
        return qErrNotReady;
    if (linkPut(_impl->linkId, ueiADDRESS_QUERY, 0, nullptr) != qErrNone)
        return qErrNotReady;
    qPacket* reply =
        qLink_AwaitFirst(_impl->linkId, emptyPacketFilter, nullptr, LINK_REPLY_WAIT_MS);
    if (!reply)
        return qErrNotReady;
    *address = reply->address;
    (void)qPacket_Destroy(&reply);
    return qErrNone;
}

// --- plain packets -------------------------------------------------------

qErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!isConnected())
        return qErrConnection;
    if (length > qPACKET_MAX_DATA - 1 || (length && !data))
        return qErrParam;
    if (!linkValidModule(module))
        return qErrPacket;
    uint8_t buffer[qPACKET_MAX_DATA];
    buffer[0] = command;
    if (length)
        memcpy(buffer + 1, data, length);
    return linkPut(_impl->linkId, module, uint8_t(length + 1), buffer);
}

qErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!isConnected())
        return qErrConnection;
    if (!linkValidModule(module))
        return qErrPacket;
    if (!length || !data || *length > qPACKET_MAX_DATA || (*length && !match))
        return qErrParam;
    MatchContext context{match, *length};
    qPacket* reply = qLink_AwaitFirst(_impl->linkId, matchFilter, &context, LINK_REPLY_WAIT_MS);
    if (!reply)
        return missingReply(_impl->linkId);
    *length = reply->length;
    memcpy(data, reply->data, reply->length);
    (void)qPacket_Destroy(&reply);
    return qErrNone;
}

// --- UEI messages --------------------------------------------------------

qErr Link::sendUEI(uei message) {
    if (!isConnected())
        return qErrConnection;
    if (!linkValidModule(message.module))
        return qErrPacket;
    uint8_t data[qPACKET_MAX_DATA] = {message.command, message.option, message.specifier};
    uint8_t length = 3;
    if (message.type != ueiTypeBytes) {
        if (!appendScalar(message, data, &length))
            return qErrParam;
        return linkPut(_impl->linkId, message.module, length, data);
    }
    const uint8_t* bytes = message.value.bufPtr;
    if (message.length && !bytes)
        return qErrParam;
    size_t offset = 0;
    uint8_t counter = 0;
    qErr result = qErrNone;
    for (;;) {
        size_t chunk = message.length - offset;
        if (chunk > size_t(ueiBYTES_CHUNK))
            chunk = ueiBYTES_CHUNK;
        bool more = offset + chunk < message.length;
        if (chunk)
            memcpy(data + 3, bytes + offset, chunk);
        data[3 + chunk] = uint8_t((counter & 0x7F) | (more ? 0x80 : 0));
        result = linkPut(_impl->linkId, message.module, uint8_t(chunk + 4), data);
        ++counter;
        offset += chunk;
        if (!more || result != qErrNone)
            return result;
    }
}

qErr Link::sendUEI(uei message, uint8_t subindex) {
    if (!isConnected())
        return qErrConnection;
    if (!linkValidModule(message.module))
        return qErrPacket;
    uint8_t data[qPACKET_MAX_DATA] = {message.command, message.option, message.specifier, subindex};
    uint8_t length = 4;
    if (!appendScalar(message, data, &length))
        return qErrParam;
    return linkPut(_impl->linkId, message.module, length, data);
}

qErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* message) {
    return receiveUEI(module, command, option, specifier, message, linkUEIFilter);
}

qErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* message,
                      ueiPacketFilter filter) {
    if (!isConnected())
        return qErrConnection;
    if (!linkValidModule(module))
        return qErrPacket;
    if (!message || !filter)
        return qErrParam;
    qPacket* reply = qLink_AwaitFirst(_impl->linkId, filter, message, LINK_REPLY_WAIT_MS);
    if (!reply)
        return missingReply(_impl->linkId);
    (void)qPacket_Destroy(&reply);
    return qErrNone;
}

qErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option,
                                  uint8_t specifier) {
    if (!isConnected())
        return qErrConnection;
    if (!linkValidModule(module))
        return qErrPacket;
    uei context{};
    context.module = module;
    context.command = command;
    context.option = option;
    context.specifier = specifier;
    qLink_DrainPackets(_impl->linkId, linkUEIFilter, &context);
    return qErrNone;
}

// --- packet log ----------------------------------------------------------

void Link::impl::readDebugBuffer(void* file, uint32_t linkId) {
    int32_t type = 0;
    uint32_t length = LOG_RECORD_MAX;
    uint8_t data[LOG_RECORD_MAX];
    qErr result = qLink_PacketDebug_Read(linkId, &type, &length, data);
    if (result != qErrNone) {
        // Nothing recorded (or a record we cannot take): do not spin.
        (void)qTime_MSSleep(LOG_IDLE_MS);
        return;
    }
    qUnixFile* out = static_cast<qUnixFile*>(file);
    (void)qFile_Printf(out, "%d %s ", int(length), type == LOG_TYPE_SENT ? ">" : "<");
    for (uint32_t i = 0; i < length && i < LOG_RECORD_MAX; ++i) {
        if (type == LOG_TYPE_TEXT)
            (void)qFile_Printf(out, "%c", data[i]);
        else
            (void)qFile_Printf(out, "0x%X ", data[i]);
    }
    (void)qFile_Printf(out, "\r\n");
}

qErr Link::enablePacketLog(const char* path) {
    if (!_impl->linkId)
        return qErrConfiguration;
    if (!path)
        return qErrParam;
    qErr result = qLink_PacketDebug_Enable(_impl->linkId);
    if (result != qErrNone)
        return result;
    // A logger made for an earlier engine link (before a disconnect) would
    // read a link that is gone and write nothing: make it anew.
    if (_impl->logger && _impl->loggerLinkId != _impl->linkId)
        (void)qLogger_Destroy(&_impl->logger);
    if (!_impl->logger) {
        _impl->logger = qLogger_Create(_impl->linkId, impl::readDebugBuffer, path);
        if (!_impl->logger)
            return qErrResource;
        _impl->loggerLinkId = _impl->linkId;
    }
    result = qLogger_Enable(_impl->logger);
    if (result == qErrNone) {
        static const uint8_t start[] = "START";
        result = qLink_PacketDebug_Write(_impl->linkId, LOG_TYPE_TEXT, sizeof start, start);
    }
    return result;
}

qErr Link::disablePacketLog() {
    if (!_impl->linkId)
        return qErrConfiguration;
    (void)qLink_PacketDebug_Disable(_impl->linkId);
    return _impl->logger ? qLogger_Disable(_impl->logger) : qErrNone;
}

} // namespace Keystrand
} // namespace Quillmar
