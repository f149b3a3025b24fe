// One entity of a module: a command code (its class) and an index. Offers
// UEI get, set and call of its options, typed shortcuts, byte values in
// several packets, and the stream feature of the module's link. Getters read
// the link's stream cache first, so a streamed option costs no traffic.
//
// An EntityClass refers to its Module without owning it: the module must
// outlive its entities. Used from the module's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "Link.h"
#include "Module.h"
#include "qError.h"

namespace Quillmar {
namespace Keystrand {

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Link::sendPacket / receivePacket with the module's address;
    // qErrResource without a module.
    qErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    qErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // UEI exchanges. Each returns qErrNone, the module's own code for an
    // error reply, qErrTimeout for no reply, qErrStreamStale for an outdated
    // cached value (get only), qErrResource without a module or link,
    // qErrParam for a null message, or the link's send result.
    qErr getUEI(uint8_t option, uei* message);
    qErr setUEI(uint8_t option, uei* message);
    qErr setUEI(uint8_t option, uint8_t subindex, uei* message);
    qErr callUEI(uint8_t option);

    qErr setUEI8(uint8_t option, uint8_t value);
    qErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    qErr setUEI16(uint8_t option, uint16_t value);
    qErr setUEI32(uint8_t option, uint32_t value);
    qErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // qErrParam for a null output; the value is stored for qErrNone and for
    // qErrStreamStale.
    qErr getUEI8(uint8_t option, uint8_t* value);
    qErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    qErr getUEI16(uint8_t option, uint16_t* value);
    qErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    qErr getUEI32(uint8_t option, uint32_t* value);
    qErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    qErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // Multi-packet get: the caller sets *received to 0 first; the operation
    // adds to it. qErrParam (null buffer or counter, capacity 0);
    // qErrMemory (more bytes than capacity); qErrTimeout; the module's code.
    qErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
    static uint8_t getUEIBytesSequence(uint8_t sequence) { return sequence & 0x7F; }
    static uint8_t getUEIBytesContinue(uint8_t sequence) { return (sequence & 0x80) ? 1 : 0; }
    // qErrParam (null count); qErrMemory (count not a multiple of unit, or a
    // unit of 0); else divides the count by unit.
    static qErr getUEIBytesCheck(size_t* count, size_t unit);

    // Waits (1000 ms) for a UEI of this entity and plain option without
    // sending. qErrParam (null value); qErrTimeout; the module's code.
    qErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t wait);
    qErr drainUEI(uint8_t option);

    // Stream forwards; qErrResource without a module or link.
    qErr setStreamEnabled(bool enabled);
    qErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback,
                                void* reference);
    qErr getStreamStatus(std::map<uint64_t, uint32_t>* status);

    struct impl;

  protected:
    Module* module() const;
    uint8_t command() const;

  private:
    qErr _exchange(uint8_t option, uei* message, bool hasSubindex, uint8_t subindex);
    std::unique_ptr<impl> _impl;
};

} // namespace Keystrand
} // namespace Quillmar
