// The LPC ISP client's requests: synchronisation, queries, the flash
// commands, and memory transfers in uuencoded lines with checksums.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "NXPSerial.h"
#include "qTime.h"

namespace {

const char SYNC_ANSWER[] = "Synchronized\r\n";
const int COMPARE_ERROR = 10;

bool _is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The return code in a reply line is the one at index (the last digit before
// the terminator with echo on, the first character without). It is success
// only when that digit is a 0 standing alone: "10\r\n" (COMPARE_ERROR) is no
// success although its last digit is 0.
bool _code_is_success(const char* line, size_t length, size_t index) {
    if (index >= length || line[index] != '0')
        return false;
    if (index > 0 && _is_digit(line[index - 1]))
        return false;
    return !_is_digit(line[index + 1]);
}

void _percent_log(uint32_t done, uint32_t total, const char* format) {
    double percent = total ? 100.0 * done / total : 100.0;
    Log::log(DEBUG_NXPSerial, format, static_cast<int>(done), static_cast<int>(total), percent);
}

} // namespace

qErr NXPSerialClass::ReturnCode(const char* command, uint32_t budget, bool logError,
                                const char* errorPrefix, char* line, size_t size) {
    size_t length = 0;
    lastReturnCode = -1;
    qErr e = GetLine(line, size, &length, budget);
    if (e != qErrNone) {
        if (logError)
            Log::log(DEBUG_NXPSerial, "%sError response ==>[no answer to %.*s: %s]\n", errorPrefix,
                     static_cast<int>(std::strcspn(command, "\r\n")), command,
                     qError_GetErrorText(e));
        return e;
    }
    long code = -1;
    size_t index = GetErrorIndex(length);
    if (index < length && _is_digit(line[index])) {
        size_t start = index;
        while (start > 0 && _is_digit(line[start - 1]))
            --start;
        if (ParseReplyNumber(line + start, &code))
            lastReturnCode = static_cast<int>(code < 0 || code > MAX_ERROR ? MAX_ERROR : code);
    }
    if (_code_is_success(line, length, index))
        return qErrNone;
    if (logError)
        Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", errorPrefix,
                 lastReturnCode >= 0 ? ERROR_TEXT[lastReturnCode] : GetErrorText(line));
    return qErrParam;
}

qErr NXPSerialClass::Request(const char* command, uint32_t budget, bool logError) {
    qErr e = SendCommand(command, 0);
    if (e != qErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%.*s] [%s]\n",
                 static_cast<int>(std::strcspn(command, "\r\n")), command, qError_GetErrorText(e));
        lastReturnCode = -1;
        return e;
    }
    char line[64];
    return ReturnCode(command, budget, logError, "", line, sizeof line);
}

qErr NXPSerialClass::ReadNumberLine(unsigned long* value) {
    char line[32];
    size_t length = 0;
    qErr e = GetLine(line, sizeof line, &length, REPLY_BUDGET);
    if (e != qErrNone)
        return e;
    long parsed = 0;
    if (!ParseReplyNumber(line, &parsed) || parsed < 0) {
        Log::log(DEBUG_NXPSerial, "Expected a number, got [%s]\n", line);
        return qErrParse;
    }
    *value = static_cast<unsigned long>(parsed);
    return qErrNone;
}

namespace {

// The chip's answer to a checksum line: it is in the data phase of a write.
bool _is_checksum_answer(const char* line) {
    return std::strcmp(line, "RESEND\r\n") == 0 || std::strcmp(line, "OK\r\n") == 0;
}

} // namespace

