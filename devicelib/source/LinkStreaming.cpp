// Link streaming: stream keys, stream packet recognition and parsing, the
// per-link stream table, subscriptions with the module's acknowledgement, the
// engine filter that feeds the table, and the worker thread that runs the
// callbacks.
//
// Locking: streamMutex guards the stream table. The filter runs on the
// engine's input thread and holds it for its whole run; requests take it on
// the caller's thread. Callbacks never run under it: the filter only pushes
// them onto the single-producer queue that the worker thread drains.
#include <chrono>

#include "LinkPrivate.h"
#include "qTime.h"
#include "qUEI.h"

namespace Quillmar {
namespace Keystrand {

namespace {

constexpr uint8_t WILDCARD = 255;
constexpr uint8_t STREAM_OPTION_ENABLE = 1;
constexpr uint8_t STREAM_OPTION_DISABLE = 2;
constexpr uint8_t STREAM_COMMAND_NEVER = 8;
constexpr int WILDCARD_MASKS = 15;
// How long stopping waits for a worker busy with a callback before leaving
// it to finish on its own.
constexpr auto WORKER_STOP_WAIT = std::chrono::milliseconds(1000);

unsigned keyShift(Link::STREAM_KEY element) {
    switch (element) {
    case Link::STREAM_KEY_MODULE:
        return 24;
    case Link::STREAM_KEY_COMMAND:
        return 16;
    case Link::STREAM_KEY_OPTION:
        return 8;
    case Link::STREAM_KEY_INDEX:
        return 0;
    case Link::STREAM_KEY_SUBINDEX:
    default:
        return 32;
    }
}

uint64_t setElement(uint64_t key, Link::STREAM_KEY element, uint8_t value) {
    unsigned shift = keyShift(element);
    return (key & ~(uint64_t(0xFF) << shift)) | (uint64_t(value) << shift);
}

// Exact data length of a valid sample of each type (0: none).
uint8_t sampleLength(Link::STREAM_PACKET type) {
    static const uint8_t lengths[8] = {0, 14, 15, 17, 0, 15, 16, 18};
    return type >= 0 && type < 8 ? lengths[type] : 0;
}

unsigned valueWidth(Link::STREAM_PACKET type) {
    switch (type) {
    case Link::STREAM_PACKET_U8:
    case Link::STREAM_PACKET_U8_SUBINDEX:
        return 1;
    case Link::STREAM_PACKET_U16:
    case Link::STREAM_PACKET_U16_SUBINDEX:
        return 2;
    default:
        return 4;
    }
}

bool elementMatches(uint8_t argument, uint8_t element) {
    return argument == WILDCARD || argument == element;
}

} // namespace

// --- keys and packets ----------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
    return (uint64_t(subindex) << 32) | (uint64_t(module) << 24) | (uint64_t(command) << 16) |
           (uint64_t(option) << 8) | uint64_t(index);
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
    if (element < STREAM_KEY_MODULE || element > STREAM_KEY_SUBINDEX)
        return 0;
    return uint8_t(key >> keyShift(element));
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
    if (high)
        *high = uint32_t(timestamp >> 32);
    if (low)
        *low = uint32_t(timestamp);
}

bool Link::getStreamPacketType(const qPacket* packet, STREAM_PACKET* type) {
    STREAM_PACKET found = STREAM_PACKET_NONE;
    if (qVALIDPACKET(packet) && packet->length > 4 && packet->length <= qPACKET_MAX_DATA &&
        packet->data[0] != STREAM_COMMAND_NEVER && packet->data[1] < 64 &&
        (packet->data[2] & ueiSPECIFIER_STREAM)) {
        if (packet->data[packet->length - 1] != 0)
            found = STREAM_PACKET_BYTES;
        else if (packet->data[3] >= STREAM_PACKET_U8 &&
                 packet->data[3] <= STREAM_PACKET_U32_SUBINDEX)
            found = STREAM_PACKET(packet->data[3]);
    }
    if (type)
        *type = found;
    return found != STREAM_PACKET_NONE;
}

bool Link::isStreamPacket(const qPacket* packet) {
    return getStreamPacketType(packet, nullptr);
}

bool Link::isSubindexType(STREAM_PACKET type) {
    return type == STREAM_PACKET_U8_SUBINDEX || type == STREAM_PACKET_U16_SUBINDEX ||
           type == STREAM_PACKET_U32_SUBINDEX;
}

bool Link::isStreamSample(const qPacket* packet) {
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type) || type == STREAM_PACKET_BYTES)
        return false;
    return packet->data[packet->length - 1] == 0 && packet->length == sampleLength(type);
}

