// Fingerprinting (-N) and recovery (-U -t RECOVER) of a module whose firmware
// no longer runs, through its chip's ROM bootloader.
//
// An NXP LPC chip answers the serial ISP protocol: its ROM reports the chip's
// identifier and writes the flash itself. An i.MX chip is reached through a
// live loader that its ROM starts (Updater_RecoverImx.cpp).
//
// Each step is a small function that returns whether it succeeded and, when
// it did not, has told the user why in one message. Nothing on the chip is
// erased before the image to write is known to be writable whole.
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "NXPSerial.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterRecoverImx.h"
#include "qTime.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const uint8_t CHIP_IMX = 1;
const uint8_t CHIP_LPC = 2;
const uint32_t CHUNK_SIZE = 4096;
const uint32_t LAST_SECTOR = NXPSerialClass::SECTOR_COUNT - 1;
// In ISP mode the chip maps its boot ROM's vectors over the first 64 bytes
// of flash, so a compare of flash at address 0 starts past them.
const uint32_t BOOT_VECTORS_SIZE = 64;

std::string _text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string _text(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// Why a request failed, in the user's words.
std::string _cause(const NXPSerialClass& nxp, qErr e) {
    int code = nxp.LastReturnCode();
    if (e == qErrParam && code > 0)
        return _text("the chip answered %s", NXPSerialClass::ERROR_TEXT[code]);
    if (e == qErrNotReady)
        return "the chip did not answer";
    if (e == qErrTimeout)
        return "the chip kept asking for the data again";
    return _text("%s (%s)", qError_GetErrorDescription(e), qError_GetErrorText(e));
}

// A failure while the progress bar may be up: the bar goes first, so that the
// message stands on a line of its own.
void _fail(UpdaterDisplayInterface& display, const std::string& text) {
    display.display_progress(false);
    display.message(ERROR, "%s", text.c_str());
}

bool _get_fingerprint_lpc(std::string serialPort, uint32_t baudRate, Fingerprint& out) {
    NXPSerialClass nxp;
    qErr e = nxp.Connect(serialPort.c_str(), baudRate);
    if (e != qErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", e);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    e = nxp.Sync();
    if (e != qErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", e);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (nxp.GetDeviceID() != qErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i)
        out.words[i] = nxp.DeviceSerialNumber()[i];
    return true;
}

// One firmware image as the bootloader writes it.
struct FlashImage {
    uint32_t address;
    const uint8_t* bytes;
    uint32_t length;
};

// Where the last chunk of an image ends once its copy length is rounded up.
uint32_t _copy_end(const FlashImage& image) {
    uint32_t lastChunk = (image.length - 1) / CHUNK_SIZE * CHUNK_SIZE;
    return image.address + lastChunk + NXPSerialClass::CopyLength(image.length - lastChunk);
}

// Whether the bootloader can write the image whole: RAM writes go in words,
// copies start on 256-byte boundaries and stay inside the flash.
bool _writable(UpdaterDisplayInterface& display, const FlashImage& image, int number) {
    if (image.length % 4 != 0) {
        display.message(ERROR,
                        "Firmware block %d is %u bytes long, not a multiple of 4: the bootloader "
                        "cannot write it. Nothing was erased.",
                        number, image.length);
        return false;
    }
    if (image.address % 256 != 0 || image.address >= NXPSerialClass::FLASH_SIZE ||
        _copy_end(image) > NXPSerialClass::FLASH_SIZE) {
        display.message(ERROR,
                        "Firmware block %d (%u bytes at 0x%08X) does not fit the chip's flash on "
                        "256-byte boundaries. Nothing was erased.",
                        number, image.length, image.address);
        return false;
    }
    return true;
}

// The images the recovery writes, in file order, up to the first whose
// image is 4 bytes long (the end mark of the list, usually its last block).
bool _lpc_images(UpdaterDisplayInterface& display, const BirdFile& image,
                 std::vector<FlashImage>& images) {
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        if (block.length < 4) {
            display.message(ERROR, "Firmware block %zu has no load address. Nothing was erased.",
                            i + 1);
            return false;
        }
        FlashImage flash{block.address, block.data + 4, block.length - 4};
        if (flash.length == 4)
            break;
        if (!_writable(display, flash, static_cast<int>(i + 1)))
            return false;
        images.push_back(flash);
    }
    if (images.empty()) {
        display.message(ERROR, "The BIRD file holds no firmware to write. Nothing was erased.");
        return false;
    }
    return true;
}

// Connects to the bootloader the fingerprint left synchronised, unlocks its
// flash commands and erases the whole flash.
bool _erase_flash(UpdaterDisplayInterface& display, NXPSerialClass& nxp,
                  const std::string& serialPort, uint32_t baudRate) {
    qErr e = nxp.Connect(serialPort.c_str(), baudRate);
    if (e != qErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", serialPort.c_str());
        display.message(ERROR, "Could not connect to %s: %s", serialPort.c_str(),
                        _cause(nxp, e).c_str());
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if ((e = nxp.Unlock()) != qErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        display.message(ERROR, "Could not unlock the chip's flash: %s", _cause(nxp, e).c_str());
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if ((e = nxp.Prepare(0, LAST_SECTOR)) != qErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        display.message(ERROR, "Could not prepare the chip's flash: %s", _cause(nxp, e).c_str());
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if ((e = nxp.Erase(0, LAST_SECTOR)) != qErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        display.message(ERROR, "Could not erase the chip's flash: %s", _cause(nxp, e).c_str());
        return false;
    }
    return true;
}

// The chip compares the flash just written with the RAM it came from; no
// data crosses the wire.
bool _verify_chunk(UpdaterDisplayInterface& display, NXPSerialClass& nxp, uint32_t flash,
                   uint32_t length) {
    uint32_t skip = flash < BOOT_VECTORS_SIZE ? BOOT_VECTORS_SIZE - flash : 0;
    if (length <= skip)
        return true;
    uint32_t offset = 0;
    qErr e =
        nxp.Compare(flash + skip, NXPSerialClass::WRITE_ADDRESS + skip, length - skip, &offset);
    if (e == qErrNone)
        return true;
    if (nxp.LastReturnCode() == 10 && offset != 0xFFFFFFFF) {
        _fail(display, _text("The flash at 0x%08X differs from the image after writing (first "
                             "difference at 0x%08X): the module is not recovered",
                             flash, flash + skip + offset));
    } else {
        _fail(display, _text("Could not check the flash at 0x%08X after writing: %s", flash,
                             _cause(nxp, e).c_str()));
    }
    return false;
}

// One chunk: into RAM, its sectors prepared, copied to flash and checked.
bool _write_chunk(UpdaterDisplayInterface& display, NXPSerialClass& nxp, uint32_t flash,
                  const uint8_t* bytes, uint32_t length) {
    const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n",
             static_cast<int>(length), flash);
    Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(length), ram);
    qErr e = nxp.Write(ram, length, bytes);
    if (e != qErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        _fail(display, _text("Writing %u bytes for flash address 0x%08X into the chip's RAM "
                             "failed: %s",
                             length, flash, _cause(nxp, e).c_str()));
        return false;
    }
    // The copy may reach past the chunk (its length is rounded up), so the
    // sectors prepared are those the copy writes.
    uint32_t copy = NXPSerialClass::CopyLength(length);
    uint32_t first = static_cast<uint32_t>(NXPSerialClass::SectorFromAddress(flash));
    uint32_t last = static_cast<uint32_t>(NXPSerialClass::SectorFromAddress(flash + copy - 1));
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
             static_cast<int>(last));
    if ((e = nxp.Prepare(first, last)) != qErrNone) {
        Log::log(DEBUG_Updater, "\t Prepare failed\n");
        _fail(display, _text("Could not prepare sectors %u to %u for writing: %s", first, last,
                             _cause(nxp, e).c_str()));
        return false;
    }
    Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy), ram,
             flash);
    if ((e = nxp.CopyToFlash(flash, ram, copy)) != qErrNone) {
        Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
        _fail(display, _text("Copying %u bytes to flash address 0x%08X failed: %s", copy, flash,
                             _cause(nxp, e).c_str()));
        return false;
    }
    return _verify_chunk(display, nxp, flash, length);
}

