// The link object: one connection to one module, on top of the link engine
// (qLink.h). It owns a link specifier (which module, over which transport),
// opens and closes the engine's link for it, and turns the raw packet
// traffic into request/reply exchanges: plain command packets, UEI messages,
// the module address query, store slots and factory data, and the module's
// stream packets, whose callbacks run on a worker thread of the Link's own.
//
// Threads: every request runs on the caller's thread and blocks at most for
// its stated wait (1000 ms for a reply, 3000 ms for a slot open, 2 s for a
// connect). Requests of one Link, and of every Link that shares one engine
// link, must come from one thread at a time, because replies are matched by
// content only. Stream callbacks run on the worker thread, never on the
// engine's input thread and never with the stream table mutex held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>

#include "qDiscovery.h"
#include "qError.h"
#include "qPacket.h"

namespace Quillmar {
namespace Keystrand {

// Command codes the library sends.
enum {
    cmdSYSTEM = 3,
    cmdSLOT = 4,
    cmdDEBUG = 23,
    cmdDESCRIBE = 73,
    cmdSTREAM = 93,
    cmdFACTORY = 94,
};

// Sub-command of cmdDESCRIBE that reads the firmware build number.
enum { val_DESCRIBE_BUILD = 255 };

// Flag bits of the option byte (data byte 1) of a UEI message.
enum {
    ueiOPTION_MASK = 0x3F,
    ueiOPTION_GET = 0x40,
    ueiOPTION_SET = 0x80,
    ueiOPTION_ACK = 0xC0,
};

// Flag bits of the specifier byte (data byte 2) of a UEI message.
enum {
    ueiSPECIFIER_INDEX_MASK = 0x1F,
    ueiSPECIFIER_REPLY = 0x20,  // set in every request that expects a reply
    ueiSPECIFIER_STREAM = 0x40, // set in a value the module streams on its own
    ueiSPECIFIER_ERROR = 0x80,  // set in a reply that reports an error
};

// Address of the address query (a zero-length packet to it).
enum { ueiADDRESS_QUERY = 173 };

// Largest chunk of a multi-packet byte value.
enum { ueiBYTES_CHUNK = 24 };

typedef enum ueiType {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
} ueiType;

// One UEI message in memory.
struct uei {
    uint8_t module;    // module address: non-zero and even
    uint8_t command;   // the entity's class
    uint8_t option;    // option code with its flag bits
    uint8_t specifier; // entity index (low 5 bits) with its flag bits
    union {
        uint8_t byteVal; // also the error code of an error reply
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bufPtr; // ueiTypeBytes: the bytes (send) or the write position (receive)
    } value;
    uint8_t sequence; // sequence byte of a multi-packet byte value
    size_t length;    // bytes to send, or the capacity of the receive buffer
    size_t* received; // counter a multi-packet get adds to
    ueiType type;
};

// A filter over received packets with a context record (the link engine's
// filter type).
typedef bool (*ueiPacketFilter)(const qPacket* packet, const void* context);

class Link {
  public:
    // Elements of a stream key.
    enum STREAM_KEY {
        STREAM_KEY_MODULE = 0,
        STREAM_KEY_COMMAND = 1,
        STREAM_KEY_OPTION = 2,
        STREAM_KEY_INDEX = 3,
        STREAM_KEY_SUBINDEX = 4,
    };
    // Types of stream packet (data byte 3).
    enum STREAM_PACKET {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_U8 = 1,
        STREAM_PACKET_U16 = 2,
        STREAM_PACKET_U32 = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_U8_SUBINDEX = 5,
        STREAM_PACKET_U16_SUBINDEX = 6,
        STREAM_PACKET_U32_SUBINDEX = 7,
    };
    // Called on the worker thread with a copy of a stream packet and the
    // reference given at registration; the result is ignored.
    typedef std::function<qErr(const qPacket* packet, void* reference)> StreamCallback;

    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // --- identity -----------------------------------------------------
    const char* getName() const;
    // qErrNone; qErrParam (null out); qErrNotFound (no specifier stored).
    qErr getLinkSpecifier(linkSpec* out) const;
    // qErrNone; qErrBusy (connected); qErrMemory.
    qErr setLinkSpecifier(linkSpec spec);

