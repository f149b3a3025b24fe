// The logger thread: calls its record writer until it is disabled.
#include "qLogger.h"

#include <atomic>
#include <new>
#include <system_error>
#include <thread>

#include "qFile.h"

namespace {

constexpr uint16_t kLoggerTag = 0xDEED;

} // namespace

// The control calls (enable, disable, destroy) come from one thread at a
// time; the logger's thread only reads running, linkId, writer and file.
struct qLogger {
    uint32_t linkId;
    qLoggerWriter writer;
    qUnixFile* file; // owned
    std::thread thread;
    std::atomic<bool> running{false}; // written by the controller, polled by the thread
    uint16_t tag;
};

namespace {

bool validLogger(const qLogger* l) {
    return l != nullptr && l->tag == kLoggerTag;
}

// The logger whose loop runs on this thread, if any.
thread_local const qLogger* tRunning = nullptr;

void sRunLog(qLogger* logger) {
    tRunning = logger;
    while (logger->running.load()) {
        logger->writer(logger->file, logger->linkId);
    }
}

bool onOwnThread(const qLogger* l) {
    return tRunning == l;
}

} // namespace

qLogger* qLogger_Create(uint32_t linkId, qLoggerWriter writer, const char* path) {
    if (writer == nullptr || path == nullptr) {
        return nullptr;
    }
    qLogger* l = new (std::nothrow) qLogger;
    if (l == nullptr) {
        return nullptr;
    }
    l->linkId = linkId;
    l->writer = writer;
    l->file = qFile_Open(path, qFileModeAppend);
    if (l->file == nullptr) {
        delete l;
        return nullptr;
    }
    (void)qFile_SetUnbuffered(l->file);
    l->tag = kLoggerTag;
    return l;
}

qErr qLogger_Enable(qLogger* logger) {
    if (!validLogger(logger)) {
        return qErrParam;
    }
    if (logger->running.load()) {
        return qErrNone;
    }
    logger->running = true;
    try {
        logger->thread = std::thread(sRunLog, logger);
    } catch (const std::system_error&) {
        logger->running = false;
        return qErrResource;
    }
    return qErrNone;
}

qErr qLogger_Disable(qLogger* logger) {
    if (!validLogger(logger)) {
        return qErrParam;
    }
    if (!logger->running.load() || onOwnThread(logger)) {
        return qErrNone;
    }
    logger->running = false;
    try {
        logger->thread.join();
    } catch (const std::system_error&) {
        return qErrUnknown;
    }
    return qErrNone;
}

qErr qLogger_Destroy(qLogger** logger) {
    if (logger == nullptr || !validLogger(*logger)) {
        return qErrNone;
    }
    qLogger* l = *logger;
    if (l->running.load() && onOwnThread(l)) {
        // Freeing it here would pull the logger from under its own loop.
        return qErrBusy;
    }
    qErr e = qLogger_Disable(l);
    if (e != qErrNone) {
        return e; // the thread may still write: keep its file and record
    }
    (void)qFile_Close(&l->file);
    l->tag = 0;
    delete l;
    *logger = nullptr;
    return qErrNone;
}
