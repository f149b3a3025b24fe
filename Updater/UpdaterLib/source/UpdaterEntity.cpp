#include "UpdaterEntity.h"

#include <cstring>

#include "Log.h"
#include "SerialNumber.h"
#include "SystemClass.h"
#include "qError.h"
#include "qTime.h"

namespace {

using Quillmar::Keystrand::Module;

const uint8_t REPLY_SIZE = 28;             // the largest packet's data bytes
const uint32_t RECONNECT_ATTEMPTS = 5;     // per kind of reconnection
const unsigned long SPINNER_STEP_MS = 250; // spinner and log pace while waiting
const unsigned long LINK_POLL_MS = 10;     // how often a direct link is looked at
const unsigned long PROBE_PAUSE_MS = 10;   // between requests to a routed module

uint32_t _big_endian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

const char* _text(qErr code) {
    return qError_GetErrorText(code);
}

} // namespace

UpdaterEntity::UpdaterEntity() : module(nullptr), verifyChecksum(true) {}

UpdaterEntity::~UpdaterEntity() {}

void UpdaterEntity::init(Module* target, uint8_t index, bool checkSums) {
    module = target;
    verifyChecksum = checkSums;
    EntityClass::init(target, cmdUPGRADE, index);
}

qErr UpdaterEntity::_send(uint8_t sub, const uint8_t* body, uint8_t count) {
    uint8_t data[REPLY_SIZE];
    data[0] = sub;
    if (count > 0)
        std::memcpy(data + 1, body, count);
    return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), data);
}

qErr UpdaterEntity::_await(uint8_t sub, uint8_t* reply, uint8_t& length) {
    const uint8_t match[2] = {cmdUPGRADE, sub};
    std::memset(reply, 0, REPLY_SIZE);
    length = sizeof match;
    return receivePacket(match, &length, reply);
}

qErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    qErr err = _send(val_UPGRADE_INIT, nullptr, 0);
    if (err != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[REPLY_SIZE];
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, reply, length);
    if (err != qErrNone)
        return err;
    if (length <= 5)
        return qErrPacket;
    uint32_t base = _big_endian32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return qErrNone;
}

qErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags,
                                    uint16_t& portion) {
    if (block == nullptr || length < 4)
        return qErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
             static_cast<int>(length), flags, portion);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(_big_endian32(block)));
    const uint8_t body[5] = {flags, block[0], block[1], block[2], block[3]};
    qErr err = _send(val_UPGRADE_PREPARE, body, sizeof body);
    if (err != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[REPLY_SIZE];
    uint8_t replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, replyLength);
    if (err != qErrNone)
        return err;
    if (replyLength < 5 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return qErrInvalidOption;
    }
    portion = static_cast<uint16_t>(reply[3] * 256 + reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             portion);
    return qErrNone;
}

qErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
    if (block == nullptr || length < 4)
        return qErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
             _big_endian32(block), static_cast<int>(length - 4));
    uint32_t counter = 0;
    return _block_transfer(block + 4, length - 4, counter);
}

qErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    qErr err = _send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[REPLY_SIZE];
    uint8_t length = 0;
    if (_await(val_UPGRADE_LOAD, reply, length) == qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return qErrNone;
    }
    err = _reconnect(500);
    if (err != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 err, _text(err));
        return qErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, length);
    if (err == qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return qErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             _text(err));
    return qErrTimeout;
}

qErr UpdaterEntity::_check_sum(uint32_t sum, uint32_t counter) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    (void)_send(val_UPGRADE_SUM, nullptr, 0); // a failed send shows as the missing reply
    uint8_t reply[REPLY_SIZE];
    uint8_t length = 0;
    if (_await(val_UPGRADE_STATUS, reply, length) != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return qErrPacket;
    }
    uint32_t moduleSum = _big_endian32(reply + 3);
    if (length >= 7 && reply[2] == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", reply[2], sum,
                 moduleSum, static_cast<int>(counter));
        return qErrNone;
    }
    Log::log(DEBUG_Always, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n",
             reply[2], sum, moduleSum);
    return qErrInvalidOption;
}

qErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t n, uint32_t& counter) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = n;
    uint32_t sum = 0;
    unsigned repeats = 0;
    qErr err = qErrNone;
    while (remaining > 0 && err == qErrNone) {
        uint8_t chunk = static_cast<uint8_t>(remaining < DATA_CHUNK ? remaining : DATA_CHUNK);
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", chunk);
        err = _send(val_UPGRADE_DATA, data, chunk);
        if (err != qErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
            return err;
        }
        uint8_t reply[REPLY_SIZE];
        uint8_t length = 0;
        if (_await(val_UPGRADE_DATA, reply, length) != qErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = qErrPacket;
            break;
        }
        uint8_t accepted = length > 2 ? reply[2] : 0;
        if (accepted != chunk) {
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted, chunk);
            if (++repeats > DATA_REPEATS) {
                Log::log(DEBUG_Always,
                         "\nNETWORK: Module refused %d bytes %u times; giving up the transfer.\n",
                         chunk, repeats);
                err = qErrPacket;
            }
            continue;
        }
        repeats = 0;
        for (uint8_t i = 0; i < chunk; ++i)
            sum += data[i];
        data += chunk;
        remaining -= chunk;
        ++counter;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 chunk, static_cast<int>(remaining), static_cast<int>(n));
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
             static_cast<int>(n - remaining), static_cast<int>(n));
    if (err != qErrNone)
        return err;
    return verifyChecksum ? _check_sum(sum, counter) : qErrNone;
}

qErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t portion,
                                     UpdaterDisplayInterface& display) {
    if (block == nullptr || length < 4)
        return qErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             _big_endian32(block), static_cast<int>(length - 4));
    if (portion == 0) {
        // A loader that takes portions of nothing could never be given the image.
        Log::log(DEBUG_Always, "NETWORK: Loader named a portion size of 0; nothing sent\n");
        return qErrInvalidOption;
    }
    uint32_t remaining = length - 4;
    const uint8_t* position = block + 4;
    uint32_t counter = 0;
    qErr err = qErrNone;
    Log::timestamped = false;
    display.display_progress(true);
    while (remaining > 0 && err == qErrNone) {
        uint32_t size = remaining < portion ? remaining : portion;
        err = _block_transfer(position, size, counter);
        if (err != qErrNone)
            break;
        remaining -= size;
        position += size;
        display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(size), static_cast<int>(remaining), static_cast<int>(length));
        err = FirmwareWrite(size);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));
    if (err != qErrNone)
        Log::log(DEBUG_Always, "NETWORK: Failed to transfer firmware\n");
    return err;
}

qErr UpdaterEntity::FirmwareWrite(uint32_t length) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    const uint8_t body[2] = {static_cast<uint8_t>(length / 256 % 256),
                             static_cast<uint8_t>(length % 256)};
    qErr err = _send(val_UPGRADE_WRITE, body, sizeof body);
    if (err != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 _text(err));
        return err;
    }
    uint8_t reply[REPLY_SIZE];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_STATUS, reply, replyLength) != qErrNone || replyLength < 3 ||
        reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return qErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return qErrNone;
}

bool UpdaterEntity::Answers() {
    Quillmar::Keystrand::SystemClass system;
    system.init(module, 0);
    uint8_t model = 0;
    qErr err = system.getModel(&model);
    return err != qErrTimeout && err != qErrConnection && err != qErrResource;
}

bool UpdaterEntity::_gone() {
    if (module == nullptr || !module->isConnected())
        return true;
    // A handle reached through a router has its networking mode off; the link
    // is the router's and stays up while the module behind it restarts.
    return !module->getNetworkingMode() && !Answers();
}

bool UpdaterEntity::WaitUntilGone(uint32_t waitMs, UpdaterDisplayInterface* spinner) {
    const unsigned long start = qTime_GetMSTicks();
    unsigned long nextStep = start;
    const unsigned long pause =
        module != nullptr && !module->getNetworkingMode() ? PROBE_PAUSE_MS : LINK_POLL_MS;
    while (!_gone()) {
        unsigned long now = qTime_GetMSTicks();
        if (now - start >= waitMs)
            return false;
        if (now >= nextStep) {
            nextStep = now + SPINNER_STEP_MS;
            if (spinner != nullptr)
                spinner->update_spinner(true, "Verifying Update");
            Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
            Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        }
        (void)qTime_MSSleep(pause);
    }
    return true;
}

qErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    qErr sent = _send(val_UPGRADE_REBOOT, nullptr, 0);
    if (sent != qErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    bool gone = WaitUntilGone(rebootWaitMs, &display);
    display.update_spinner(false, "Verifying Update");
    if (!gone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Device did not restart within %u seconds after the update; the new "
                        "firmware cannot be confirmed",
                        static_cast<unsigned>(rebootWaitMs / 1000));
        return qErrTimeout;
    }
    return sent;
}

qErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    if (module == nullptr)
        return qErrResource;
    (void)module->disconnect();
    qErr err = qErrConnection;
    for (uint32_t attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 static_cast<int>(attempt), static_cast<int>(RECONNECT_ATTEMPTS));
        err = module->reconnect();
        if (err == qErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return qErrNone;
        }
        (void)
            module->disconnect(); // a link left open in a failed state would answer the same again
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        (void)qTime_MSSleep(delayMs);
    }
    for (uint32_t attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                 static_cast<int>(attempt), static_cast<int>(RECONNECT_ATTEMPTS));
        err = module->connect(linkTypeUSB, ANY_MODULE_SERIAL);
        if (err == qErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return qErrNone;
        }
        (void)module->disconnect();
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        (void)qTime_MSSleep(delayMs);
    }
    return err;
}
