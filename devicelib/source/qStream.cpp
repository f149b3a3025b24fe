// Byte stream core: reads with the push-back ring, records, C strings,
// flushing, destruction, and the file transports.
#include "qStream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "qFile.h"

namespace {

constexpr size_t kRingStep = 512;

// Takes the next byte of the push-back ring; false when it is empty.
bool sRingTake(qStream* s, uint8_t* byte) {
    if (s->buffered == 0)
        return false;
    *byte = s->pushBack[s->head];
    s->head = (s->head + 1) % s->capacity;
    --s->buffered;
    return true;
}

// Puts bytes back in front of whatever the ring holds, so that they are
// delivered first and in their order.
qErr sRingUnget(qStream* s, const uint8_t* bytes, size_t n) {
    if (n == 0)
        return qErrNone;
    if (s->buffered == 0) {
        for (size_t i = 0; i < n; ++i) {
            qErr e = qStreamBufferChar(s, bytes[i]);
            if (e != qErrNone)
                return e;
        }
        return qErrNone;
    }
    size_t cap = s->capacity;
    while (cap < s->buffered + n + 1)
        cap += kRingStep;
    auto* ring = static_cast<uint8_t*>(std::malloc(cap));
    if (!ring)
        return qErrMemory;
    std::memcpy(ring, bytes, n);
    size_t k = n;
    uint8_t b;
    while (sRingTake(s, &b))
        ring[k++] = b;
    std::free(s->pushBack);
    s->pushBack = ring;
    s->capacity = cap;
    s->head = 0;
    s->tail = k % cap;
    s->buffered = k;
    return qErrNone;
}

// One byte: push-back ring first, else the transport.
qErr sNextByte(qStream* s, uint8_t* byte) {
    if (sRingTake(s, byte))
        return qErrNone;
    return s->get(byte, s->ref);
}

// Length of the longest tail of seen[0..n) that is a head of the terminator.
size_t sOverlap(const uint8_t* seen, size_t n, const uint8_t* term, size_t termLen) {
    for (size_t k = (n - 1 < termLen - 1 ? n - 1 : termLen - 1); k > 0; --k)
        if (std::memcmp(seen + n - k, term, k) == 0)
            return k;
    return 0;
}

} // namespace

int qStream_SerialBaudRate(int baudIndex) {
    static const int rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    if (baudIndex < 0 || baudIndex >= static_cast<int>(sizeof rates / sizeof rates[0]))
        return 0;
    return rates[baudIndex];
}

int qStream_SerialBaudIndex(int rate) {
    for (int i = 0; i <= qSerial_Baud230400; ++i)
        if (qStream_SerialBaudRate(i) == rate)
            return i;
    return -1;
}

qStream* qStream_Create(qStreamGetFn get, qStreamPutFn put, qStreamWriteFn write,
                        qStreamDeleteFn del, void* ref) {
    auto* s = static_cast<qStream*>(std::calloc(1, sizeof(qStream)));
    if (!s)
        return nullptr;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->ref = ref;
    s->tag = qSTREAM_TAG;
    return s;
}

qErr qStreamBufferChar(qStream* s, uint8_t byte) {
    if (!qVALIDSTREAM(s))
        return qErrParam;
    if (!s->pushBack) {
        s->pushBack = static_cast<uint8_t*>(std::malloc(kRingStep));
        if (!s->pushBack)
            return qErrMemory;
        s->capacity = kRingStep;
        s->buffered = s->head = s->tail = 0;
    }
    if (s->buffered >= s->capacity - 1) {
        const size_t cap = s->capacity + kRingStep;
        auto* ring = static_cast<uint8_t*>(std::malloc(cap));
        if (!ring)
            return qErrMemory;
        size_t k = 0;
        uint8_t b;
        while (sRingTake(s, &b))
            ring[k++] = b;
        std::free(s->pushBack);
        s->pushBack = ring;
        s->capacity = cap;
        s->head = 0;
        s->tail = k;
        s->buffered = k;
    }
    s->pushBack[s->tail] = byte;
    s->tail = (s->tail + 1) % s->capacity;
    ++s->buffered;
    return qErrNone;
}

qErr qStream_Read(qStream* s, uint8_t* dst, size_t size) {
    if (!qVALIDSTREAM(s) || !dst)
        return qErrParam;
    if (!s->get)
        return qErrMode;
    if (size == 0)
        return qErrNone;
    auto* tmp = static_cast<uint8_t*>(std::malloc(size));
    if (!tmp)
        return qErrResource;
    size_t got = 0;
    qErr err = qErrNone;
    while (got < size && err == qErrNone) {
        err = sNextByte(s, &tmp[got]);
        if (err == qErrNone)
            ++got;
    }
    if (got < size && err == qErrNotReady) {
        // All-or-nothing: keep what arrived for the next read. The ring was
        // drained before get was asked, so appending keeps the order.
        qErr keep = sRingUnget(s, tmp, got);
        std::free(tmp);
        return keep != qErrNone ? keep : qErrNotReady;
    }
    if (err == qErrNone || err == qErrEOF)
        std::memcpy(dst, tmp, got);
    std::free(tmp);
    return err;
}

