// Packet log ring and the packet debugging of links.
#include "qPacketDebug.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "qMutex.h"

struct qPacketLog {
    uint8_t enabled;
    uint8_t* buffer; // owned, size bytes
    uint32_t size;
    uint32_t read;  // start of the oldest record
    uint32_t write; // where the next record goes; == read when empty
};

namespace {

uint32_t used(const qPacketLog* log) {
    return (log->write + log->size - log->read) % log->size;
}

void dropOldest(qPacketLog* log) {
    uint32_t at = (log->read + 1) % log->size; // past the type byte
    uint32_t length = log->buffer[at];
    log->read = (at + 1 + length) % log->size;
}

void putByte(qPacketLog* log, uint8_t byte) {
    log->buffer[log->write] = byte;
    log->write = (log->write + 1) % log->size;
}

} // namespace

qPacketLog* qPacketLog_Create(uint32_t size) {
    qPacketLog* log = new (std::nothrow) qPacketLog{0, nullptr, size, 0, 0};
    if (log == nullptr) {
        return nullptr;
    }
    log->buffer = new (std::nothrow) uint8_t[size == 0 ? 1 : size];
    if (log->buffer == nullptr) {
        delete log;
        return nullptr;
    }
    return log;
}

qErr qPacketLog_Put(qPacketLog* log, uint8_t type, uint32_t length, const uint8_t* data) {
    if (log == nullptr || (data == nullptr && length != 0)) {
        return qErrParam;
    }
    // The length travels in one byte: a longer record would be read back
    // with a wrong length and garble every record after it.
    if (length > qPACKETLOG_MAX_RECORD || length + 2 >= log->size) {
        return qErrOverrun;
    }
    while (log->size - used(log) <= length + 2) {
        dropOldest(log);
    }
    putByte(log, type);
    putByte(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; ++i) {
        putByte(log, data[i]);
    }
    return qErrNone;
}

qErr qPacketLog_Get(qPacketLog* log, int32_t* type, uint32_t* length, uint8_t* data) {
    if (log == nullptr || type == nullptr || length == nullptr) {
        return qErrParam;
    }
    if (log->read == log->write) {
        return qErrNotFound;
    }
    uint32_t capacity = *length;
    uint32_t recordLength = log->buffer[(log->read + 1) % log->size];
    *type = log->buffer[log->read];
    *length = recordLength;
    if (capacity < recordLength) {
        return qErrOverrun;
    }
    if (data == nullptr && recordLength != 0) {
        return qErrParam;
    }
    uint32_t at = (log->read + 2) % log->size;
    for (uint32_t i = 0; i < recordLength; ++i) {
        data[i] = log->buffer[at];
        at = (at + 1) % log->size;
    }
    log->read = at;
    return qErrNone;
}

bool qPacketLog_IsEnabled(const qPacketLog* log) {
    return log != nullptr && log->enabled != 0;
}

void qPacketLog_SetEnabled(qPacketLog* log, bool enabled) {
    if (log != nullptr) {
        log->enabled = enabled ? 1 : 0;
    }
}

qErr qPacketLog_Destroy(qPacketLog** log) {
    if (log == nullptr || *log == nullptr) {
        return qErrNone;
    }
    (*log)->enabled = 0;
    delete[](*log)->buffer;
    delete *log;
    *log = nullptr;
    return qErrNone;
}

// ---- Links' packet logs.

namespace {

// The packet log state of one attached link. Every field but mutex is
// guarded by mutex, the link's packet log mutex.
struct LinkLog {
    qMutex* mutex = nullptr;
    qPacketLog* log = nullptr; // null until logging is first enabled
    uint32_t size = 0;         // ring size at creation, 0 = default

    LinkLog() = default;
    LinkLog(const LinkLog&) = delete;
    LinkLog& operator=(const LinkLog&) = delete;
    ~LinkLog() {
        (void)qPacketLog_Destroy(&log);
        (void)qMutex_Destroy(&mutex);
    }
};

using LinkLogRef = std::shared_ptr<LinkLog>;

// Attached links. The table mutex is held only to find, add or remove an
// entry, never together with a link's packet log mutex; an entry stays
// alive while a call holds its reference, also after it was detached.
struct LinkTable {
    std::mutex mutex;
    std::map<uint32_t, LinkLogRef> links; // guarded by mutex
};

LinkTable& linkTable() {
    static LinkTable* t = new LinkTable; // never destroyed: link threads may outlive exit
    return *t;
}

LinkLogRef findLink(uint32_t linkId) {
    LinkTable& t = linkTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.links.find(linkId);
    return it == t.links.end() ? nullptr : it->second;
}

class LogLock {
  public:
    explicit LogLock(LinkLog& l) : l_(l) { (void)qMutex_Lock(l_.mutex); }
    ~LogLock() { (void)qMutex_Unlock(l_.mutex); }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

