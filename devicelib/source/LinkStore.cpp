// Store slots (cmdSLOT) and factory data (cmdFACTORY): two small
// request/reply protocols over the link. Replies are taken from the link's
// receive queue by content; the Link keeps no state of them between calls.
//
// A missing reply is always qErrTimeout, also for the size, capacity and
// close requests: a size that never came is no size, and a close that was
// never confirmed is no finished transfer.
#include <cstring>

#include "LinkPrivate.h"
#include "qUEI.h"

namespace Quillmar {
namespace Keystrand {

namespace {

enum : uint8_t {
    slotCapacity = 1,
    slotSize = 2,
    slotOpenRead = 3,
    slotOpenWrite = 4,
    slotRead = 6,
    slotWrite = 7,
    slotClose = 8,
};
constexpr uint8_t SLOT_ERROR = 0x80;
constexpr uint8_t SLOT_BAD_HANDLE = 255;
constexpr size_t SLOT_CHUNK = 25;
constexpr unsigned long SLOT_OPEN_WAIT_MS = 3000;

constexpr size_t COMMAND_OVERHEAD = 2;
constexpr uint8_t FACTORY_FIRST = 0x40;
constexpr uint8_t FACTORY_CLOSE = 0x20;
constexpr uint8_t FACTORY_SET = 0x10;
constexpr uint8_t FACTORY_ERROR = 0x80;
constexpr size_t FACTORY_CHUNK = qPACKET_MAX_DATA - COMMAND_OVERHEAD;

struct SlotMatch {
    uint8_t sub;
    uint8_t a; // store (1..4) or handle (5..8)
    uint8_t b; // slot (1..4)
};

bool slotFilter(const qPacket* p, const void* ref) {
    const SlotMatch* m = static_cast<const SlotMatch*>(ref);
    if (p->length <= 3 || p->data[0] != cmdSLOT || (p->data[1] & 0x7F) != m->sub)
        return false;
    if (m->sub <= slotOpenWrite)
        return p->data[2] == m->a && p->data[3] == m->b;
    return p->data[2] == m->a;
}

bool slotIsError(const qPacket* p) {
    return (p->data[1] & SLOT_ERROR) != 0;
}

// Sends a slot request and waits for its reply; null reply on time-out.
qErr slotExchange(uint32_t linkId, uint8_t module, const uint8_t* data, uint8_t length,
                  const SlotMatch& match, unsigned long waitMs, qPacket** reply) {
    *reply = nullptr;
    qErr result = linkPut(linkId, module, length, data);
    if (result != qErrNone)
        return result;
    *reply = qLink_AwaitFirst(linkId, slotFilter, &match, waitMs);
    return *reply ? qErrNone : qErrTimeout;
}

// The size or capacity query.
qErr slotQuery(uint32_t linkId, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot,
               size_t* out) {
    if (!out)
        return qErrParam;
    const uint8_t request[] = {cmdSLOT, sub, store, slot};
    qPacket* reply = nullptr;
    qErr result = slotExchange(linkId, module, request, sizeof request, SlotMatch{sub, store, slot},
                               LINK_REPLY_WAIT_MS, &reply);
    if (result != qErrNone)
        return result;
    if (slotIsError(reply))
        result = qErr(reply->data[4]);
    else if (reply->length == 6)
        *out = qUEI_RetrieveShort(reply->data + 4);
    else
        result = qErrUnknown;
    (void)qPacket_Destroy(&reply);
    return result;
}

uint8_t slotOpen(uint32_t linkId, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot) {
    const uint8_t request[] = {cmdSLOT, sub, store, slot};
    qPacket* reply = nullptr;
    if (slotExchange(linkId, module, request, sizeof request, SlotMatch{sub, store, slot},
                     SLOT_OPEN_WAIT_MS, &reply) != qErrNone)
        return SLOT_BAD_HANDLE;
    uint8_t handle = (reply->length <= 3 || slotIsError(reply)) ? SLOT_BAD_HANDLE : reply->data[4];
    (void)qPacket_Destroy(&reply);
    return handle;
}

qErr slotCloseHandle(uint32_t linkId, uint8_t module, uint8_t handle) {
    const uint8_t request[] = {cmdSLOT, slotClose, handle};
    qPacket* reply = nullptr;
    qErr result = slotExchange(linkId, module, request, sizeof request,
                               SlotMatch{slotClose, handle, 0}, LINK_REPLY_WAIT_MS, &reply);
    if (result != qErrNone)
        return result;
    if (reply->length != 4)
        result = qErrIO;
    else if (slotIsError(reply))
        result = qErr(reply->data[3]);
    (void)qPacket_Destroy(&reply);
    return result;
}

struct FactoryMatch {
    uint8_t kind; // request byte 1 with its top four bits cleared
};

bool factoryFilter(const qPacket* p, const void* ref) {
    const FactoryMatch* m = static_cast<const FactoryMatch*>(ref);
    return p->length > 1 && p->data[0] == cmdFACTORY &&
           (p->data[1] == m->kind || p->data[1] == uint8_t(m->kind + FACTORY_ERROR));
}

bool factoryIsError(const qPacket* p, const FactoryMatch& m) {
    return p->data[1] == uint8_t(m.kind + FACTORY_ERROR);
}

qErr factoryExchange(uint32_t linkId, uint8_t module, const uint8_t* data, uint8_t length,
                     qPacket** reply, FactoryMatch* match) {
    *reply = nullptr;
    match->kind = data[1] & 0x0F;
    qErr result = linkPut(linkId, module, length, data);
    if (result != qErrNone)
        return result;
    *reply = qLink_AwaitFirst(linkId, factoryFilter, match, LINK_REPLY_WAIT_MS);
    return *reply ? qErrNone : qErrTimeout;
}

// The closing request with the total count.
qErr factoryClose(uint32_t linkId, uint8_t module, size_t total) {
    uint8_t request[4] = {cmdFACTORY, FACTORY_CLOSE, 0, 0};
    qUEI_StoreShort(request + 2, uint16_t(total));
    qPacket* reply = nullptr;
    FactoryMatch match{};
    qErr result = factoryExchange(linkId, module, request, sizeof request, &reply, &match);
    if (result != qErrNone)
        return result;
    // An error reply without its code is no success either.
    if (factoryIsError(reply, match))
        result = reply->length >= 3 ? qErr(reply->data[2]) : qErrUnknown;
    (void)qPacket_Destroy(&reply);
    return result;
}

} // namespace

// --- store slots ---------------------------------------------------------

qErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
    if (!isConnected())
        return qErrConnection;
    return slotQuery(_impl->linkId, module, slotSize, store, slot, size);
}

qErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
    if (!isConnected())
        return qErrConnection;
    return slotQuery(_impl->linkId, module, slotCapacity, store, slot, capacity);
}

qErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                         size_t length) {
    if (!isConnected())
        return qErrConnection;
    if (length && !data)
        return qErrParam;
    const uint32_t id = _impl->linkId;
    const uint8_t handle = slotOpen(id, module, slotOpenWrite, store, slot);
    if (handle == SLOT_BAD_HANDLE)
        return qErrMedia;
    qErr result = qErrNone;
    for (size_t offset = 0; offset < length && result == qErrNone;) {
        const size_t chunk = length - offset < SLOT_CHUNK ? length - offset : SLOT_CHUNK;
        uint8_t request[3 + SLOT_CHUNK] = {cmdSLOT, slotWrite, handle};
        uint8_t sum = 0;
        for (size_t i = 0; i < chunk; ++i) {
            request[3 + i] = data[offset + i];
            sum = uint8_t(sum + data[offset + i]);
        }
        qPacket* reply = nullptr;
        result = slotExchange(id, module, request, uint8_t(3 + chunk),
                              SlotMatch{slotWrite, handle, 0}, LINK_REPLY_WAIT_MS, &reply);
        if (result != qErrNone)
            break;
        if (slotIsError(reply))
            result = qErr(reply->data[3]);
        else if (reply->length != 4 || reply->data[3] != sum)
            result = qErrIO; // a wrong checksum, or no checksum where one belongs
        (void)qPacket_Destroy(&reply);
        offset += chunk;
    }
    const qErr closed = slotCloseHandle(id, module, handle);
    return result != qErrNone ? result : closed;
}

qErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                           size_t capacity, size_t* unloaded) {
    if (!isConnected())
        return qErrConnection;
    if ((capacity && !buffer) || !unloaded)
        return qErrParam;
    const uint32_t id = _impl->linkId;
    size_t size = 0;
    qErr result = slotQuery(id, module, slotSize, store, slot, &size);
    if (result != qErrNone)
        return result;
    const uint8_t handle = slotOpen(id, module, slotOpenRead, store, slot);
    if (handle == SLOT_BAD_HANDLE)
        return qErrMedia;
    const size_t wanted = capacity < size ? capacity : size;
    size_t got = 0;
    while (got < wanted && result == qErrNone) {
        const uint8_t request[] = {cmdSLOT, slotRead, handle};
        qPacket* reply = nullptr;
        result = slotExchange(id, module, request, sizeof request, SlotMatch{slotRead, handle, 0},
                              LINK_REPLY_WAIT_MS, &reply);
        if (result != qErrNone)
            break;
        if (slotIsError(reply)) {
            result = qErr(reply->data[3]);
        } else if (reply->length < 4) {
            result = qErrUnknown;
        } else {
            // Never more than the caller asked for, whatever the module sends.
            size_t n = size_t(reply->length - 3);
            if (n > wanted - got)
                n = wanted - got;
            memcpy(buffer + got, reply->data + 3, n);
            got += n;
        }
        (void)qPacket_Destroy(&reply);
    }
    const qErr closed = slotCloseHandle(id, module, handle);
    if (result == qErrNone)
        result = closed;
    if (result != qErrNone)
        return result;
    *unloaded = wanted;
    return capacity < size ? qErrOverrun : qErrNone;
}

// --- factory data --------------------------------------------------------

qErr Link::getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity,
                          size_t* received) {
    if (!isConnected())
        return qErrConnection;
    if ((capacity && !buffer) || !received)
        return qErrParam;
    const uint32_t id = _impl->linkId;
    size_t total = 0;
    qErr result = qErrNone;
    bool first = true;
    uint8_t lastLength = 0;
    while (result == qErrNone && (first || lastLength == qPACKET_MAX_DATA)) {
        const uint8_t request[] = {cmdFACTORY, uint8_t(kind + (first ? FACTORY_FIRST : 0))};
        first = false;
        qPacket* reply = nullptr;
        FactoryMatch match{};
        result = factoryExchange(id, module, request, sizeof request, &reply, &match);
        if (result != qErrNone)
            break;
        lastLength = reply->length;
        const size_t payload =
            reply->length >= COMMAND_OVERHEAD ? reply->length - COMMAND_OVERHEAD : 0;
        if (reply->length < COMMAND_OVERHEAD)
            result = qErrUnknown;
        else if (total + payload >= capacity)
            result = qErrOverrun;
        else if (factoryIsError(reply, match))
            result = qErr(reply->data[2]);
        else {
            memcpy(buffer + total, reply->data + COMMAND_OVERHEAD, payload);
            total += payload;
        }
        (void)qPacket_Destroy(&reply);
    }
    if (result == qErrNone)
        result = factoryClose(id, module, total);
    if (result == qErrNone)
        *received = total;
    return result;
}

qErr Link::setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length) {
    if (!isConnected())
        return qErrConnection;
    if (length && !data)
        return qErrParam;
    const uint32_t id = _impl->linkId;
    qErr result = qErrNone;
    bool first = true;
    for (size_t offset = 0; offset < length && result == qErrNone;) {
        const size_t chunk = length - offset < FACTORY_CHUNK ? length - offset : FACTORY_CHUNK;
        uint8_t request[qPACKET_MAX_DATA] = {
            cmdFACTORY, uint8_t(kind + FACTORY_SET + (first ? FACTORY_FIRST : 0))};
        first = false;
        memcpy(request + COMMAND_OVERHEAD, data + offset, chunk);
        qPacket* reply = nullptr;
        FactoryMatch match{};
        result =
            factoryExchange(id, module, request, uint8_t(COMMAND_OVERHEAD + chunk), &reply, &match);
        if (result != qErrNone)
            break;
        if (factoryIsError(reply, match) && reply->length > 2)
            result = qErr(reply->data[2]);
        if (reply->length != 2)
            result = qErrSize;
        (void)qPacket_Destroy(&reply);
        offset += chunk;
    }
    if (result == qErrNone)
        result = factoryClose(id, module, length);
    return result;
}

} // namespace Keystrand
} // namespace Quillmar