qErr qStream_ReadAvailable(qStream* s, uint8_t* dst, size_t max, size_t* got) {
    if (got)
        *got = 0;
    if (!qVALIDSTREAM(s) || !dst || !got || max == 0)
        return qErrParam;
    if (!s->get && !s->read)
        return qErrMode;
    size_t n = 0;
    while (n < max && sRingTake(s, &dst[n]))
        ++n;
    if (n > 0) {
        *got = n;
        return qErrNone;
    }
    if (s->read)
        return s->read(dst, max, got, s->ref);
    qErr err = qErrNone;
    while (n < max && (err = s->get(&dst[n], s->ref)) == qErrNone)
        ++n;
    *got = n;
    if (n > 0)
        return qErrNone; // a failure after some bytes shows again on the next call
    return err;
}

qErr qStream_WaitReadable(qStream* s, int wakeFd, unsigned long msTimeout) {
    if (!qVALIDSTREAM(s))
        return qErrParam;
    if (s->buffered > 0)
        return qErrNone;
    if (!s->wait)
        return qErrMode;
    return s->wait(wakeFd, msTimeout, s->ref);
}

qErr qStream_SetReceive(qStream* s, qStreamReadFn read, qStreamWaitFn wait) {
    if (!qVALIDSTREAM(s))
        return qErrParam;
    s->read = read;
    s->wait = wait;
    return qErrNone;
}

qErr qStream_Write(qStream* s, const uint8_t* data, size_t len) {
    if (!qVALIDSTREAM(s) || !data)
        return qErrParam;
    if (!s->write && !s->put)
        return qErrMode;
    if (s->write && len > 1)
        return s->write(data, len, s->ref);
    for (size_t i = 0; i < len; ++i) {
        qErr e = s->put ? s->put(data[i], s->ref) : s->write(&data[i], 1, s->ref);
        if (e != qErrNone)
            return e;
    }
    return qErrNone;
}

qErr qStream_ReadRecord(qStream* s, uint8_t* buf, size_t* len, size_t maxLen,
                        const uint8_t* terminator, size_t termLen) {
    if (!qVALIDSTREAM(s) || !buf || !len || !terminator || termLen == 0 || maxLen == 0)
        return qErrParam;
    *len = 0;
    if (!s->get)
        return qErrMode;
    auto* tmp = static_cast<uint8_t*>(std::malloc(maxLen));
    auto* seen = static_cast<uint8_t*>(std::malloc(termLen + 1));
    if (!tmp || !seen) {
        std::free(tmp);
        std::free(seen);
        return qErrResource;
    }
    size_t stored = 0;
    size_t match = 0; // bytes of the terminator matched so far, in seen
    qErr err = qErrNone;
    bool ended = false;
    while (!ended && err == qErrNone) {
        uint8_t b;
        err = sNextByte(s, &b);
        if (err != qErrNone)
            break;
        if (b == terminator[match]) {
            seen[match++] = b;
            ended = match == termLen;
            continue;
        }
        // A broken (or no) match: the bytes seen are data, except the longest
        // tail that may still begin the terminator.
        seen[match] = b;
        const size_t n = match + 1;
        const size_t keep = sOverlap(seen, n, terminator, termLen);
        size_t i = 0;
        while (i < n - keep && stored < maxLen)
            tmp[stored++] = seen[i++];
        if (stored == maxLen) {
            // Full: whatever was not stored goes back in front of the stream.
            err = sRingUnget(s, seen + i, n - i);
            match = 0;
            ended = true;
            break;
        }
        std::memmove(seen, seen + n - keep, keep);
        match = keep;
    }
    qErr result = err;
    if (ended && err == qErrNone) {
        result = qErrNone;
    } else if (err == qErrEOF) {
        // An unfinished terminator at end of file is data, too.
        size_t i = 0;
        while (i < match && stored < maxLen)
            tmp[stored++] = seen[i++];
        qErr e = sRingUnget(s, seen + i, match - i);
        result = e != qErrNone ? e : (stored > 0 ? qErrNone : qErrEOF);
    } else if (err == qErrNotReady) {
        // The ring is empty here (get is asked only then): keep the data and
        // the matched part of the terminator, in order, for the next call.
        qErr e = sRingUnget(s, tmp, stored);
        for (size_t i = 0; i < match && e == qErrNone; ++i)
            e = qStreamBufferChar(s, seen[i]);
        stored = 0;
        result = e != qErrNone ? e : qErrNotReady;
    }
    if (result == qErrNone) {
        std::memcpy(buf, tmp, stored);
        *len = stored;
    }
    std::free(tmp);
    std::free(seen);
    return result;
}

