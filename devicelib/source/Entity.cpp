// Entities: UEI get, set and call of one entity's options, typed shortcuts,
// multi-packet byte values and the stream forwards.
#include "Entity.h"

#include <cstring>

#include "LinkPrivate.h"

namespace Quillmar {
namespace Keystrand {

struct EntityClass::impl {
    explicit impl(EntityClass& o) : owner(o) {}
    EntityClass& owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }
};

namespace {

constexpr uint8_t WILDCARD = 255;

// The value of a reply (or cached value), whatever width it came in.
uint32_t valueOf(const uei& message) {
    switch (message.type) {
    case ueiTypeByte:
        return message.value.byteVal;
    case ueiTypeShort:
        return message.value.shortVal;
    case ueiTypeVoid:
        return 0;
    default:
        return message.value.intVal;
    }
}

uei makeMessage(ueiType type) {
    uei m{};
    m.type = type;
    return m;
}

} // namespace

// The multi-packet filter; context is the uei record of the transfer.
bool entityBytesFilter(const qPacket* packet, const void* context) {
    uei* m = static_cast<uei*>(const_cast<void*>(context));
    if (packet->address != m->module || packet->length <= 2)
        return false;
    if (packet->data[0] != m->command || packet->data[1] != m->option ||
        (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != m->specifier)
        return false;
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        m->specifier = packet->data[2];
        m->value.byteVal = packet->length > 3 ? packet->data[3] : uint8_t(qErrUnknown);
        return true;
    }
    const uint8_t sequence = packet->data[packet->length - 1];
    if ((sequence & 0x7F) != (m->sequence & 0x7F))
        return false;
    const size_t payload = packet->length >= 4 ? size_t(packet->length - 4) : 0;
    if (*m->received + payload > m->length) {
        m->specifier = uint8_t(m->specifier | ueiSPECIFIER_ERROR);
        m->value.byteVal = qErrMemory;
        return true;
    }
    memcpy(m->value.bufPtr, packet->data + 3, payload);
    m->value.bufPtr += payload;
    *m->received += payload;
    m->sequence = sequence;
    return true;
}

EntityClass::EntityClass() : _impl(new impl(*this)) {}
EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    _impl->module = module;
    _impl->command = command;
    _impl->index = index;
}

uint8_t EntityClass::getIndex() const {
    return _impl->index;
}
Module* EntityClass::module() const {
    return _impl->module;
}
uint8_t EntityClass::command() const {
    return _impl->command;
}

qErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    return link->sendPacket(_impl->module->getModuleAddress(), command, length, data);
}

qErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    return link->receivePacket(_impl->module->getModuleAddress(), match, length, data);
}

// --- UEI exchanges -------------------------------------------------------

qErr EntityClass::getUEI(uint8_t option, uei* message) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    if (!message)
        return qErrParam;
    const uint8_t address = _impl->module->getModuleAddress();
    const uint8_t subindex = message->type == ueiTypeByte ? message->value.byteVal : 0;
    uint32_t cached = 0;
    qErr result =
        link->getStreamValue(address, _impl->command, option, _impl->index, subindex, &cached);
    if (result != qErrNotFound) {
        if (result == qErrNone || result == qErrStreamStale) {
            message->type = ueiTypeInt;
            message->value.intVal = cached;
        }
        return result;
    }
    message->module = address;
    message->command = _impl->command;
    message->option = uint8_t(option + ueiOPTION_GET);
    message->specifier = uint8_t(_impl->index + ueiSPECIFIER_REPLY);
    result = link->sendUEI(*message);
    if (result != qErrNone)
        return result;
    message->option = option;
    message->specifier = _impl->index;
    result =
        link->receiveUEI(address, message->command, message->option, message->specifier, message);
    if (result == qErrNone && (message->specifier & ueiSPECIFIER_ERROR))
        return qErr(message->value.byteVal);
    return result;
}

qErr EntityClass::_exchange(uint8_t option, uei* message, bool hasSubindex, uint8_t subindex) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    if (!message)
        return qErrParam;
    const uint8_t address = _impl->module->getModuleAddress();
    message->module = address;
    message->command = _impl->command;
    message->option = uint8_t(option + ueiOPTION_SET);
    message->specifier = uint8_t(_impl->index + ueiSPECIFIER_REPLY);
    qErr result = hasSubindex ? link->sendUEI(*message, subindex) : link->sendUEI(*message);
    if (result != qErrNone)
        return result;
    message->option = uint8_t(option + ueiOPTION_ACK);
    message->specifier = _impl->index;
    result =
        link->receiveUEI(address, message->command, message->option, message->specifier, message);
    if (result == qErrNone && (message->specifier & ueiSPECIFIER_ERROR))
        return qErr(message->value.byteVal);
    return result;
}

qErr EntityClass::setUEI(uint8_t option, uei* message) {
    return _exchange(option, message, false, 0);
}

qErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* message) {
    return _exchange(option, message, true, subindex);
}

qErr EntityClass::callUEI(uint8_t option) {
    uei m = makeMessage(ueiTypeVoid);
    return setUEI(option, &m);
}

qErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei m = makeMessage(ueiTypeByte);
    m.value.byteVal = value;
    return setUEI(option, &m);
}

qErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei m = makeMessage(ueiTypeByte);
    m.value.byteVal = value;
    return setUEI(option, subindex, &m);
}

qErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei m = makeMessage(ueiTypeShort);
    m.value.shortVal = value;
    return setUEI(option, &m);
}

qErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei m = makeMessage(ueiTypeInt);
    m.value.intVal = value;
    return setUEI(option, &m);
}

qErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei m = makeMessage(ueiTypeInt);
    m.value.intVal = value;
    return setUEI(option, subindex, &m);
}

namespace {

// Runs a typed get; stores the value for a fresh and for an outdated one.
template <typename T, typename Get>
qErr typedGet(T* out, bool hasSubindex, uint8_t subindex, Get get) {
    if (!out)
        return qErrParam;
    uei m = makeMessage(hasSubindex ? ueiTypeByte : ueiTypeVoid);
    if (hasSubindex)
        m.value.byteVal = subindex;
    qErr result = get(&m);
    if (result == qErrNone || result == qErrStreamStale)
        *out = T(valueOf(m));
    return result;
}

} // namespace

qErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    return typedGet(value, false, 0, [&](uei* m) { return getUEI(option, m); });
}

qErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
    return typedGet(value, true, subindex, [&](uei* m) { return getUEI(option, m); });
}

qErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    return typedGet(value, false, 0, [&](uei* m) { return getUEI(option, m); });
}

qErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
    return typedGet(value, true, subindex, [&](uei* m) { return getUEI(option, m); });
}

qErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    return typedGet(value, false, 0, [&](uei* m) { return getUEI(option, m); });
}

qErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
    return typedGet(value, true, subindex, [&](uei* m) { return getUEI(option, m); });
}

// --- byte values -----------------------------------------------------------

qErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (length && !data)
        return qErrParam;
    uei m = makeMessage(ueiTypeBytes);
    m.value.bufPtr = const_cast<uint8_t*>(data); // only read when sending
    m.length = length;
    return setUEI(option, &m);
}

qErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received) {
    if (!buffer || !received || capacity == 0)
        return qErrParam;
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    const uint8_t address = _impl->module->getModuleAddress();
    uei request = makeMessage(ueiTypeVoid);
    request.module = address;
    request.command = _impl->command;
    request.option = uint8_t(option + ueiOPTION_GET);
    request.specifier = uint8_t(_impl->index + ueiSPECIFIER_REPLY);
    qErr result = link->sendUEI(request);
    if (result != qErrNone)
        return result;

    uei context = makeMessage(ueiTypeBytes);
    context.module = address;
    context.command = _impl->command;
    context.option = option;
    context.specifier = _impl->index;
    context.sequence = 0;
    context.value.bufPtr = buffer;
    context.length = capacity;
    context.received = received;
    // A module that keeps sending empty continuation packets is cut off:
    // no honest transfer needs more packets than it has bytes, plus one.
    for (size_t packets = 0; packets <= capacity; ++packets) {
        result = link->receiveUEI(address, context.command, context.option, context.specifier,
                                  &context, entityBytesFilter);
        if (result != qErrNone)
            return result;
        if (context.specifier & ueiSPECIFIER_ERROR)
            return qErr(context.value.byteVal);
        if (!(context.sequence & 0x80))
            return qErrNone;
        context.sequence = uint8_t(context.sequence + 1);
    }
    return qErrMemory;
}

qErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
    if (!count)
        return qErrParam;
    if (unit == 0 || *count % unit != 0)
        return qErrMemory;
    *count /= unit;
    return qErrNone;
}

qErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
    if (!value)
        return qErrParam;
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    uei m = makeMessage(ueiTypeVoid);
    m.module = _impl->module->getModuleAddress();
    m.command = _impl->command;
    m.option = option;
    m.specifier = _impl->index;
    qErr result = link->receiveUEI(m.module, m.command, m.option, m.specifier, &m);
    if (result != qErrNone)
        return result;
    if (m.specifier & ueiSPECIFIER_ERROR)
        return qErr(m.value.byteVal);
    *value = valueOf(m);
    return qErrNone;
}

qErr EntityClass::drainUEI(uint8_t option) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    return link->dropMatchingUEIPackets(_impl->module->getModuleAddress(), _impl->command, option,
                                        _impl->index);
}

// --- streams ---------------------------------------------------------------

qErr EntityClass::setStreamEnabled(bool enabled) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    return link->enableStream(_impl->module->getModuleAddress(), _impl->command, WILDCARD,
                              _impl->index, enabled);
}

qErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback,
                                         void* reference) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    return link->registerStreamCallback(_impl->module->getModuleAddress(), _impl->command, option,
                                        _impl->index, enable, std::move(callback), reference);
}

qErr EntityClass::getStreamStatus(std::map<uint64_t, uint32_t>* status) {
    Link* link = _impl->link();
    if (!link)
        return qErrResource;
    return link->getStreamStatus(_impl->module->getModuleAddress(), _impl->command, WILDCARD,
                                 _impl->index, WILDCARD, status);
}

} // namespace Keystrand
} // namespace Quillmar
