// Named POSIX mutexes, default (non-recursive) attributes.
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "qMutex.h"

namespace {

constexpr uint16_t kMutexTag = 0x4D58;

} // namespace

struct qMutex {
    uint16_t tag;
    pthread_mutex_t mutex;
    char name[qMUTEX_NAME_MAX + 1];
};

namespace {

bool validMutex(const qMutex* m) {
    return m != nullptr && m->tag == kMutexTag;
}

qErr lockError(int rc) {
    switch (rc) {
    case 0:
        return qErrNone;
    case EINVAL:
        return qErrParam;
    case EDEADLK:
        return qErrDuplicate;
    case EBUSY:
        return qErrBusy;
    default:
        return qErrUnknown;
    }
}

} // namespace

qMutex* qMutex_Create(const char* name) {
    if (name == nullptr) {
        name = "";
    }
    size_t len = strnlen(name, qMUTEX_NAME_MAX + 1);
    if (len > qMUTEX_NAME_MAX) {
        return nullptr;
    }
    qMutex* m = new (std::nothrow) qMutex;
    if (m == nullptr) {
        return nullptr;
    }
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    memcpy(m->name, name, len);
    m->name[len] = '\0';
    m->tag = kMutexTag;
    return m;
}

const char* qMutex_Identifier(const qMutex* m) {
    return validMutex(m) ? m->name : "";
}

qErr qMutex_Destroy(qMutex** handle) {
    if (handle == nullptr) {
        return qErrParam;
    }
    qMutex* m = *handle;
    *handle = nullptr;
    if (!validMutex(m)) {
        return qErrParam;
    }
    // Still held: freeing it now would pull the memory from under its
    // holder, so it stays alive for a later unlock and destroy. Probing with
    // a try-lock keeps the platform from ever seeing a locked mutex destroyed.
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc == EBUSY) {
        return qErrBusy;
    }
    if (rc == 0) {
        pthread_mutex_unlock(&m->mutex);
        rc = pthread_mutex_destroy(&m->mutex);
        if (rc == EBUSY) {
            return qErrBusy; // taken again in between
        }
    }
    m->tag = 0;
    delete m;
    switch (rc) {
    case 0:
        return qErrNone;
    case EAGAIN:
        return qErrResource;
    case EINVAL:
        return qErrParam;
    default:
        return qErrUnknown;
    }
}

qErr qMutex_Lock(qMutex* m) {
    if (!validMutex(m)) {
        return qErrParam;
    }
    qErr e = lockError(pthread_mutex_lock(&m->mutex));
    return e == qErrBusy ? qErrUnknown : e;
}

qErr qMutex_TryLock(qMutex* m) {
    if (!validMutex(m)) {
        return qErrParam;
    }
    return lockError(pthread_mutex_trylock(&m->mutex));
}

qErr qMutex_Unlock(qMutex* m) {
    if (!validMutex(m)) {
        return qErrParam;
    }
    int rc = pthread_mutex_unlock(&m->mutex);
    switch (rc) {
    case 0:
        return qErrNone;
    case EINVAL:
        return qErrParam;
    case EPERM:
        return qErrPermission;
    default:
        return qErrUnknown;
    }
}