bool _write_image(UpdaterDisplayInterface& display, NXPSerialClass& nxp, const FlashImage& image,
                  int counter, int total) {
    display.message(INFO, "Transferring firmware block %d of %d, %d bytes", counter, total,
                    static_cast<int>(image.length));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
             static_cast<int>(image.length), image.address);
    for (uint32_t written = 0; written < image.length;) {
        uint32_t length = image.length - written < CHUNK_SIZE ? image.length - written : CHUNK_SIZE;
        if (!_write_chunk(display, nxp, image.address + written, image.bytes + written, length))
            return false;
        written += length;
        display.update_progress(static_cast<double>(written) / image.length, nullptr);
    }
    display.display_progress(false);
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image,
                           std::string& serialPort, uint32_t baudRate, Fingerprint&) {
    std::vector<FlashImage> images;
    NXPSerialClass nxp;
    if (!_lpc_images(display, image, images) || !_erase_flash(display, nxp, serialPort, baudRate))
        return false;
    (void)nxp.SetEcho(false); // a chip that keeps echoing is read as it answers
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.filename.c_str());
    // The count announced is that of the blocks written: one less than the
    // firmware blocks of a file that ends with its 4-byte mark, and no
    // "block 1 of 0" for a file without one.
    int total = static_cast<int>(images.size());
    uint32_t bytes = 0;
    for (size_t i = 0; i < images.size(); ++i) {
        if (!_write_image(display, nxp, images[i], static_cast<int>(i + 1), total))
            return false;
        bytes += images[i].length;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", total, static_cast<int>(bytes));
    qErr e = nxp.SetEcho(true);
    if (e != qErrNone) {
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", e,
                        qError_GetErrorText(e));
    } else {
        display.message(INFO, "Rebooting Device");
        (void)nxp.ExecuteFrom(0); // the chip starts its firmware and need not answer
    }
    return true;
}