qErr Link::getStreamSample(const qPacket* packet, uint64_t* timestamp, uint32_t* value,
                           uint8_t* subindex) {
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type))
        return qErrPacket;
    if (type == STREAM_PACKET_BYTES)
        return qErrSize;
    if (type == STREAM_PACKET_NONE)
        return qErrUnknown;
    if (packet->length != sampleLength(type) || packet->data[packet->length - 1] != 0)
        return qErrPacket;
    unsigned offset = 4;
    uint8_t sub = 0;
    if (isSubindexType(type))
        sub = packet->data[offset++];
    const uint8_t* d = packet->data + offset;
    uint64_t stamp = (uint64_t(qUEI_RetrieveInt(d)) << 32) | qUEI_RetrieveInt(d + 4);
    uint32_t v;
    switch (valueWidth(type)) {
    case 1:
        v = d[8];
        break;
    case 2:
        v = qUEI_RetrieveShort(d + 8);
        break;
    default:
        v = qUEI_RetrieveInt(d + 8);
        break;
    }
    if (timestamp)
        *timestamp = stamp;
    if (value)
        *value = v;
    if (subindex)
        *subindex = sub;
    return qErrNone;
}

// --- subscriptions -------------------------------------------------------

qErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        bool enable) {
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(),
                                  nullptr);
}

qErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  bool enable, StreamCallback callback, void* reference) {
    // 0 is no module address either; refusing it here keeps the table free
    // of a subscription that could never be sent.
    if (module == 0 || (module & 1) || module == WILDCARD)
        return qErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, WILDCARD);
    bool empty;
    {
        std::lock_guard<std::mutex> lock(_impl->streamMutex);
        if (enable) {
            StreamEntry& entry = _impl->streams[key];
            entry.key = key;
            entry.callback = std::move(callback);
            entry.reference = reference;
        } else {
            for (uint64_t k :
                 filterActiveStreamKeys(module, command, option, index, WILDCARD, false))
                _impl->streams.erase(k);
        }
        empty = _impl->streams.empty();
    }
    qErr result = empty ? _impl->installStreamFilter(false) : _impl->installStreamFilter(true);
    if (result == qErrNone) {
        uei request{};
        request.module = module;
        request.command = cmdSTREAM;
        request.option =
            uint8_t((enable ? STREAM_OPTION_ENABLE : STREAM_OPTION_DISABLE) | ueiOPTION_SET);
        request.specifier = ueiSPECIFIER_REPLY;
        request.type = ueiTypeInt;
        request.value.intVal = uint32_t(key);
        result = sendUEI(request);
    }
    if (result == qErrNone) {
        uei reply{};
        reply.module = module;
        reply.command = cmdSTREAM;
        reply.option =
            uint8_t((enable ? STREAM_OPTION_ENABLE : STREAM_OPTION_DISABLE) | ueiOPTION_ACK);
        reply.specifier = 0;
        result = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
        if (result == qErrNone && (reply.specifier & ueiSPECIFIER_ERROR))
            result = qErr(reply.value.byteVal);
    }
    if (result != qErrNone) {
        // Never keep a subscription the module did not confirm: not when
        // the machinery could not start, the send failed, or no (or a
        // refusing) acknowledgement came.
        std::lock_guard<std::mutex> lock(_impl->streamMutex);
        for (uint64_t k : filterActiveStreamKeys(module, command, option, index, WILDCARD, false))
            _impl->streams.erase(k);
    }
    return result;
}

qErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming) {
    if (!streaming)
        return qErrParam;
    uei request{};
    request.module = module;
    request.command = cmdSTREAM;
    request.option = STREAM_OPTION_ENABLE | ueiOPTION_GET;
    request.specifier = ueiSPECIFIER_REPLY;
    request.type = ueiTypeVoid;
    qErr result = sendUEI(request);
    if (result != qErrNone)
        return result;
    uei reply{};
    reply.module = module;
    reply.command = cmdSTREAM;
    reply.option = STREAM_OPTION_ENABLE;
    reply.specifier = 0;
    reply.type = ueiTypeVoid;
    result = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
    if (result != qErrNone)
        return result;
    if (reply.specifier & ueiSPECIFIER_ERROR)
        return qErr(reply.value.byteVal);
    if (reply.type != ueiTypeByte)
        return qErrUnknown;
    *streaming = reply.value.byteVal;
    return qErrNone;
}

// --- the table -----------------------------------------------------------

qErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
    if (!value)
        return qErrParam;
    std::lock_guard<std::mutex> lock(_impl->streamMutex);
    auto it = _impl->streams.find(createStreamKey(module, command, option, index, subindex));
    if (it == _impl->streams.end())
        return qErrNotFound;
    *value = it->second.lastValue;
    if (it->second.valuePresent) {
        it->second.valuePresent = 0;
        return qErrNone;
    }
    return qErrStreamStale;
}

std::list<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                 uint8_t index, uint8_t subindex, bool lock) {
    std::unique_lock<std::mutex> guard(_impl->streamMutex, std::defer_lock);
    if (lock)
        guard.lock();
    std::list<uint64_t> keys;
    for (const auto& item : _impl->streams) {
        uint64_t k = item.first;
        if (elementMatches(module, getStreamKeyElement(k, STREAM_KEY_MODULE)) &&
            elementMatches(command, getStreamKeyElement(k, STREAM_KEY_COMMAND)) &&
            elementMatches(option, getStreamKeyElement(k, STREAM_KEY_OPTION)) &&
            elementMatches(index, getStreamKeyElement(k, STREAM_KEY_INDEX)) &&
            elementMatches(subindex, getStreamKeyElement(k, STREAM_KEY_SUBINDEX)))
            keys.push_back(k);
    }
    return keys;
}

qErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, std::map<uint64_t, uint32_t>* status) {
    if (!status)
        return qErrParam;
    status->clear();
    std::lock_guard<std::mutex> lock(_impl->streamMutex);
    for (uint64_t k : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
        bool wildcard = false;
        for (int e = STREAM_KEY_MODULE; e <= STREAM_KEY_SUBINDEX; ++e)
            wildcard = wildcard || getStreamKeyElement(k, STREAM_KEY(e)) == WILDCARD;
        if (!wildcard)
            (*status)[k] = _impl->streams[k].lastValue;
    }
    return qErrNone;
}

// --- the filter (engine input thread) ------------------------------------

