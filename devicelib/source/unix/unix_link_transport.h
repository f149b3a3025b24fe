// The transports of the link engine as one table: each row says how to open
// a stream to a module over that transport (with the cause of a failure),
// whether a reset may open it again, and how to enumerate its modules. The
// link engine, the link object and discovery look a transport up here and
// never test the transport type themselves: a new transport is its stream in
// a file of its own and one row of the table (unix_link_transport.cpp).
#pragma once

#include <stdint.h>

#include <string>

#include "qDiscovery.h"
#include "qError.h"
#include "qStream.h"

namespace ks_link {

// What opens one module's stream, taken from its specifier.
struct OpenArgs {
    uint32_t identifier = 0; // with the transport and port: what makes two links the same module
    uint32_t port = 0;       // TCP port
    std::string portName;    // serial device path
    int baudIndex = -1;      // serial baud rate index
    uint32_t serialNumber = 0;
    // Readable: an open that may take long (a TCP connect) gives up at once
    // with qErrCancel, as it does on qStream_InterruptOpens; -1 for none.
    int cancelFd = -1;
};

struct Transport {
    linkType type;
    // The open arguments of a specifier of this transport.
    // Returns: qErrNone; qErrParam for a specifier this transport cannot open
    // (a serial number of 0, a port of 0, an unsupported baud rate...).
    qErr (*prepare)(const linkSpec* spec, OpenArgs* args);
    // Opens a new stream. Returns qErrNone or the cause of the failure:
    // qErrNotFound, qErrPermission, qErrBusy, qErrConnection, qErrTimeout,
    // qErrConfiguration, qErrIO, qErrResource, qErrMemory or qErrCancel.
    qErr (*open)(const OpenArgs* args, qStream** out);
    // Whether a reset may open the stream again from the same arguments.
    bool reopenable;
    // Offers each module found to the callback (qDiscovery_EnumerateModules);
    // null when modules cannot be found on this transport.
    uint8_t (*enumerate)(qDiscoveryCallback callback, void* ref);
};

// The row of this transport, or null (linkTypeNone: a stream given in).
const Transport* transportFor(linkType type);

} // namespace ks_link

// Enumerators of discovery, used by the table (unix_discovery.cpp).
namespace ks_discovery {
uint8_t enumerateUSB(qDiscoveryCallback callback, void* ref);
uint8_t enumerateTCPIP(qDiscoveryCallback callback, void* ref);
} // namespace ks_discovery