// The module's serial number and recovery build from the update server, by
// fingerprint. A failed request leaves both as they were; it ends the
// recovery only when they do not name a build.
bool _recovery_info(UpdaterDisplayInterface& display, const std::string& serverUrl,
                    const Fingerprint& fingerprint, uint32_t& serialNumber,
                    uint32_t& recoveryBuild) {
    const char* url = serverUrl.empty() ? nullptr : serverUrl.c_str();
    if (UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &recoveryBuild,
                                             url) ||
        (serialNumber != 0 && recoveryBuild != 0))
        return true;
    display.message(ERROR, "Failed to retreive recovery information from Quillmar update server");
    return false;
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                              std::string firmwareFile, uint32_t baudRate, bool resetAfter) {
    if (_get_fingerprint_lpc(serialPort, baudRate, out)) {
        chipType = CHIP_LPC;
        return true;
    }
    chipType = CHIP_IMX;
    return _get_fingerprint_imx(display, *this, serialPort, serialNumber, firmwareFile, out,
                                resetAfter);
}

bool Updater::Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baudRate,
                               uint32_t serialNumber, std::string firmwareFile, bool) {
    unsigned long started = qTime_GetMSTicks();
    if (serialPort.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        return false;
    }
    Fingerprint fingerprint;
    // The fingerprint is read at the rate the recovery writes at: the chip
    // keeps the rate it detected when it synchronised.
    if (!Get_Fingerprint(fingerprint, serialPort, serialNumber, firmwareFile, baudRate, false)) {
        display.message(ERROR, "Could not get Device Identifier");
        return false;
    }
    uint32_t recoveryBuild = 0;
    if (firmwareFile.empty() &&
        !_recovery_info(display, serverUrl, fingerprint, serialNumber, recoveryBuild))
        return false;
    if (build != 0)
        recoveryBuild = build;
    BirdFile image;
    try {
        image = load_bird("Recovering", firmwareFile, serialNumber, recoveryBuild, true);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    if (image.hasSerialOffsets) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    bool ok;
    if (chipType == CHIP_IMX) {
        ok = _recover_firmware_imx(display, image, serialNumber);
    } else {
        image.DecodeFirmwareBlocks(fingerprint.words);
        ok = _recover_firmware_lpc(display, image, serialPort, baudRate, fingerprint);
    }
    display.message(INFO, "Update time: %.4f sec",
                    static_cast<double>(qTime_GetMSTicks() - started) / 1000.0);
    return ok;
}
