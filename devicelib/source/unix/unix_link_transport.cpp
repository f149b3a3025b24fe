// The table of transports (see unix_link_transport.h).
#include "unix_link_transport.h"

#include <string.h>

namespace ks_link {

namespace {

qErr sPrepareUSB(const linkSpec* spec, OpenArgs* args) {
    if (spec->serialNumber == 0)
        return qErrParam;
    args->identifier = spec->serialNumber;
    args->serialNumber = spec->serialNumber;
    return qErrNone;
}

qErr sOpenUSB(const OpenArgs* args, qStream** out) {
    return qStream_CreateUSB(args->serialNumber, out);
}

qErr sPrepareTCPIP(const linkSpec* spec, OpenArgs* args) {
    const uint32_t port = spec->link.tcpip.tcpPort;
    if (port == 0 || port > 65535)
        return qErrParam;
    args->identifier = spec->link.tcpip.hostAddress;
    args->port = port;
    args->serialNumber = spec->serialNumber;
    return qErrNone;
}

qErr sOpenTCPIP(const OpenArgs* args, qStream** out) {
    return qStream_CreateSocketWithWake(args->identifier, static_cast<int>(args->port),
                                        args->cancelFd, out);
}

qErr sPrepareSerial(const linkSpec* spec, OpenArgs* args) {
    const uint32_t rate = spec->link.serial.baudRate;
    const int index = rate > 230400 ? -1 : qStream_SerialBaudIndex(static_cast<int>(rate));
    const char* name = spec->link.serial.portName;
    const size_t length = strnlen(name, qLINKSPEC_PORTNAME_SIZE);
    if (index < 0 || length == 0 || length == qLINKSPEC_PORTNAME_SIZE)
        return qErrParam;
    args->identifier = spec->serialNumber;
    args->serialNumber = spec->serialNumber;
    args->portName.assign(name, length);
    args->baudIndex = index;
    return qErrNone;
}

qErr sOpenSerial(const OpenArgs* args, qStream** out) {
    return qStream_CreateSerial(args->portName.c_str(), args->baudIndex, false, qSerial_8Bits,
                                qSerial_1StopBit, out);
}

const Transport kTransports[] = {
    {linkTypeUSB, sPrepareUSB, sOpenUSB, true, ks_discovery::enumerateUSB},
    {linkTypeTCPIP, sPrepareTCPIP, sOpenTCPIP, true, ks_discovery::enumerateTCPIP},
    {linkTypeSerial, sPrepareSerial, sOpenSerial, false, nullptr},
};

} // namespace

const Transport* transportFor(linkType type) {
    for (const Transport& t : kTransports)
        if (t.type == type)
            return &t;
    return nullptr;
}

} // namespace ks_link
