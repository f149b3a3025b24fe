// Plain constants of the module side of the packet link, shared by the module
// simulator and its tests. Nothing here depends on the device library.
#pragma once

#include <cstdint>

namespace modsim {

// Packet framing: address byte, length byte, up to 28 data bytes.
constexpr unsigned kMaxData = 28;
constexpr uint8_t kAddrQuery = 173; // 0xAD: empty packet = address query
constexpr uint8_t kAddrLink = 175;  // 0xAF: link start / stop endpoint
constexpr uint8_t kSyncByte = 0xAD;
constexpr unsigned kSyncPairs = 6; // the host's sync request: 6 x (AD 00)

// Command codes.
constexpr uint8_t cmdHEARTBEAT = 0;
constexpr uint8_t cmdSYSTEM = 3;
constexpr uint8_t cmdSLOT = 4;
constexpr uint8_t cmdDEBUG = 23;
constexpr uint8_t cmdDESCRIBE = 73;
constexpr uint8_t cmdSTREAM = 93;
constexpr uint8_t cmdFACTORY = 94;
constexpr uint8_t cmdUPGRADE = 0x5F;

// UEI flag bits.
constexpr uint8_t kOptSet = 0x80;
constexpr uint8_t kOptGet = 0x40;
constexpr uint8_t kOptAck = 0xC0;
constexpr uint8_t kOptMask = 0x3F;
constexpr uint8_t kSpecReply = 0x20;
constexpr uint8_t kSpecStream = 0x40;
constexpr uint8_t kSpecError = 0x80;
constexpr uint8_t kIndexMask = 0x1F;
constexpr unsigned kBytesChunk = 24;

// DESCRIBE sub-commands.
constexpr uint8_t val_DESCRIBE_HASUEI = 1;
constexpr uint8_t val_DESCRIBE_CLASSQTY = 4;
constexpr uint8_t val_DESCRIBE_SUBCLASSQTY = 5;
constexpr uint8_t val_DESCRIBE_GROUP = 6;
constexpr uint8_t val_DESCRIBE_BUILD = 255;

// Upgrade sub-commands.
constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
constexpr uint8_t val_UPGRADE_STATUS = 7;
constexpr unsigned kUpgradeMaxData = 26;

// Store slot sub-commands.
constexpr uint8_t slotCapacity = 1;
constexpr uint8_t slotSize = 2;
constexpr uint8_t slotOpenRead = 3;
constexpr uint8_t slotOpenWrite = 4;
constexpr uint8_t slotRead = 6;
constexpr uint8_t slotWrite = 7;
constexpr uint8_t slotClose = 8;
constexpr unsigned kSlotChunk = 25;

// Factory data request bits.
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactorySet = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr unsigned kFactoryChunk = 26;

// Stream control options and sample types.
constexpr uint8_t kStreamSubscribe = 1;
constexpr uint8_t kStreamUnsubscribe = 2;
constexpr uint8_t kSample8 = 1, kSample16 = 2, kSample32 = 3;
constexpr uint8_t kSample8Sub = 5, kSample16Sub = 6, kSample32Sub = 7;

// Error codes that modules send in error replies (same numbers as the host's).
enum ErrCode : uint8_t {
    errNone = 0,
    errMemory = 1,
    errParam = 2,
    errNotFound = 3,
    errBusy = 5,
    errMode = 7,
    errPermission = 12,
    errRange = 13,
    errSize = 14,
    errOverrun = 15,
    errIndexRange = 26,
    errShortCommand = 27,
    errInvalidEntity = 28,
    errInvalidOption = 29,
    errPacket = 24,
};

// Identification on USB and the network.
constexpr uint16_t kUsbVendor = 0x24FF;
constexpr uint8_t kUsbClass = 0xFF, kUsbSubClass = 0x88, kUsbProtocol = 0x10;
constexpr uint32_t kLoaderSerial = 0xDEADDEAD;
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr unsigned kDiscoverySize = 16;

inline void putBE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void putBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint16_t getBE16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t getBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void putLE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace modsim