// A chip whose ROM already runs its command handler (synchronised by an
// earlier run and not reset since) does not answer "?" with the autobaud
// greeting. Ending the line and switching its echo on gives a known state:
// its answer "0" shows that it listens. A chip that says nothing to that may
// sit in the data phase of a RAM write that its host abandoned (a run that
// was killed): it takes every line as data and answers only a checksum line,
// so enough empty lines to reach one tell it apart from a silent port
// (qErrMode: the chip needs a reset into ISP mode).
qErr NXPSerialClass::ResyncCommandMode() {
    Log::log(DEBUG_NXPSerial, "Sync: trying the command handler of a chip already in ISP mode\n");
    qErr e = Send("\r\nA 1\r\n", false);
    if (e != qErrNone)
        return e;
    char line[64];
    for (int i = 0; i < 5; ++i) {
        size_t length = 0;
        e = GetLine(line, sizeof line, &length, REPLY_BUDGET);
        if (e != qErrNone && e != qErrOverrun)
            break;
        if (std::strcmp(line, "0\r\n") == 0) {
            echo = true;
            Log::log(DEBUG_NXPSerial, "Device already synchronized\n");
            return qErrNone;
        }
        if (std::strcmp(line, "RESEND\r\n") == 0) { // a line above was taken as a checksum
            Log::log(DEBUG_NXPSerial, "Sync: the chip is stuck in the data phase of a RAM write\n");
            return qErrMode;
        }
    }
    std::string probe;
    for (uint32_t i = 0; i <= LINES_PER_CHECKSUM; ++i)
        probe += "\r\n";
    if (Send(probe.c_str(), false) != qErrNone)
        return e == qErrNone ? qErrIO : e;
    // The chip answers only once it has taken all the lines as data and
    // checked the checksum line: a slower answer than a command's, so it
    // gets a longer wait (only a port where no chip answers pays for it).
    // Whatever else comes first (echoed lines, answers to the lines above)
    // is passed over.
    for (uint32_t i = 0; i < 2 * LINES_PER_CHECKSUM + 4; ++i) {
        size_t length = 0;
        qErr got = GetLine(line, sizeof line, &length, STUCK_PROBE_BUDGET);
        if (got != qErrNone && got != qErrOverrun)
            break;
        if (_is_checksum_answer(line)) {
            Log::log(DEBUG_NXPSerial, "Sync: the chip is stuck in the data phase of a RAM write\n");
            return qErrMode;
        }
    }
    return e == qErrNone ? qErrIO : e;
}

qErr NXPSerialClass::Sync() {
    char answer[64];
    size_t received = 0;
    (void)Send("?", false); // a failed send shows as the missing answer
    qErr e = Response(answer, sizeof answer, &received, SYNC_ANSWER, 14);
    if (e != qErrNone) {
        Log::log(DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: "
                 "[%s]\n",
                 qError_GetErrorText(e), answer);
        qErr resync = ResyncCommandMode();
        if (resync == qErrNone || resync == qErrMode)
            return resync;
        return e;
    }
    if (std::strncmp(answer, SYNC_ANSWER, 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", answer);

    // As above: the answers after each send and its echo tell how it went.
    (void)Send(SYNC_ANSWER, false);
    (void)GetEcho(SYNC_ANSWER, 13, &received);
    e = Response(answer, sizeof answer, &received, "OK\r\n", 4);
    if (std::strncmp(answer, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", answer,
                 "OK\r\n");
        return qErrIO;
    }

    char crystal[16];
    std::snprintf(crystal, sizeof crystal, "%d\r\n",
                  static_cast<int>(0.5 + static_cast<double>(CRYSTAL_DEFAULT) * 1000.0));
    (void)Send(crystal, false);
    (void)GetEcho(crystal, std::strlen(crystal) - 1, &received);
    e = Response(answer, sizeof answer, &received, "OK\r\n", 4);
    if (e == qErrNone && std::strncmp(answer, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", answer,
                 "OK\r\n");
        return qErrIO;
    }
    echo = true; // the command handler starts with its echo on
    return e;
}

qErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor) {
    qErr e = Request("K\r\n", REPLY_BUDGET, false);
    unsigned long values[2] = {0, 0};
    for (int i = 0; i < 2 && e == qErrNone; ++i)
        e = ReadNumberLine(&values[i]);
    if (e != qErrNone)
        return e;
    *major = static_cast<uint8_t>(values[0]);
    *minor = static_cast<uint8_t>(values[1]);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *major, *minor);
    return qErrNone;
}

qErr NXPSerialClass::GetPartNumber(int64_t* part) {
    unsigned long value = 0;
    qErr e = Request("J\r\n", REPLY_BUDGET, false);
    if (e == qErrNone)
        e = ReadNumberLine(&value);
    if (e != qErrNone)
        return e;
    *part = static_cast<int64_t>(value);
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n",
             static_cast<long long>(*part));
    return qErrNone;
}

