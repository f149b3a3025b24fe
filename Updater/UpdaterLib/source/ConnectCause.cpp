#include "ConnectCause.h"

#include "Outcome.h"

std::string ConnectCause(qErr cause, linkType transport) {
    switch (cause) {
    case qErrPermission:
        if (transport == linkTypeSerial)
            return "permission denied (add your user to the group that owns the serial port, "
                   "usually dialout, then log in again)";
        if (transport == linkTypeUSB)
            return "permission denied (install the udev rules 70-keystrand.rules and plug the "
                   "module in again, or run as root)";
        return "permission denied";
    case qErrBusy:
        return "in use by another program";
    case qErrConnection:
        return transport == linkTypeTCPIP ? "connection refused" : "could not be opened";
    case qErrNotFound:
        return "not found";
    case qErrTimeout:
        return "did not answer";
    default:
        return std::string("could not be opened (") + ErrorName(cause) + ")";
    }
}
