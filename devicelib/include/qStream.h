// Byte streams: one non-blocking byte pipe over USB, a serial line, a TCP
// socket or a file, behind four callbacks.
//
// Receiving is polled: a transport with nothing to deliver answers
// qErrNotReady at once and the caller tries again later. Bytes of a
// multi-byte read that could not be completed are kept in the stream's
// push-back ring and delivered first by the next read. A reader that would
// rather sleep than poll waits with qStream_WaitReadable until bytes arrive
// (or its own wake descriptor is signalled), then takes whatever has arrived
// with qStream_ReadAvailable.
//
// Threads: a stream has no lock. One reader (get, read, wait, the push-back
// ring and the read functions) and one writer (put/write and the write
// functions) may run at the same time on different threads; the transports
// below tolerate that. Create and destroy must not race with either.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"

// Transport callbacks. `ref` is the transport's own record.
typedef qErr (*qStreamGetFn)(uint8_t* byte,
                             void* ref); // one byte, or qErrNotReady / qErrEOF / error
typedef qErr (*qStreamPutFn)(uint8_t byte, void* ref);                        // send one byte
typedef qErr (*qStreamWriteFn)(const uint8_t* data, size_t count, void* ref); // send a block
typedef qErr (*qStreamDeleteFn)(void* ref); // close the transport and free ref
// Whatever has arrived, up to max bytes, in one call: qErrNone with *got at
// least 1, qErrNotReady with *got 0, or qErrEOF / an error.
typedef qErr (*qStreamReadFn)(uint8_t* dst, size_t max, size_t* got, void* ref);
// Sleeps until a read may find something (bytes, end of file, a failure),
// wakeFd (when not -1) is readable, or msTimeout passes: qErrNone, qErrCancel
// (wakeFd), qErrTimeout, or an error.
typedef qErr (*qStreamWaitFn)(int wakeFd, unsigned long msTimeout, void* ref);

// qStream_WaitReadable's time-out that never ends.
constexpr unsigned long qSTREAM_WAIT_FOREVER = ~0UL;

constexpr uint16_t qSTREAM_TAG = 0x4321;

struct qStream {
    qStreamGetFn get;     // null for a write-only stream
    qStreamPutFn put;     // null for a read-only stream
    qStreamWriteFn write; // optional
    qStreamDeleteFn del;  // optional
    qStreamReadFn read;   // optional: many bytes at once (else get, byte by byte)
    qStreamWaitFn wait;   // optional: sleep until readable (else the reader polls)
    void* ref;            // the transport record, owned through del
    uint8_t* pushBack;    // push-back ring, allocated on first use
    size_t buffered;      // bytes now in the ring
    size_t capacity;      // ring size: 512 on first use, grown by 512
    size_t head;          // index of the next byte to deliver
    size_t tail;          // index where the next byte is stored
    uint16_t tag;         // qSTREAM_TAG while live
};

#define qVALIDSTREAM(s) ((s) != nullptr && (s)->tag == qSTREAM_TAG)

// Serial line settings.
enum qSerial_Bits : int {
    qSerial_8Bits = 0,
    qSerial_7Bits = 1,
};
enum qSerial_Stop_bits : int {
    qSerial_1StopBit = 0,
    qSerial_2StopBits = 1,
};

// Baud rate indices of qStream_CreateSerial.
enum qSerial_Baud : int {
    qSerial_Baud2400 = 0,
    qSerial_Baud4800 = 1,
    qSerial_Baud9600 = 2,
    qSerial_Baud19200 = 3,
    qSerial_Baud38400 = 4,
    qSerial_Baud57600 = 5,
    qSerial_Baud115200 = 6,
    qSerial_Baud230400 = 7,
};

// Rate of a baud index (2400 .. 230400), or 0 for any other index (which
// makes qStream_CreateSerial hang the line up).
int qStream_SerialBaudRate(int baudIndex);
// Index of a rate in the table above, or -1 when the rate is not in it.
int qStream_SerialBaudIndex(int rate);

// ---- core ----------------------------------------------------------------