qErr NXPSerialClass::GetDeviceID() {
    // Only a complete answer counts: a chip that stops answering halfway
    // leaves the stored identifier as it was.
    unsigned long words[4] = {0, 0, 0, 0};
    qErr e = Request("N\r\n", REPLY_BUDGET, false);
    for (int i = 0; i < 4 && e == qErrNone; ++i)
        e = ReadNumberLine(&words[i]);
    if (e != qErrNone) {
        Log::log(DEBUG_NXPSerial, "GetDeviceID() incomplete answer [%s]\n", qError_GetErrorText(e));
        return e;
    }
    for (int i = 0; i < 4; ++i)
        deviceSerialNumber[i] = static_cast<uint32_t>(words[i]);
    return qErrNone;
}

qErr NXPSerialClass::ExecuteFrom(uint32_t address) {
    char command[32];
    std::snprintf(command, sizeof command, "G %u T\r\n", address);
    // The ROM answers before it jumps: a refusal leaves the chip in ISP mode.
    return Request(command, REPLY_BUDGET, true);
}

qErr NXPSerialClass::SetEcho(bool on) {
    char command[16];
    std::snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    qErr e = Request(command, REPLY_BUDGET, false);
    if (e == qErrNone)
        echo = on;
    return e;
}

qErr NXPSerialClass::SetBaudRate(uint32_t baud) {
    char command[32];
    std::snprintf(command, sizeof command, "B %u %d\r\n", baud, 1);
    return Request(command, REPLY_BUDGET, false);
}

qErr NXPSerialClass::Unlock() {
    char command[16];
    std::snprintf(command, sizeof command, "U %u\r\n", UNLOCK_CODE);
    return Request(command, REPLY_BUDGET, false);
}

qErr NXPSerialClass::Prepare(uint32_t first, uint32_t last) {
    if (last < first)
        return qErrParam;
    char command[32];
    std::snprintf(command, sizeof command, "P %u %u\r\n", first, last);
    return Request(command, REPLY_BUDGET, true);
}

qErr NXPSerialClass::Erase(uint32_t first, uint32_t last) {
    if (last < first)
        return qErrParam;
    char command[32];
    std::snprintf(command, sizeof command, "E %u %u\r\n", first, last);
    return Request(command, EraseBudget(first, last), true);
}

qErr NXPSerialClass::CopyToFlash(uint32_t flash, uint32_t ram, uint32_t length) {
    if (flash % 256 != 0 || CopyLength(length) != length || length > 4096)
        return qErrParam;
    char command[48];
    std::snprintf(command, sizeof command, "C %u %u %u\r\n", flash, ram, length);
    return Request(command, CopyBudget(length), true);
}

qErr NXPSerialClass::Compare(uint32_t address1, uint32_t address2, uint32_t length,
                             uint32_t* mismatchOffset) {
    if (mismatchOffset)
        *mismatchOffset = 0xFFFFFFFF;
    char command[48];
    std::snprintf(command, sizeof command, "M %u %u %u\r\n", address1, address2, length);
    qErr e = Request(command, REPLY_BUDGET, true);
    if (e == qErrParam && lastReturnCode == COMPARE_ERROR) {
        unsigned long offset = 0;
        if (ReadNumberLine(&offset) == qErrNone && mismatchOffset)
            *mismatchOffset = static_cast<uint32_t>(offset);
        Log::log(DEBUG_NXPSerial, "Compare() first difference at offset %lu\n", offset);
    }
    return e;
}

qErr NXPSerialClass::SendChecksum(const uint8_t* data, uint32_t count, char* reply, size_t size,
                                  uint32_t wireMs) {
    char line[24];
    int32_t total = sum(data, count);
    std::snprintf(line, sizeof line, "%d\r\n", static_cast<int>(total));
    Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", static_cast<unsigned>(total),
             static_cast<int>(total));
    qErr e = Send(line, echo);
    if (e != qErrNone)
        return e;
    unsigned long started = qTime_GetMSTicks();
    size_t length = 0;
    e = GetLine(reply, size, &length, CHECKSUM_REPLY_BUDGET + wireMs);
    Log::log(DEBUG_NXPSerial, "Write() waited for checksum %d ms\n",
             static_cast<int>(qTime_GetMSTicks() - started));
    return e;
}

