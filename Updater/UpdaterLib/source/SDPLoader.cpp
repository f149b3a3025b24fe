#include "SDPLoader.h"

#include <algorithm>
#include <string>

#include "Log.h"

namespace {

// Command types (sent twice, in bytes 0 and 1 of the command).
constexpr uint8_t kReadRegister = 0x01;
constexpr uint8_t kWriteFile = 0x04;
constexpr uint8_t kErrorStatus = 0x05;
constexpr uint8_t kJumpAddress = 0x0B;
constexpr uint8_t kFormat32 = 0x20;

constexpr int kAliveAttempts = 2;
constexpr int kAnswerSlices = 5;
constexpr uint32_t kAnswerWaitMs = 100;

void _putBE32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 24));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

void _fillCommand(std::vector<uint8_t>& v) {
    while (v.size() < SDP_COMMAND_SIZE)
        v.push_back(0);
}

std::vector<uint8_t> _command(uint8_t type, uint32_t address, uint8_t format, uint32_t count,
                              uint32_t data) {
    std::vector<uint8_t> v;
    v.reserve(SDP_COMMAND_SIZE);
    v.push_back(SDP_REPORT_COMMAND);
    v.push_back(type);
    v.push_back(type);
    _putBE32(v, address);
    v.push_back(format);
    _putBE32(v, count);
    _putBE32(v, data);
    _fillCommand(v);
    return v;
}

} // namespace

SDPLoader::SDPLoader() = default;
SDPLoader::~SDPLoader() = default;

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
    if (transport == nullptr || loader)
        return false;
    loader.reset(transport);
    return true;
}

uint8_t SDPLoader::init() {
    if (!loader)
        return SDP_NO_TRANSPORT;
    return loader->init() ? SDP_OK : SDP_INIT_FAILED;
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() {
    return _command(kErrorStatus, 0, 0, 0, 0);
}

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t size) {
    return _command(kWriteFile, address, kFormat32, size, 0);
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
    return _command(kJumpAddress, address, 0, 0, 0);
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
    return _command(kReadRegister, address, kFormat32, 4, 0);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& buffer) {
    std::string line;
    char hex[8];
    for (uint8_t b : buffer) {
        snprintf(hex, sizeof hex, "%X ", b);
        line += hex;
    }
    Log::log(DEBUG_iMXSerial, "%s\n", line.c_str());
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& buffer) {
    uint32_t value = 0;
    return loader->getDataFromBuffer(buffer, 0, value);
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& buffer) {
    uint32_t value = 0;
    return loader->getDataFromBuffer(buffer, 0, value) && value == SDP_STATUS_ACK;
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& buffer) {
    uint32_t value = 0;
    return loader->getDataFromBuffer(buffer, 0, value) && value == SDP_STATUS_COMPLETE;
}

// Input that nobody asked for (a late answer to an earlier command, a stray
// report) would make the answer to the next command unreadable; it goes
// before each command is sent.
void SDPLoader::_discardPending() {
    std::vector<uint8_t> stale;
    ssize_t n = loader->readData(stale, 0);
    if (n > 0) {
        Log::log(DEBUG_iMXSerial, "Discarding %zd unexpected bytes: ", n);
        _printBuffer(stale);
    }
}

// A ROM that answers late (over 100 ms) still answers the command it was
// given: each status command waits up to kAnswerSlices slices of 100 ms for
// its own answer before another one is sent, so that a late answer is never
// left over for the next command to trip on.
bool SDPLoader::_isConnectionAlive() {
    const std::vector<uint8_t> status = _createStatusPacket();
    for (int attempt = 0; attempt < kAliveAttempts; ++attempt) {
        _discardPending();
        ssize_t written = loader->writeData(status);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
        _printBuffer(status);
        std::vector<uint8_t> answer;
        for (int slice = 0; slice < kAnswerSlices; ++slice) {
            ssize_t read = loader->readData(answer, kAnswerWaitMs);
            Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
            _printBuffer(answer);
            if (_expectResponse(answer))
                return true;
        }
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

// The data phase: the image in data messages of SDP_DATA_CHUNK bytes. False
// when the ROM spoke up in between (it only does so to report an error) or
// a message could not be sent whole.
bool SDPLoader::_sendImage(const std::vector<uint8_t>& image) {
    int total = 0;
    int chunk = 0;
    size_t pos = 0;
    while (pos < image.size()) {
        std::vector<uint8_t> unsolicited;
        if (loader->readData(unsolicited, 0) > 0) {
            _printBuffer(unsolicited);
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return false;
        }
        size_t n = std::min(SDP_DATA_CHUNK, image.size() - pos);
        std::vector<uint8_t> message;
        message.reserve(n + 1);
        message.push_back(SDP_REPORT_DATA);
        message.insert(message.end(), image.begin() + static_cast<long>(pos),
                       image.begin() + static_cast<long>(pos + n));
        pos += n;
        ssize_t written = loader->writeData(message);
        if (written > 0)
            total += static_cast<int>(written);
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
                 written, total, chunk, static_cast<long>(pos),
                 static_cast<ssize_t>(message.size()));
        if (written < static_cast<ssize_t>(n)) {
            // The rest would only pile up behind a transport that gave up.
            Log::log(DEBUG_iMXSerial, "Error: loader data could not be sent\n");
            break;
        }
        ++chunk;
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    return true;
}

void SDPLoader::_sendCommand(const std::vector<uint8_t>& command) {
    _discardPending();
    ssize_t written = loader->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _printBuffer(command);
}

uint8_t SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address) {
    if (!loader)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    _sendCommand(_createWriteFilePacket(address, static_cast<uint32_t>(image.size())));
    if (!_sendImage(image))
        return SDP_ROM_ABORTED;
    std::vector<uint8_t> answer;
    loader->readData(answer, kAnswerWaitMs);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(answer);
    if (_expectSuccess(answer)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_NOT_COMPLETED;
}

uint8_t SDPLoader::startLoader(uint32_t address) {
    if (!loader)
        return SDP_NO_TRANSPORT;
    _sendCommand(_createJumpPacket(address));
    // The ROM answers the jump with its HAB word alone and hands over; a
    // status word after it is the ROM's refusal (no image header at the
    // address, or HAB closed and the image not signed).
    std::vector<uint8_t> answer;
    loader->readData(answer, kAnswerWaitMs);
    _printBuffer(answer);
    lastStatus = 0;
    if (loader->getDataFromBuffer(answer, 0, lastStatus)) {
        Log::log(DEBUG_iMXSerial, "Jump refused: status %08X\n", lastStatus);
        return SDP_JUMP_REFUSED;
    }
    return SDP_OK;
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value) {
    _sendCommand(_create4ByteReadRegisterPacket(address));
    std::vector<uint8_t> answer;
    ssize_t read = loader->readData(answer, kAnswerWaitMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
    _printBuffer(answer);
    value = 0;
    return loader->getDataFromBuffer(answer, 0, value);
}

int SDPLoader::getFingerprint(uint64_t& fingerprint) {
    if (!loader)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    uint32_t low = 0, high = 0;
    if (!_readRegister(SDP_FINGERPRINT_LOW, low) || !_readRegister(SDP_FINGERPRINT_HIGH, high))
        return SDP_NO_REGISTER;
    fingerprint |= low;
    fingerprint |= static_cast<uint64_t>(high) << 32;
    return SDP_OK;
}
