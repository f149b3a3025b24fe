// The LPC ISP client's connection and raw exchange: opening the port, writing
// text with the wait for its transmission, and the bounded byte-by-byte reads
// of echoes, lines and fixed answers.
#include "NXPSerial.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "qStream.h"
#include "qTime.h"

namespace {

const char TERMINATOR[] = "\r\n";
// A line that overflows its buffer is read to its end, but no further than
// this, so that a chip sending without pause cannot hold a read forever.
const size_t MAX_DRAIN = 4096;
// Echo bytes that do not match, and leading bytes of an answer that are
// dropped, are skipped, but no more than this many.
const size_t MAX_SKIPPED_ECHO = 256;

// The bytes as hexadecimal and as text, one log line, built only when the
// package is switched on.
void _dump(uint32_t package, const char* title, const uint8_t* bytes, size_t count) {
    if ((Log::ActivePackages() & package) == 0)
        return;
    std::string hex, text;
    char piece[8];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, "%s%02X", i ? " " : "", bytes[i]);
        hex += piece;
        text += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    }
    Log::log(package, "%s%s] [%s]\n", title, hex.c_str(), text.c_str());
}

// Advances the match of "\r\n" by one byte; a broken match restarts at the
// longest tail that still begins the terminator.
size_t _terminator_match(size_t match, uint8_t byte) {
    if (byte == static_cast<uint8_t>(TERMINATOR[match]))
        return match + 1;
    return byte == static_cast<uint8_t>(TERMINATOR[0]) ? 1 : 0;
}

} // namespace

NXPSerialClass::NXPSerialClass()
    : stream(nullptr), echo(true), baudRate(0), portName{}, deviceSerialNumber{0, 0, 0, 0},
      lastReturnCode(-1) {}

NXPSerialClass::~NXPSerialClass() {
    (void)Disconnect();
}

qErr NXPSerialClass::Connect(const char* port, uint32_t baud) {
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    (void)Disconnect();
    int index = qSerial_Baud9600; // for rates above the table
    for (int i = 0; i < 8; ++i) {
        if (rates[i] >= baud) {
            index = i;
            break;
        }
    }
    baudRate = rates[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n",
             port ? port : "", index, static_cast<int>(baudRate));
    errno = 0;
    qErr e = qStream_CreateSerial(port, index, false, qSerial_8Bits, qSerial_1StopBit, &stream);
    osError = e != qErrNone ? errno : 0;
    if (e != qErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port ? port : "",
                 qError_GetErrorText(e));
        return e;
    }
    if (std::strcmp(portName, port) != 0)
        std::snprintf(portName, sizeof portName, "%s", port);
    return qErrNone;
}

qErr NXPSerialClass::Attach(qStream* openStream, uint32_t baud) {
    if (openStream == nullptr || baud == 0)
        return qErrParam;
    (void)Disconnect();
    stream = openStream;
    baudRate = baud;
    return qErrNone;
}

qErr NXPSerialClass::Disconnect() {
    if (stream != nullptr)
        (void)qStream_Destroy(&stream);
    stream = nullptr;
    return qErrNone;
}

qErr NXPSerialClass::ReadByte(uint8_t* byte) {
    if (stream == nullptr)
        return qErrParam;
    return qStream_Read(stream, byte, 1);
}

void NXPSerialClass::SleepFor(const char* text) {
    size_t length = std::strlen(text);
    double ms =
        1.0 + 9.0 * static_cast<double>(length + 2) / static_cast<double>(baudRate) * 1000.0;
    Log::log(DEBUG_NXPSerial_SR, "Send() wait %dms\n", static_cast<int>(ms));
    (void)qTime_MSSleep(static_cast<unsigned long>(ms));
}

qErr NXPSerialClass::SendUnpaced(const char* text) {
    if (stream == nullptr || text == nullptr)
        return qErrParam;
    size_t length = std::strlen(text);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
    _dump(DEBUG_NXPSerial_SR, "Sending:[", bytes, length);
    qErr e = qStream_Write(stream, bytes, length);
    if (e != qErrNone)
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", qError_GetErrorText(e));
    return e;
}

qErr NXPSerialClass::Send(const char* text, bool readEcho) {
    if (stream == nullptr || text == nullptr || baudRate == 0)
        return qErrParam;
    qErr e = SendUnpaced(text);
    SleepFor(text);
    size_t length = std::strlen(text);
    if (readEcho && length > 1) {
        size_t echoed = 0;
        (void)GetEcho(text, length - 1, &echoed); // the answer that follows tells
    }
    return e;
}

qErr NXPSerialClass::GetEcho(const char* expected, size_t count, size_t* received) {
    *received = 0;
    qErr last = qErrNone;
    uint32_t failed = 0;
    size_t skipped = 0;
    std::string got;
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%.*s])\n", static_cast<int>(count), expected);
    while (*received < count && failed < REPLY_BUDGET && skipped < MAX_SKIPPED_ECHO) {
        uint8_t byte = 0;
        last = ReadByte(&byte);
        if (last != qErrNone) {
            ++failed;
            Log::log(DEBUG_NXPSerial_E, ".");
            (void)qTime_MSSleep(1);
            continue;
        }
        if (byte == static_cast<uint8_t>(expected[*received])) {
            ++*received;
            got += static_cast<char>(byte);
            Log::log(DEBUG_NXPSerial_E, " %02X", byte);
        } else {
            ++skipped;
            Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", byte,
                     static_cast<uint8_t>(expected[*received]));
        }
    }
    _dump(DEBUG_NXPSerial_E, "recv Echo:[", reinterpret_cast<const uint8_t*>(got.data()),
          got.size());
    return last;
}

qErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* received, uint32_t budget) {
    *received = 0;
    if (buffer == nullptr || size < 2)
        return qErrParam;
    qErr last = qErrNone;
    size_t match = 0, drained = 0;
    while (match < TERMINATION_SIZE && budget > 0 && drained < MAX_DRAIN) {
        uint8_t byte = 0;
        last = ReadByte(&byte);
        if (last != qErrNone || (byte == '\n' && *received == 0 && drained == 0)) {
            --budget;
            Log::log(DEBUG_NXPSerial_E, last != qErrNone ? "." : ",");
            (void)qTime_MSSleep(1);
            continue;
        }
        if (*received < size - 1)
            buffer[(*received)++] = static_cast<char>(byte);
        else
            ++drained;
        match = _terminator_match(match, byte);
    }
    buffer[*received] = '\0';
    bool terminated = match == TERMINATION_SIZE;
    _dump(DEBUG_NXPSerial_SR, "GetLine() Received: [", reinterpret_cast<uint8_t*>(buffer),
          *received);
    Log::log(DEBUG_NXPSerial_SR, "] %d %s [%s]\n", static_cast<int>(*received),
             terminated ? "term" : "non-term", qError_GetErrorText(last));
    if (drained > 0) {
        // The rest of an over-long line is gone, so the next read starts
        // at the next line; this one is refused rather than cut.
        Log::log(DEBUG_NXPSerial, "GetLine() line longer than %d characters refused\n",
                 static_cast<int>(size - 1));
        return qErrOverrun;
    }
    return last;
}

qErr NXPSerialClass::Response(char* buffer, size_t size, size_t* received, const char* expected,
                              size_t expectedLength) {
    *received = 0;
    if (buffer == nullptr || size < 2)
        return qErrParam;
    size_t planned = expected ? expectedLength : size - 1;
    if (planned > size - 1)
        planned = size - 1; // never past the buffer, whatever the caller expects
    if (planned == 0)
        planned = 1;
    uint32_t wait = WAIT_TIME_MS(expectedLength, baudRate) + 20;
    Log::log(DEBUG_NXPSerial_SR, "Response() wait for serial [%d bytes, %d, %d ms]\n",
             static_cast<int>(expectedLength), static_cast<int>(baudRate), static_cast<int>(wait));
    (void)qTime_MSSleep(wait);
    uint32_t perFailure = static_cast<uint32_t>(wait / planned + 1);
    qErr last = qErrNone;
    uint32_t failed = 0;
    size_t match = 0, ignored = 0;
    while (*received < planned && match < TERMINATION_SIZE && failed < REPLY_BUDGET &&
           ignored < MAX_SKIPPED_ECHO) {
        uint8_t byte = 0;
        last = ReadByte(&byte);
        if (last != qErrNone) {
            ++failed;
            (void)qTime_MSSleep(perFailure);
            continue;
        }
        if (*received == 0 && (byte == '\n' || byte == '\r')) {
            Log::log(DEBUG_NXPSerial, byte == '\n' ? "Response ignoring leading \\n\n"
                                                   : "Response ignoring leading \\r\n");
            ++ignored;
            continue;
        }
        if (*received < 3 && byte == 0) {
            Log::log(DEBUG_NXPSerial, "Response ignoring leading 0 byte\n");
            ++ignored;
            continue;
        }
        if (expected && *received < expectedLength &&
            byte != static_cast<uint8_t>(expected[*received])) {
            Log::log(DEBUG_NXPSerial,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != "
                     "%c [%02X]]\n",
                     static_cast<int>(*received), byte, std::isprint(byte) ? byte : '.',
                     expected[*received], static_cast<uint8_t>(expected[*received]));
        }
        buffer[(*received)++] = static_cast<char>(byte);
        match = _terminator_match(match, byte);
    }
    buffer[*received] = '\0';
    _dump(DEBUG_NXPSerial_SR, "Response: [", reinterpret_cast<uint8_t*>(buffer), *received);
    return last;
}

qErr NXPSerialClass::SendCommand(const char* command, int waitMs) {
    if (stream == nullptr || command == nullptr)
        return qErrParam;
    size_t length = std::strlen(command);
    _dump(DEBUG_NXPSerial_SR, "Sending:[", reinterpret_cast<const uint8_t*>(command), length);
    qErr e = qStream_Write(stream, reinterpret_cast<const uint8_t*>(command), length);
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
        (void)qTime_MSSleep(static_cast<unsigned long>(waitMs));
    }
    if (e != qErrNone) {
        Log::log(DEBUG_NXPSerial, "Error SendCommand() [%s]\n", qError_GetErrorText(e));
        return e;
    }
    if (echo && length > 1) {
        size_t echoed = 0;
        (void)GetEcho(command, length - 1, &echoed);
        if (echoed < length - 1)
            Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n",
                     static_cast<int>(echoed), static_cast<int>(length - 1));
    }
    return e;
}