qErr NXPSerialClass::Write(uint32_t ram, uint32_t length, const uint8_t* data) {
    if (length == 0 || length % 4 != 0 || data == nullptr)
        return qErrParam;
    char command[48], line[72];
    std::snprintf(command, sizeof command, "W %u %u\r\n", ram, length);
    qErr e = SendCommand(command, 0);
    if (e != qErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%.*s] [%s]\n",
                 static_cast<int>(std::strcspn(command, "\r\n")), command, qError_GetErrorText(e));
        return e;
    }
    e = ReturnCode(command, REPLY_BUDGET, true, "Write() ", line, sizeof line);
    uint32_t confirmed = 0, position = 0, lines = 0, retries = MAX_READ_RETRY, blockChars = 0;
    while (e == qErrNone && position < length) {
        uint32_t count = length - position;
        if (count > MAX_BYTES_PER_LINE)
            count = MAX_BYTES_PER_LINE;
        uuencode(line, data + position, count);
        if (echo) {
            e = Send(line, true);
            if (e == qErrNone)
                e = Send("\r\n", true);
        } else {
            // Without an echo to read, the lines of a block go out back to
            // back, with no pause of their own: a block (at most 20 lines and
            // its checksum, about 1.3 KB) fits the port's transmit buffer,
            // and the wait for the chip's answer to the checksum covers its
            // time on the wire. A pause per line costs more than the line at
            // 230400 baud once the sleep overshoots.
            std::strcat(line, "\r\n");
            e = SendUnpaced(line);
            blockChars += static_cast<uint32_t>(std::strlen(line));
        }
        if (e != qErrNone)
            break;
        position += count;
        if (++lines < LINES_PER_CHECKSUM && position < length)
            continue;
        lines = 0;
        e = SendChecksum(data + confirmed, position - confirmed, line, sizeof line,
                         WAIT_TIME_MS(blockChars, baudRate));
        blockChars = 0;
        if (e != qErrNone)
            break;
        if (std::strcmp(line, "OK\r\n") == 0) {
            confirmed = position;
            _percent_log(confirmed, length, "Write() valid transfer of %d of %d (%.0f%%) bytes\n");
        } else if (std::strcmp(line, "RESEND\r\n") == 0) {
            if (--retries == 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                e = qErrTimeout;
            }
            position = confirmed;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
            e = qErrIO;
        }
    }
    return e;
}

qErr NXPSerialClass::ReadChecksum(uint32_t expected, bool* good) {
    unsigned long value = 0;
    qErr e = ReadNumberLine(&value);
    *good = e == qErrNone && value == expected;
    return e;
}

qErr NXPSerialClass::Read(uint32_t address, uint32_t length, uint8_t* data) {
    if (length == 0 || length % 4 != 0 || data == nullptr)
        return qErrParam;
    char command[48], line[96];
    std::snprintf(command, sizeof command, "R %u %u\r\n", address, length);
    qErr e = Request(command, REPLY_BUDGET, true);
    uint32_t confirmed = 0, position = 0, lines = 0, retries = MAX_READ_RETRY;
    while (e == qErrNone && position < length) {
        size_t received = 0;
        e = GetLine(line, sizeof line, &received, REPLY_BUDGET);
        if (e != qErrNone)
            break;
        position += uudecode(data + position, length - position, line);
        if (++lines < LINES_PER_CHECKSUM && position < length)
            continue;
        lines = 0;
        bool good = false;
        e = ReadChecksum(static_cast<uint32_t>(sum(data + confirmed, position - confirmed)), &good);
        if (e != qErrNone)
            break;
        if (good) {
            (void)Send("OK\r\n", false); // a lost OK shows in the next checksum
            if (echo)
                (void)GetEcho("OK\r\n", position < length ? 3 : 4, &received);
            confirmed = position;
            _percent_log(confirmed, length, "valid receipt of %d of %d (%.0f%%) bytes\n");
        } else if (--retries == 0) {
            Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
            e = qErrTimeout;
        } else {
            (void)Send("RESEND\r\n", echo);
            position = confirmed;
        }
    }
    return e;
}