// A new stream over the given callbacks; the push-back ring is not yet
// allocated. Returns null when out of memory.
qStream* qStream_Create(qStreamGetFn get, qStreamPutFn put, qStreamWriteFn write,
                        qStreamDeleteFn del, void* ref);

// Reads exactly `size` bytes into dst, or none: when the transport runs dry
// first (qErrNotReady) the bytes obtained are kept for the next read and
// nothing is stored in dst. At end of file the bytes obtained are stored and
// qErrEOF returned. Any other transport error is returned and the bytes of
// this call are dropped.
// Returns qErrNone, qErrNotReady, qErrEOF, a transport error, qErrParam
// (invalid stream, null dst), qErrMode (no get callback), qErrResource (no
// memory for the temporary buffer), qErrMemory (no memory to keep bytes).
qErr qStream_Read(qStream* s, uint8_t* dst, size_t size);

// Takes whatever has arrived, up to max bytes, without waiting: the push-back
// ring first, else one read of the transport (its read callback, or get byte
// by byte until it runs dry). Bytes obtained before a transport error are
// delivered; the error comes with the next call. No heap memory is used.
// Returns qErrNone (*got at least 1), qErrNotReady (*got 0), qErrEOF, a
// transport error, qErrParam (invalid stream, null dst or got, max 0),
// qErrMode (neither get nor read).
qErr qStream_ReadAvailable(qStream* s, uint8_t* dst, size_t max, size_t* got);

// Sleeps until a read may find something (bytes, end of file or a failure
// of the transport), until wakeFd (a descriptor of the caller's, -1 for
// none) is readable, or until msTimeout milliseconds pass
// (qSTREAM_WAIT_FOREVER: no time-out). Bytes in the push-back ring count as
// readable. wakeFd is only watched, never read.
// Returns qErrNone, qErrCancel (wakeFd readable), qErrTimeout, qErrParam
// (invalid stream), qErrMode (the transport cannot wait: poll instead), or
// the transport's error.
qErr qStream_WaitReadable(qStream* s, int wakeFd, unsigned long msTimeout);

// Gives the stream a block read and a wait (either may be null), for
// transports made with qStream_Create. Returns qErrNone or qErrParam.
qErr qStream_SetReceive(qStream* s, qStreamReadFn read, qStreamWaitFn wait);

// Sends len bytes: with a write callback and len above 1 as one block,
// otherwise byte by byte through put (through write when there is no put),
// stopping at the first error. Returns qErrNone, the transport's error,
// qErrParam (invalid stream, null data), qErrMode (neither write nor put).
qErr qStream_Write(qStream* s, const uint8_t* data, size_t len);

// Appends one byte to the push-back ring. Returns qErrNone, qErrParam (null
// or invalid stream), qErrMemory (the ring cannot be allocated or grown).
qErr qStreamBufferChar(qStream* s, uint8_t byte);

// Reads one record: bytes up to the terminator sequence (not stored), or
// maxLen bytes, or the bytes before end of file. *len gets the count stored
// in buf. When the transport runs dry the bytes read so far (including any
// part of the terminator already matched) are kept for the next call and
// qErrNotReady is returned with *len 0.
// A terminator that matched partway and is then broken is record data: its
// bytes are stored and matching resumes at the longest tail of what was seen
// that still begins the terminator (so "\r\r\n" ends a record on "\r\n").
// Returns qErrNone, qErrNotReady, qErrEOF (end of file before any byte), a
// transport error, qErrParam (invalid stream, null buf, len or terminator,
// termLen 0, maxLen 0), qErrMode (no get), qErrResource / qErrMemory (no
// memory).
qErr qStream_ReadRecord(qStream* s, uint8_t* buf, size_t* len, size_t maxLen,
                        const uint8_t* terminator, size_t termLen);

// Writes the data and then the terminator. Returns qErrNone, the transport's
// error, qErrParam (invalid stream, null pointers, termLen 0), qErrMode.
qErr qStream_WriteRecord(qStream* s, const uint8_t* data, size_t dataLen, const uint8_t* terminator,
                         size_t termLen);

// A record ended by one zero byte, at most size - 1 characters, stored with a
// terminating zero. Codes as qStream_ReadRecord; qErrParam also for a null
// buf or size below 2.
qErr qStream_ReadCString(qStream* s, char* buf, size_t size);

