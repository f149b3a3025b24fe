#include "qPacket.h"

#include <cstring>
#include <new>

namespace {

const qPacket kEmptyPacket = {qPACKET_TAG, 0, 0, 0, {}};

} // namespace

qPacket* qPacket_Create() {
    return new (std::nothrow) qPacket(kEmptyPacket);
}

qPacket* qPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > qPACKET_MAX_DATA || (data == nullptr && length != 0)) {
        return nullptr;
    }
    qPacket* p = qPacket_Create();
    if (p == nullptr) {
        return nullptr;
    }
    p->address = address;
    p->length = length;
    if (length != 0) {
        memcpy(p->data, data, length);
    }
    p->byteCount = static_cast<uint8_t>(length + 2);
    return p;
}

qPacket* qPacket_Copy(const qPacket* p) {
    if (!qVALIDPACKET(p)) {
        return nullptr;
    }
    return new (std::nothrow) qPacket(*p);
}

qErr qPacket_Reset(qPacket* p) {
    if (!qVALIDPACKET(p)) {
        return qErrParam;
    }
    *p = kEmptyPacket;
    return qErrNone;
}

qErr qPacket_AddByte(qPacket* p, uint8_t byte) {
    if (!qVALIDPACKET(p)) {
        return qErrParam;
    }
    // The count stops just past the limit: left to grow, the 8-bit counter
    // would wrap and the next byte would land before the data array.
    if (p->byteCount > qPACKET_MAX_BYTES) {
        return qErrOverrun;
    }
    p->byteCount++;
    if (p->byteCount > qPACKET_MAX_BYTES) {
        return qErrOverrun;
    }
    if (p->address == 0) {
        if (byte == 0 || (byte & 1) != 0) {
            return qErrPacket;
        }
        p->address = byte;
        return qErrNone;
    }
    if (p->length == 0) {
        p->length = byte;
        return byte > qPACKET_MAX_DATA ? qErrPacket : qErrNone;
    }
    if (p->byteCount > p->length + 2) {
        return qErrPacket;
    }
    p->data[p->byteCount - 3] = byte;
    return qErrNone;
}

bool qPacket_IsComplete(const qPacket* p) {
    return qVALIDPACKET(p) && p->length <= qPACKET_MAX_DATA && p->byteCount == p->length + 2;
}

namespace {

// Data byte `at` masked, for packets with more than `at` data bytes.
qErr getField(const qPacket* p, uint8_t* out, unsigned at, uint8_t mask) {
    if (out == nullptr) {
        return qErrParam;
    }
    if (!qVALIDPACKET(p) || p->length < at + 1) {
        return qErrPacket;
    }
    *out = static_cast<uint8_t>(p->data[at] & mask);
    return qErrNone;
}

} // namespace

qErr qPacket_GetCmd(const qPacket* p, uint8_t* cmd) {
    return getField(p, cmd, 0, 0xFF);
}

qErr qPacket_GetOption(const qPacket* p, uint8_t* option) {
    return getField(p, option, 1, 0x3F);
}

qErr qPacket_GetIndex(const qPacket* p, uint8_t* index) {
    return getField(p, index, 2, 0x1F);
}

qErr qPacket_Destroy(qPacket** p) {
    if (p == nullptr || *p == nullptr) {
        return qErrParam;
    }
    qPacket* packet = *p;
    *p = nullptr;
    if (!qVALIDPACKET(packet)) {
        return qErrParam;
    }
    packet->validTag = 0;
    delete packet;
    return qErrNone;
}