bool Link::linkStreamFilter(const qPacket* packet, void* linkState) {
    STREAM_PACKET type;
    if (!linkState || !getStreamPacketType(packet, &type))
        return false;
    impl* state = static_cast<impl*>(linkState);
    const uint8_t subindex = isSubindexType(type) ? packet->data[4] : 0;
    const uint64_t key =
        createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                        packet->data[2] & ueiSPECIFIER_INDEX_MASK, subindex);
    uint32_t value = 0;
    std::lock_guard<std::mutex> lock(state->streamMutex);
    auto exact = state->streams.find(key);
    if (exact != state->streams.end()) {
        state->queueAsyncCallback(exact->second, packet);
        if (getStreamSample(packet, nullptr, &value, nullptr) == qErrNone) {
            exact->second.lastValue = value;
            exact->second.valuePresent = 1;
        }
    }
    bool wildcardMatched = false;
    for (int mask = 0; mask < WILDCARD_MASKS; ++mask) {
        const unsigned bits = unsigned(mask + 1);
        uint64_t k = key;
        if (bits & 1)
            k = setElement(k, STREAM_KEY_INDEX, WILDCARD);
        if (bits & 2)
            k = setElement(k, STREAM_KEY_OPTION, WILDCARD);
        if (bits & 4)
            k = setElement(k, STREAM_KEY_COMMAND, WILDCARD);
        if (bits & 8)
            k = setElement(k, STREAM_KEY_SUBINDEX, WILDCARD);
        auto it = state->streams.find(k);
        if (it != state->streams.end()) {
            state->queueAsyncCallback(it->second, packet);
            wildcardMatched = true;
        }
    }
    if (exact == state->streams.end() && wildcardMatched &&
        getStreamSample(packet, nullptr, &value, nullptr) == qErrNone) {
        StreamEntry& entry = state->streams[key];
        entry.key = key;
        entry.lastValue = value;
        entry.valuePresent = 1;
    }
    return true;
}

// --- machinery -----------------------------------------------------------

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const qPacket* packet) {
    if (!entry.callback)
        return;
    qPacket* copy = qPacket_Copy(packet);
    if (!copy)
        return;
    // A full queue drops the event; the item releases its copy.
    channel->queue.push(asyncPacket(entry.callback, entry.reference, copy));
}

void Link::impl::asyncWork(std::shared_ptr<AsyncChannel> channel, std::future<void> stop) {
    auto stopped = [&stop] {
        return stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready;
    };
    while (!stopped()) {
        asyncPacket item;
        while (channel->queue.pop(&item)) {
            // A stop that came meanwhile ends delivery at once: the caller
            // may be about to release what the callbacks refer to.
            if (stopped())
                break;
            if (item.callback)
                (void)item.callback(item.packet, item.reference); // the subscriber's own affair
            item.release();
        }
        (void)qTime_MSSleep(1);
    }
    channel->done.set_value();
}

qErr Link::impl::installStreamFilter(bool on) {
    if (!linkId)
        return qErrConfiguration;
    if (on) {
        if (!filterInstalled) {
            qErr result = qLink_InstallUserPacketFilter(linkId, &Link::linkStreamFilter, this);
            if (result != qErrNone)
                return result;
            filterInstalled = true;
        }
        if (!worker) {
            try {
                worker = new std::thread(asyncWork, channel, channel->stop.get_future());
            } catch (...) {
                // The stop signal's future is spent: a new channel, once
                // the filter that uses the old one is gone.
                worker = nullptr;
                (void)qLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
                filterInstalled = false;
                channel = std::make_shared<AsyncChannel>();
                return qErrResource;
            }
        }
        return qErrNone;
    }
    if (filterInstalled) {
        (void)qLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
        filterInstalled = false;
    }
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        streams.clear();
    }
    stopWorker();
    return qErrNone;
}

void Link::impl::stopWorker() {
    if (!worker)
        return;
    std::shared_ptr<AsyncChannel> old = channel;
    old->stop.set_value();
    const bool self = worker->get_id() == std::this_thread::get_id();
    worker->detach();
    delete worker;
    worker = nullptr;
    channel = std::make_shared<AsyncChannel>();
    // Give a worker that is inside a callback the time to finish it, so that
    // no callback runs once the Link is gone; a callback that stops its own
    // Link cannot wait for itself.
    if (!self)
        old->doneFuture.wait_for(WORKER_STOP_WAIT);
}

} // namespace Keystrand
} // namespace Quillmar
