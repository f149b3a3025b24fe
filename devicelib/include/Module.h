// A handle on one module: its address on the modules' network, the Link
// that reaches it, and how it was found. A module is reached directly (USB,
// TCP/IP, serial) or through a router, another module whose connection
// carries its packets (connectThroughLinkModule).
//
// Threads: a Module is used from one thread at a time; several handles that
// share one engine link (through a router) must be used from one thread,
// because replies are matched by content only.
#pragma once

#include <cstdint>

#include "Link.h"
#include "qDiscovery.h"
#include "qError.h"

namespace Quillmar {
namespace Keystrand {

class Module {
  public:
    // Networking mode on: every connection learns the module's address.
    explicit Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool autoNetworking, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Connecting returns why it failed, as Link::connect tells it:
    // qErrNotFound (no such module), qErrPermission (not this user's to
    // open), qErrBusy (claimed or locked by another program), qErrConnection
    // (TCP refused or reset, or the link failed), qErrTimeout (no TCP answer
    // in time, or no answer to the link start), qErrIO, qErrResource.
    //
    // qErrParam (serial number 0), else discoverAndConnect.
    qErr connect(linkType type, uint32_t serialNumber);
    // Link::discoverAndConnect with this module's model, then the address
    // update; returns the link's result (the causes above).
    qErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // qErrBusy when connected; else stores spec, connects and updates the
    // address; returns the connect result (the causes above).
    qErr connectFromSpec(linkSpec spec);
    // Shares the router's connection; networking mode goes off on success.
    // qErrNone, or the first failure (qErrParam for a null router).
    qErr connectThroughLinkModule(Module* router);
    // qErrInitialization without a link; else the connect result (the
    // causes above).
    qErr reconnect();

    bool isConnected() const;
    int32_t getStatus() const;
    // qErrInitialization without a link, else qErrNone.
    qErr disconnect();

    uint8_t getModuleAddress() const { return _address; }
    void setModuleAddress(uint8_t address) { _address = address; }
    void setNetworkingMode(bool on) { _networking = on; }
    bool getNetworkingMode() const { return _networking; }

    // qErrNotReady without a link; else the link's result.
    qErr getLinkSpecifier(linkSpec* out) const;
    Link* getLink() const { return _link; }
    // qErrConfiguration without a link; else the link's result.
    qErr enablePacketLog(const char* path);
    qErr disablePacketLog();

    // Module queries. Each: qErrConnection (not connected); send and wait
    // failures as they stand (qErrTimeout); qErrParam for bad arguments.
    // Echo test: qErrNone, qErrIO for a reply that differs.
    qErr debug(const uint8_t* data, uint8_t length);
    // The module's status byte (qErrNone: it has that UEI); qErrUnknown for a
    // malformed reply; qErrParam for flags other than 0, 0x40 or 0x80.
    qErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    // Each stores 0 first; qErrUnknown for a malformed reply.
    qErr classQuantity(uint8_t command, uint8_t* quantity);
    qErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* quantity);
    qErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

  private:
    void _ensureLink();
    void _autoNetwork();
    // Sends a cmdDESCRIBE request and waits for its reply (match on 73).
    qErr _describe(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength);

    Link* _link;
    uint8_t _address;
    bool _networking;
    uint8_t _model;
};

} // namespace Keystrand
} // namespace Quillmar
