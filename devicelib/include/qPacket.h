// One module packet: a module address and up to 28 data bytes, the first
// data byte being the command code. Incoming packets are assembled byte by
// byte (address, length, data) with qPacket_AddByte.
#pragma once

#include <cstdint>

#include "qError.h"
#include "qUEI.h"

#define qPACKET_TAG 0xBEEF
#define qPACKET_MAX_DATA 28
// Address byte + length byte + data.
#define qPACKET_MAX_BYTES (qPACKET_MAX_DATA + 2)

struct qPacket {
    uint16_t validTag;              // qPACKET_TAG while live
    uint8_t byteCount;              // bytes taken in so far: address, length and data
    uint8_t address;                // module address: non-zero and even
    uint8_t length;                 // number of data bytes, 0..28
    uint8_t data[qPACKET_MAX_DATA]; // bytes past length are zero in a fresh packet
};

#define qVALIDPACKET(p) ((p) != nullptr && (p)->validTag == qPACKET_TAG)

// A new empty packet (caller owns; release with qPacket_Destroy), or null
// when out of memory.
qPacket* qPacket_Create();

// A new complete packet holding length bytes copied from data; null when out
// of memory, when length is above 28, or when data is null and length is not 0.
qPacket* qPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// A new packet equal to p; null when p is not a valid packet or memory is out.
qPacket* qPacket_Copy(const qPacket* p);

// Empties the packet for a new assembly.
// Returns: qErrNone; qErrParam (not a valid packet).
qErr qPacket_Reset(qPacket* p);

// Takes in the next received byte: the address first (non-zero, even), then
// the length (0..28), then that many data bytes. After any error the packet
// must be reset before it is used again; further bytes keep failing.
// Returns: qErrNone; qErrParam (not a valid packet); qErrOverrun (more than
// 30 bytes); qErrPacket (an odd or zero address, a length above 28, or a
// byte beyond the announced length).
qErr qPacket_AddByte(qPacket* p, uint8_t byte);

// True when p is valid and has all the data bytes its length announces.
bool qPacket_IsComplete(const qPacket* p);

// Command code: data byte 0.
// Returns: qErrNone; qErrParam (null cmd); qErrPacket (invalid packet, or no
// data byte).
qErr qPacket_GetCmd(const qPacket* p, uint8_t* cmd);

// Option code: low 6 bits of data byte 1.
// Returns: qErrNone; qErrParam (null option); qErrPacket (invalid packet,
// or fewer than 2 data bytes).
qErr qPacket_GetOption(const qPacket* p, uint8_t* option);

// Entity index: low 5 bits of data byte 2.
// Returns: qErrNone; qErrParam (null index); qErrPacket (invalid packet, or
// fewer than 3 data bytes).
qErr qPacket_GetIndex(const qPacket* p, uint8_t* index);

// Frees the packet and sets *p to null.
// Returns: qErrNone; qErrParam (p or *p null, or *p not a valid packet; *p
// is set to null all the same).
qErr qPacket_Destroy(qPacket** p);