    // --- connection ---------------------------------------------------
    // Finds the module by serial number, or the first of `model` (0: any)
    // when serialNumber is 0, stores its specifier and connects. A module
    // that discovery did not report is opened by its serial number where the
    // transport allows it (USB), to tell why it cannot be reached.
    // qErrNotFound (not reported, and not there), or the results of
    // connect(), the causes of a failed open among them.
    qErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Opens the engine link for the stored specifier (qLink_Open) and waits
    // up to 2 s for it to run. qErrNone; qErrConfiguration (no specifier);
    // the cause of a failed open: qErrNotFound, qErrPermission, qErrBusy
    // (claimed or locked by another program), qErrConnection (refused,
    // reset, unreachable, or a specifier that cannot be opened),
    // qErrTimeout (no TCP answer within the connect deadline), qErrIO,
    // qErrResource; qErrTimeout when the module does not answer the link
    // start; qErrConnection when the link fails while starting; qErrBusy
    // (stopping); qErrDuplicate (unknown status); qErrCancel when
    // qStream_InterruptOpens ended the open or the wait (Ctrl-C).
    qErr connect();
    bool isConnected() const;
    // The engine's status of the link; 8 without a link.
    int32_t getStatus() const;
    // Always qErrNone.
    qErr disconnect();
    // Always qErrNone.
    qErr reset();
    // The address query. qErrNone; qErrNotReady (not connected, no answer);
    // qErrParam (null address).
    qErr getModuleAddress(uint8_t* address);

    // --- plain packets ------------------------------------------------
    // qErrNone; qErrConnection; qErrParam (length above 27, null data);
    // qErrPacket (module address); qErrResource; the engine's put result.
    qErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // *length holds the number of match bytes on entry and the received
    // data length on return; data needs room for 28 bytes.
    // qErrNone; qErrConnection; qErrPacket; qErrParam; qErrTimeout (no reply); qErrConnection also
    // when the link failed while waiting.
    qErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);

    // --- UEI messages -------------------------------------------------
    // qErrNone; qErrConnection; qErrPacket; qErrParam (bad type or buffer);
    // qErrResource; the engine's put result.
    qErr sendUEI(uei message);
    qErr sendUEI(uei message, uint8_t subindex);
    // Waits up to 1000 ms for the reply described by *message (its module,
    // command, option and specifier fields). qErrNone; qErrConnection;
    // qErrPacket; qErrParam; qErrTimeout (no reply); qErrConnection also when the link failed while
    // waiting.
    qErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                    uei* message);
    qErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                    uei* message, ueiPacketFilter filter);
    // qErrNone; qErrConnection; qErrPacket.
    qErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);

    // --- store slots and factory data ---------------------------------
    // Each: qErrConnection when not connected; qErrTimeout for a missing
    // reply; the module's code for an error reply; see the sources for the
    // checks of each reply.
    qErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                       size_t length);
    qErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                         size_t capacity, size_t* unloaded);
    qErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    qErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
    qErr getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity,
                        size_t* received);
    qErr setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

    // --- packet log ---------------------------------------------------
    // qErrNone; qErrConfiguration (no link); qErrResource; qErrParam.
    qErr enablePacketLog(const char* path);
    qErr disablePacketLog();

    // --- streaming ----------------------------------------------------
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
    static bool isStreamPacket(const qPacket* packet);
    static bool getStreamPacketType(const qPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    static bool isStreamSample(const qPacket* packet);
    // qErrNone; qErrPacket (no stream packet, wrong length or last byte);
    // qErrSize (byte value); qErrUnknown.
    static qErr getStreamSample(const qPacket* packet, uint64_t* timestamp, uint32_t* value,
                                uint8_t* subindex);

    qErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // qErrNone; qErrParam (odd or 255 module address); qErrConfiguration
    // (not connected); the send result; qErrTimeout; the module's code.
    qErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                bool enable, StreamCallback callback, void* reference);
    qErr isLinkStreaming(uint8_t module, uint8_t* streaming);
    // qErrNone (fresh value); qErrStreamStale (already read); qErrNotFound;
    // qErrParam (null value).
    qErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);
    std::list<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                               uint8_t index, uint8_t subindex, bool lock);
    // qErrNone; qErrParam (null map).
    qErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         uint8_t subindex, std::map<uint64_t, uint32_t>* status);
    // The engine's user packet filter; linkState is the Link's private state.
    static bool linkStreamFilter(const qPacket* packet, void* linkState);

    struct impl;

  private:
    std::unique_ptr<impl> _impl;
};

} // namespace Keystrand
} // namespace Quillmar