  private:
    LinkLog& l_;
};

} // namespace

qErr qPacketDebug_AttachLink(uint32_t linkId, const void* linkRecord) {
    if (linkId == 0) {
        return qErrParam;
    }
    LinkLogRef entry(new (std::nothrow) LinkLog);
    if (!entry) {
        return qErrResource;
    }
    char name[64];
    snprintf(name, sizeof name, "LOG_SEMA_%p", linkRecord);
    entry->mutex = qMutex_Create(name);
    if (entry->mutex == nullptr) {
        return qErrResource;
    }
    LinkTable& t = linkTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    try {
        if (!t.links.emplace(linkId, entry).second) {
            return qErrDuplicate;
        }
    } catch (const std::bad_alloc&) {
        return qErrResource;
    }
    return qErrNone;
}

qErr qPacketDebug_DetachLink(uint32_t linkId) {
    LinkLogRef entry;
    {
        LinkTable& t = linkTable();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.links.find(linkId);
        if (it == t.links.end()) {
            return qErrNotFound;
        }
        entry = std::move(it->second);
        t.links.erase(it);
    }
    {
        LogLock lock(*entry);
        qPacketLog_SetEnabled(entry->log, false);
    }
    return qErrNone; // freed with the last reference
}

qErr qPacketDebug_RecordPacket(uint32_t linkId, uint8_t type, const qPacket* p) {
    if (!qVALIDPACKET(p) || p->length > qPACKET_MAX_DATA ||
        (type != qPACKETLOG_SENT && type != qPACKETLOG_RECEIVED)) {
        return qErrParam;
    }
    LinkLogRef entry = findLink(linkId);
    if (!entry) {
        return qErrNone; // not a link we log
    }
    uint8_t wire[qPACKET_MAX_BYTES];
    wire[0] = p->address;
    wire[1] = p->length;
    memcpy(wire + 2, p->data, p->length);
    LogLock lock(*entry);
    if (!qPacketLog_IsEnabled(entry->log)) {
        return qErrNone;
    }
    return qPacketLog_Put(entry->log, type, p->length + 2u, wire);
}

qErr qLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size) {
    LinkLogRef entry = findLink(linkId);
    if (!entry || (size > 0 && static_cast<uint32_t>(size) > qPACKETLOG_MAX_SIZE)) {
        return qErrParam;
    }
    LogLock lock(*entry);
    if (entry->log != nullptr) {
        return qErrBusy;
    }
    entry->size = size < 0 ? 0 : static_cast<uint32_t>(size);
    return qErrNone;
}

qErr qLink_PacketDebug_Enable(uint32_t linkId) {
    LinkLogRef entry = findLink(linkId);
    if (!entry) {
        return qErrParam;
    }
    LogLock lock(*entry);
    if (entry->log == nullptr) {
        if (entry->size == 0) {
            entry->size = qPACKETLOG_DEFAULT_SIZE;
        }
        entry->log = qPacketLog_Create(entry->size);
        if (entry->log == nullptr) {
            return qErrResource;
        }
    }
    qPacketLog_SetEnabled(entry->log, true);
    return qErrNone;
}

qErr qLink_PacketDebug_Disable(uint32_t linkId) {
    LinkLogRef entry = findLink(linkId);
    if (!entry) {
        return qErrParam;
    }
    LogLock lock(*entry);
    if (entry->log == nullptr) {
        return qErrNotReady;
    }
    qPacketLog_SetEnabled(entry->log, false);
    return qErrNone;
}

qErr qLink_PacketDebug_Read(uint32_t linkId, int32_t* type, uint32_t* length, uint8_t* data) {
    LinkLogRef entry = findLink(linkId);
    if (!entry) {
        return qErrParam;
    }
    LogLock lock(*entry);
    if (entry->log == nullptr) {
        return qErrNotReady;
    }
    return qPacketLog_Get(entry->log, type, length, data);
}

qErr qLink_PacketDebug_Write(uint32_t linkId, uint8_t type, uint32_t length, const uint8_t* data) {
    LinkLogRef entry = findLink(linkId);
    if (!entry) {
        return qErrParam;
    }
    LogLock lock(*entry);
    if (entry->log == nullptr) {
        return qErrNotReady;
    }
    return qPacketLog_Put(entry->log, type, length, data);
}