// The characters of str and then one zero byte. Codes as qStream_WriteRecord.
qErr qStream_WriteCString(qStream* s, const char* str);

// A record ended by the characters of terminator (without its zero), at most
// size - 1 characters, stored with a terminating zero. Codes as
// qStream_ReadCString; qErrParam also for a null or empty terminator.
qErr qStream_ReadCStringRecord(qStream* s, char* buf, size_t size, const char* terminator);

// The characters of str, then the characters of terminator including its
// terminating zero byte. Codes as qStream_WriteRecord.
qErr qStream_WriteCStringRecord(qStream* s, const char* str, const char* terminator);

// Copies bytes one by one from `from` (its push-back ring first, then its
// get) to `to` (its put) until `from` reports qErrEOF, which ends the copy
// with qErrNone. Any other error of either side (qErrNotReady included) ends
// it with that error. Returns qErrParam unless both streams are valid,
// qErrMode unless `from` has get and `to` has put.
qErr qStream_Flush(qStream* from, qStream* to);

// Closes the transport (its delete callback, whose result is returned),
// frees the ring, clears the tag and frees the stream. *s is set to null in
// every case. qErrParam for a null or invalid stream.
qErr qStream_Destroy(qStream** s);

// ---- transports ----------------------------------------------------------

// A module on USB by its serial number: through its kernel driver node when
// that exists, otherwise libusb. Returns qErrNone, qErrParam (serial 0, null
// out), qErrMemory, qErrResource (driver record), or the driver's open
// error (qErrNotFound, qErrBusy, qErrPermission, qErrConfiguration, qErrIO,
// qErrUnknown).
qErr qStream_CreateUSB(uint32_t serialNumber, qStream** out);

// A serial port in raw mode (settings restored when the stream is
// destroyed). The port is locked (flock) while the stream lives.
// Returns qErrNone, qErrParam (null port or out, port name over
// 4096 characters, bits or stop above 1), qErrMemory, qErrResource,
// qErrNotFound (no such port), qErrPermission, qErrBusy (locked or opened
// for exclusive use by another program), qErrIO.
qErr qStream_CreateSerial(const char* port, int baudIndex, bool parity, qSerial_Bits bits,
                          qSerial_Stop_bits stop, qStream** out);

// A TCP connection to address (IPv4, network byte order) and port, made at
// once; the stream reconnects by itself when the connection breaks (a reset
// seen by a read or write, a closed connection seen by a write). A peer that
// closed its end in order makes every read answer qErrConnection, after the
// bytes it sent before, so that the link above sees its module gone.
// The connect never blocks for longer than 5 s (1 s when made again by a read
// or write).
// Returns qErrNone; qErrResource (null out, bad port, no memory or socket);
// the cause of a failed connect: qErrConnection (refused, reset,
// unreachable), qErrTimeout (no answer within the 5 s), qErrPermission
// (forbidden by a rule of this host), qErrIO (anything else).
qErr qStream_CreateSocket(uint32_t address, int port, qStream** out);
// The same, with a descriptor (-1 for none) whose readability gives up the
// connect at once with qErrCancel, as qStream_InterruptOpens does.
qErr qStream_CreateSocketWithWake(uint32_t address, int port, int wakeFd, qStream** out);

// Interrupts every open that may take long, now and until
// qStream_ResumeOpens: a TCP connect made by a create, and a link reset's
// attempts to open its stream again give up at once with qErrCancel, and so
// does a link object's wait for its module's first answer. For Ctrl-C: it
// only writes to a descriptor, and may be called from a signal handler.
void qStream_InterruptOpens();
// Lets opens take their time again.
void qStream_ResumeOpens();
// Whether opens are interrupted now.
bool qStream_OpensInterrupted();

// Read-only stream over a file (end of file is qErrEOF), and write-only
// stream creating or truncating a file. Return qErrNone or qErrResource (null
// path or out, file cannot be opened, no memory).
qErr qStream_CreateFileInput(const char* path, qStream** out);
qErr qStream_CreateFileOutput(const char* path, qStream** out);
