// USB transport of qStream (placeholder until the USB driver is in).
#include "qStream.h"

qErr qStream_CreateUSB(uint32_t serialNumber, qStream** out)
{
    (void)serialNumber;
    if (out)
        *out = nullptr;
    return qErrUnimplemented;  // USB streams are not available in this build yet
}