qErr qStream_WriteRecord(qStream* s, const uint8_t* data, size_t dataLen, const uint8_t* terminator,
                         size_t termLen) {
    if (!qVALIDSTREAM(s) || !data || !terminator || termLen == 0)
        return qErrParam;
    qErr e = qStream_Write(s, data, dataLen);
    if (e != qErrNone)
        return e;
    return qStream_Write(s, terminator, termLen);
}

qErr qStream_ReadCString(qStream* s, char* buf, size_t size) {
    if (!buf || size < 2)
        return qErrParam;
    static const uint8_t zero = 0;
    size_t len = 0;
    qErr e = qStream_ReadRecord(s, reinterpret_cast<uint8_t*>(buf), &len, size - 1, &zero, 1);
    buf[e == qErrNone ? len : 0] = '\0';
    return e;
}

qErr qStream_WriteCString(qStream* s, const char* str) {
    if (!str)
        return qErrParam;
    static const uint8_t zero = 0;
    return qStream_WriteRecord(s, reinterpret_cast<const uint8_t*>(str), std::strlen(str), &zero,
                               1);
}

qErr qStream_ReadCStringRecord(qStream* s, char* buf, size_t size, const char* terminator) {
    if (!buf || size < 2 || !terminator || !*terminator)
        return qErrParam;
    size_t len = 0;
    qErr e =
        qStream_ReadRecord(s, reinterpret_cast<uint8_t*>(buf), &len, size - 1,
                           reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator));
    buf[e == qErrNone ? len : 0] = '\0';
    return e;
}

qErr qStream_WriteCStringRecord(qStream* s, const char* str, const char* terminator) {
    if (!str || !terminator)
        return qErrParam;
    return qStream_WriteRecord(s, reinterpret_cast<const uint8_t*>(str), std::strlen(str),
                               reinterpret_cast<const uint8_t*>(terminator),
                               std::strlen(terminator) + 1);
}

qErr qStream_Flush(qStream* from, qStream* to) {
    if (!qVALIDSTREAM(from) || !qVALIDSTREAM(to))
        return qErrParam;
    if (!from->get || !to->put)
        return qErrMode;
    for (;;) {
        uint8_t b;
        qErr e = sNextByte(from, &b);
        if (e == qErrEOF)
            return qErrNone;
        if (e != qErrNone)
            return e;
        e = to->put(b, to->ref);
        if (e != qErrNone)
            return e;
    }
}

qErr qStream_Destroy(qStream** sp) {
    if (!sp)
        return qErrParam;
    qStream* s = *sp;
    *sp = nullptr;
    if (!qVALIDSTREAM(s))
        return qErrParam;
    qErr e = s->del ? s->del(s->ref) : qErrNone;
    std::free(s->pushBack);
    s->tag = 0;
    std::free(s);
    return e;
}

// ---- file transports -------------------------------------------------------

namespace {

qErr sFileGet(uint8_t* byte, void* ref) {
    return qFile_Read(static_cast<qUnixFile*>(ref), byte, 1, nullptr);
}

qErr sFileRead(uint8_t* dst, size_t max, size_t* got, void* ref) {
    return qFile_Read(static_cast<qUnixFile*>(ref), dst, max, got);
}

// A file always has something to say: bytes or its end.
qErr sFileWait(int, unsigned long, void*) {
    return qErrNone;
}

qErr sFilePut(uint8_t byte, void* ref) {
    return qFile_Write(static_cast<qUnixFile*>(ref), &byte, 1, nullptr);
}

qErr sFileWrite(const uint8_t* data, size_t count, void* ref) {
    size_t n = 0;
    qErr e = qFile_Write(static_cast<qUnixFile*>(ref), data, count, &n);
    if (e == qErrNone && n != count)
        return qErrIO;
    return e;
}

qErr sFileDelete(void* ref) {
    auto* f = static_cast<qUnixFile*>(ref);
    return qFile_Close(&f);
}

qErr sFileStream(const char* path, int mode, qStream** out) {
    if (!path || !out)
        return qErrResource;
    *out = nullptr;
    qUnixFile* f = qFile_Open(path, mode);
    if (!f)
        return qErrResource;
    qStream* s = mode == qFileModeRead
                     ? qStream_Create(sFileGet, nullptr, nullptr, sFileDelete, f)
                     : qStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, f);
    if (!s) {
        (void)qFile_Close(&f);
        return qErrResource;
    }
    if (mode == qFileModeRead)
        (void)qStream_SetReceive(s, sFileRead, sFileWait);
    *out = s;
    return qErrNone;
}

} // namespace

qErr qStream_CreateFileInput(const char* path, qStream** out) {
    return sFileStream(path, qFileModeRead, out);
}

qErr qStream_CreateFileOutput(const char* path, qStream** out) {
    return sFileStream(path, qFileModeWrite, out);
}
