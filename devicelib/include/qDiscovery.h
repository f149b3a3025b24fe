// Device discovery and link specifiers.
//
// Discovery answers which modules can be reached and how: it enumerates the
// modules on the USB bus (libusb, a private context per call) or on the local
// IPv4 networks (a UDP multicast request sent through every interface and the
// modules' unicast replies), and hands each one to a callback as a linkSpec,
// the record from which a link to that module is opened (qLink.h).
//
// Discovery runs on the caller's thread and shares nothing with running
// links; it may run while links are open. It never fails as a whole: anything
// that goes wrong (no libusb context, no interface to send on, a device that
// cannot be opened) simply yields fewer modules.
#pragma once

#include <stdint.h>

#include "qError.h"

// How a module is reached. linkTypeNone also names a link over a stream that
// the caller made (qLink_Create).
enum linkType : uint32_t {
    linkTypeNone = 0,
    linkTypeUSB = 1,
    linkTypeTCPIP = 2,
    linkTypeSerial = 3
};

// USB modules: vendor id and the product id bit that must be clear.
#define qDISCOVERY_USB_VENDOR 0x24FF
#define qDISCOVERY_USB_PRODUCT_LIMIT 0x8000

// UDP discovery: the request goes to this group and port, replies come back
// to the listener port.
#define qDISCOVERY_GROUP "232.2.2.2"
#define qDISCOVERY_REQUEST_PORT 9888
#define qDISCOVERY_REPLY_PORT 9889
#define qDISCOVERY_PACKET_SIZE 16
// Receive time-out of the listener: enumeration ends this long after the
// last reply.
#define qDISCOVERY_REPLY_TIMEOUT_MS 2000
// Model code reported for a reply too short to carry one.
#define qDISCOVERY_UNKNOWN_MODEL 255

#define qLINKSPEC_PORTNAME_SIZE 256

// One reachable module and how to open a link to it. A fixed-size record,
// copied by value. Only the transport part of the record's own transport is
// meaningful; discovery does not clear the rest.
typedef struct linkSpec {
    linkType transport;
    uint32_t serialNumber;
    uint32_t moduleAddress;      // address on its I2C network, 0 when unknown
    uint32_t routerAddress;      // 0 for USB, the module's own address for TCP/IP
    uint32_t routerSerialNumber; // 0 for USB, the module's own serial for TCP/IP
    uint32_t modelCode;
    union {
        struct {
            uint32_t usbSerial;
        } usb;
        struct {
            uint32_t hostAddress; // IPv4, network byte order as received
            uint32_t tcpPort;     // host byte order, 16-bit value
        } tcpip;
        struct {
            uint32_t baudRate;
            char portName[qLINKSPEC_PORTNAME_SIZE];
        } serial;
    } link;
} linkSpec;

// Called once per module found. *success starts false; set it to true to have
// this module counted. Return true to go on, false to stop the enumeration.
// spec is valid only during the call.
typedef bool (*qDiscoveryCallback)(const linkSpec* spec, bool* success, void* ref);

// Enumerates the modules reachable over `type` (USB or TCP/IP; any other type
// finds nothing and touches no device) and returns how many the callback
// counted. A TCP/IP enumeration lasts until no reply has come for 2 s, unless
// the callback stops it (and never takes in more than 1024 replies or goes on
// for more than about 30 s). Replies are not de-duplicated: a module that hears
// the request on two interfaces may be reported twice.
uint8_t qDiscovery_EnumerateModules(linkType type, qDiscoveryCallback callback, void* ref);

// Returns a new record (caller owns, qLinkSpec_Destroy) for the first module
// over `type` with this serial number, or null when there is none.
linkSpec* qDiscovery_FindModule(linkType type, uint32_t serialNumber);

// Returns a new record for the first module over `type` with a non-zero
// serial number, or null.
linkSpec* qDiscovery_FindFirstModule(linkType type);

// Returns a new record with `transport` set and every other field zero, or
// null when out of memory.
linkSpec* qLinkSpec_Create(linkType type);

// Returns a new record holding a copy of `spec`, or null when out of memory.
linkSpec* qLinkSpec_Copy(linkSpec spec);

// Frees the record and sets *spec to null.
// Returns: qErrNone; qErrParam when spec or *spec is null.
qErr qLinkSpec_Destroy(linkSpec** spec);
