// The ROM backend of an NXP LPC17xx chip whose boot ROM answers the serial
// ISP protocol (NXPSerial.h): it reports the chip's identifier and writes
// its own flash (see RomBackend.h).
//
// The recovery never leaves a chip that would start a fragment of an image:
// the whole flash (sector 0 with the vector table and its checksum included)
// is erased before anything is written, sector 0 is written last, and only
// then is the chip told to start. A stop on the user's request (Ctrl-C,
// SIGTERM) lets the ISP command in flight finish and leaves the chip in its
// command handler, where a second run finds it.
//
// The order of the flash work is what keeps a chip recoverable: the boot ROM
// starts the flash at reset whenever the vector table in sector 0 holds a
// valid checksum. So the whole flash is erased first (the old checksum goes
// with sector 0), every other sector is written, and sector 0 comes last:
// until its copy, an interrupted run leaves a chip that stays in ISP mode.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "ConnectCause.h"
#include "Interrupt.h"
#include "Log.h"
#include "NXPSerial.h"
#include "RomBackend.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

const uint32_t CHUNK_SIZE = 4096;
const uint32_t LAST_SECTOR = NXPSerialClass::SECTOR_COUNT - 1;
const uint32_t SECTOR0_END = 0x1000;
// While the ISP handler runs, the boot ROM is mapped over the bottom 512
// bytes of the flash: reads and compares there see the ROM, so the check of
// a copy to address 0 starts past them.
const uint32_t BOOT_ROM_WINDOW = 512;

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
    if (e == qErrOverrun)
        return "the line kept bringing bytes that are no answer (a noisy line, or something "
               "else talking on it)";
    return _text("%s (%s)", qError_GetErrorDescription(e), qError_GetErrorText(e));
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

Outcome _writable(const FlashImage& image, int number) {
    if (image.length % 4 != 0)
        return Outcome::Failf(qErrSize,
                              "Firmware block %d is %u bytes long, not a multiple of 4: the "
                              "bootloader cannot write it. Nothing was erased.",
                              number, image.length);
    if (image.address % 256 != 0 || image.address >= NXPSerialClass::FLASH_SIZE ||
        _copy_end(image) > NXPSerialClass::FLASH_SIZE)
        return Outcome::Failf(qErrRange,
                              "Firmware block %d (%u bytes at 0x%08X) does not fit the chip's "
                              "flash on 256-byte boundaries. Nothing was erased.",
                              number, image.length, image.address);
    return Outcome::Ok();
}

// The images the recovery writes, in file order, up to the first whose
// image is 4 bytes long (the end mark of the list, usually its last block).
Outcome _lpc_images(const BirdFile& image, std::vector<FlashImage>& images) {
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        if (block.length < 4)
            return Outcome::Failf(
                qErrSize, "Firmware block %zu has no load address. Nothing was erased.", i + 1);
        FlashImage flash{block.address, block.data + 4, block.length - 4};
        if (flash.length == 4)
            break;
        Outcome writable = _writable(flash, static_cast<int>(i + 1));
        if (!writable.ok())
            return writable;
        images.push_back(flash);
    }
    if (images.empty())
        return Outcome::Fail(qErrNotFound,
                             "The BIRD file holds no firmware to write. Nothing was erased.");
    return Outcome::Ok();
}

// One piece of the work: up to 4096 bytes of one image.
struct Chunk {
    size_t image;
    uint32_t offset;
    uint32_t length;
};

// Every chunk, in file order, except that those reaching into sector 0 come
// after all others.
std::vector<Chunk> _write_order(const std::vector<FlashImage>& images) {
    std::vector<Chunk> rest, sector0;
    for (size_t i = 0; i < images.size(); ++i) {
        for (uint32_t offset = 0; offset < images[i].length; offset += CHUNK_SIZE) {
            uint32_t left = images[i].length - offset;
            Chunk chunk{i, offset, left < CHUNK_SIZE ? left : CHUNK_SIZE};
            (images[i].address + offset < SECTOR0_END ? sector0 : rest).push_back(chunk);
        }
    }
    rest.insert(rest.end(), sector0.begin(), sector0.end());
    return rest;
}

// Connects to the bootloader the fingerprint left synchronised, unlocks its
// flash commands and erases the whole flash, sector 0 with it.
Outcome _erase_flash(NXPSerialClass& nxp, const std::string& serialPort, uint32_t baudRate) {
    qErr e = nxp.Connect(serialPort.c_str(), baudRate);
    if (e != qErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", serialPort.c_str());
        return Outcome::Fail(e, "Could not connect to " + serialPort + ": " + _cause(nxp, e));
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if ((e = nxp.Unlock()) != qErrNone)
        return Outcome::Fail(e, "Could not unlock the chip's flash: " + _cause(nxp, e));
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if ((e = nxp.Prepare(0, LAST_SECTOR)) != qErrNone)
        return Outcome::Fail(e, "Could not prepare the chip's flash: " + _cause(nxp, e));
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if ((e = nxp.Erase(0, LAST_SECTOR)) != qErrNone)
        return Outcome::Fail(e, "Could not erase the chip's flash: " + _cause(nxp, e));
    return Outcome::Ok();
}

// The chip compares the flash just written with the RAM it came from; no
// data crosses the wire.
Outcome _verify_chunk(NXPSerialClass& nxp, uint32_t flash, uint32_t length) {
    uint32_t skip = flash < BOOT_ROM_WINDOW ? BOOT_ROM_WINDOW - flash : 0;
    if (length <= skip)
        return Outcome::Ok();
    uint32_t offset = 0;
    qErr e =
        nxp.Compare(flash + skip, NXPSerialClass::WRITE_ADDRESS + skip, length - skip, &offset);
    if (e == qErrNone)
        return Outcome::Ok();
    if (nxp.LastReturnCode() == 10 && offset != 0xFFFFFFFF)
        return Outcome::Failf(qErrMedia,
                              "The flash at 0x%08X differs from the image after writing (first "
                              "difference at 0x%08X): the module is not recovered",
                              flash, flash + skip + offset);
    return Outcome::Fail(e, _text("Could not check the flash at 0x%08X after writing: %s", flash,
                                  _cause(nxp, e).c_str()));
}

// One chunk into the chip's RAM.
Outcome _load_chunk(NXPSerialClass& nxp, uint32_t flash, const uint8_t* bytes, uint32_t length) {
    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n",
             static_cast<int>(length), flash);
    qErr e = nxp.Write(NXPSerialClass::WRITE_ADDRESS, length, bytes);
    if (e != qErrNone)
        return Outcome::Fail(e, _text("Writing %u bytes for flash address 0x%08X into the chip's "
                                      "RAM failed: %s",
                                      length, flash, _cause(nxp, e).c_str()));
    return Outcome::Ok();
}

// The chunk in RAM: its sectors prepared, copied to flash and checked.
Outcome _program_chunk(NXPSerialClass& nxp, uint32_t flash, uint32_t length) {
    const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
    // The copy may reach past the chunk (its length is rounded up), so the
    // sectors prepared are those the copy writes.
    uint32_t copy = NXPSerialClass::CopyLength(length);
    uint32_t first = static_cast<uint32_t>(NXPSerialClass::SectorFromAddress(flash));
    uint32_t last = static_cast<uint32_t>(NXPSerialClass::SectorFromAddress(flash + copy - 1));
    qErr e = nxp.Prepare(first, last);
    if (e != qErrNone)
        return Outcome::Fail(e, _text("Could not prepare sectors %u to %u for writing: %s", first,
                                      last, _cause(nxp, e).c_str()));
    Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy), ram,
             flash);
    if ((e = nxp.CopyToFlash(flash, ram, copy)) != qErrNone)
        return Outcome::Fail(e, _text("Copying %u bytes to flash address 0x%08X failed: %s", copy,
                                      flash, _cause(nxp, e).c_str()));
    return _verify_chunk(nxp, flash, length);
}

// What a stop on the user's request leaves: the chip in its command handler
// with its echo on, as a second run expects it.
Outcome _stopped(NXPSerialClass& nxp, uint32_t written, uint32_t total) {
    (void)nxp.SetEcho(true); // best effort: a rerun switches it on again anyway
    return Outcome::Failf(qErrCancel,
                          "Recovery stopped on request after %u of %u bytes: the chip waits in "
                          "ISP mode with no image it would start; run the same command again to "
                          "finish",
                          written, total);
}

// Writes every chunk in the order that keeps sector 0 last, with a progress
// bar per firmware block.
Outcome _write_flash(UpdaterDisplayInterface& display, NXPSerialClass& nxp,
                     const std::vector<FlashImage>& images, uint32_t total) {
    const int count = static_cast<int>(images.size());
    std::vector<uint32_t> done(images.size(), 0);
    size_t shown = images.size(); // the block whose bar is up
    uint32_t written = 0;
    for (const Chunk& chunk : _write_order(images)) {
        const FlashImage& image = images[chunk.image];
        const int number = static_cast<int>(chunk.image + 1);
        if (chunk.image != shown) {
            display.display_progress(false);
            if (done[chunk.image] == 0)
                display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number,
                                count, static_cast<int>(image.length));
            else
                display.message(INFO, "Finishing firmware block %d of %d: sector 0 goes last",
                                number, count);
            display.display_progress(true);
            shown = chunk.image;
        }
        // A stop waits for the ISP command in flight: it is looked at before
        // each chunk and between its RAM write and its copy to flash.
        const uint32_t flash = image.address + chunk.offset;
        Outcome out = StopRequested()
                          ? _stopped(nxp, written, total)
                          : _load_chunk(nxp, flash, image.bytes + chunk.offset, chunk.length);
        if (out.ok())
            out = StopRequested() ? _stopped(nxp, written, total)
                                  : _program_chunk(nxp, flash, chunk.length);
        if (!out.ok()) {
            display.display_progress(false);
            if (out.interrupted())
                return out; // its one line says where the chip stands
            return out.StandingIfUnset("The chip stays in ISP mode: its flash holds no image "
                                       "it would start; run the same command again");
        }
        done[chunk.image] += chunk.length;
        written += chunk.length;
        display.update_progress(static_cast<double>(done[chunk.image]) / image.length, nullptr);
    }
    display.display_progress(false);
    return Outcome::Ok();
}

// The chip's echo on again, then the start of the image. The ROM answers G
// before it jumps; a refusal leaves the chip in ISP mode with the image
// written.
Outcome _start_image(UpdaterDisplayInterface& display, NXPSerialClass& nxp) {
    const char* const notStarted =
        "The flash holds the image but the chip did not start it: %s to \"%s\"; it is still in "
        "ISP mode (reset it to start the image)";
    qErr e = nxp.SetEcho(true);
    if (e != qErrNone)
        return Outcome::Failf(e, notStarted, _cause(nxp, e).c_str(), "A 1");
    if ((e = nxp.ExecuteFrom(0)) != qErrNone)
        return Outcome::Failf(e, notStarted, _cause(nxp, e).c_str(), "G 0 T");
    display.message(INFO, "Rebooting Device");
    return Outcome::Ok();
}

// The line to the chip, synchronised by the probe.
class LpcSession : public RomSession {
  public:
    NXPSerialClass nxp;
};

bool _serves_lpc(const std::string& port) {
    return port != ROM_HID_PORT;
}

// Opens the port at the request's rate and synchronises with the chip's
// autobaud. A port that cannot be opened is named with the OS reason.
RomProbe _probe_lpc(const RomRequest& request) {
    RomProbe probe;
    auto session = std::make_unique<LpcSession>();
    NXPSerialClass& nxp = session->nxp;
    const std::string& port = request.port;
    qErr e = nxp.Connect(port.c_str(), request.baudRate);
    if (e != qErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", e);
        int os = nxp.LastOsError();
        probe.presence = RomPresence::Unusable;
        if (os == EACCES || os == EPERM)
            probe.why =
                Outcome::Fail(qErrPermission, "cannot open " + port + ": " +
                                                  ConnectCause(qErrPermission, linkTypeSerial));
        else
            probe.why =
                Outcome::Fail(e, "cannot open " + port + ": " +
                                     (os != 0 ? std::strerror(os) : qError_GetErrorDescription(e)));
        return probe;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    e = nxp.Sync();
    if (e == qErrMode) {
        probe.presence = RomPresence::Present;
        probe.why = Outcome::Fail(e, "the LPC chip on " + port +
                                         " is stuck in the middle of a RAM write (an earlier run "
                                         "was killed)")
                        .Standing("Reset the chip into ISP mode (hold ISP low while you reset or "
                                  "power it), then run the command again");
        return probe;
    }
    if (e != qErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", e);
        probe.why = Outcome::Fail(qErrNotReady, "no LPC boot ROM answered on " + port);
        return probe;
    }
    probe.presence = RomPresence::Present;
    probe.session = std::move(session);
    return probe;
}

// The chip's identifier (ISP command N), the four words in the order the
// chip sends them.
Outcome _fingerprint_lpc(const RomRequest& request, RomSession& session, Fingerprint& out, bool) {
    NXPSerialClass& nxp = static_cast<LpcSession&>(session).nxp;
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    qErr e = nxp.GetDeviceID();
    if (e != qErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return Outcome::Fail(e, "the LPC chip on " + request.port +
                                    " did not tell its identifier: " + _cause(nxp, e));
    }
    for (int i = 0; i < 4; ++i)
        out.words[i] = nxp.DeviceSerialNumber()[i];
    return Outcome::Ok();
}

// Writes the firmware blocks of image, descrambled for the chip's
// identifier, into the flash, sector 0 last, checks each copy on the chip
// and starts the image. An image that cannot be written whole is refused
// before the chip is touched. The line is opened afresh: the chip the
// fingerprint synchronised keeps its rate.
Outcome _recover_lpc(const RomRequest& request, BirdFile& image, const Fingerprint& fingerprint) {
    UpdaterDisplayInterface& display = request.display;
    image.DecodeFirmwareBlocks(fingerprint.words);
    std::vector<FlashImage> images;
    Outcome out = _lpc_images(image, images);
    if (!out.ok())
        return out;
    uint32_t total = 0;
    for (const FlashImage& i : images)
        total += i.length;
    InterruptScope interrupts; // a stop waits for the ISP command in flight
    NXPSerialClass nxp;
    if (!(out = _erase_flash(nxp, request.port, request.baudRate)).ok())
        return out;
    if (StopRequested())
        return _stopped(nxp, 0, total);
    (void)nxp.SetEcho(false); // the data lines go faster without their echo
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.filename.c_str());
    if (!(out = _write_flash(display, nxp, images, total)).ok())
        return out;
    // The count announced is that of the blocks written: one less than the
    // firmware blocks of a file that ends with its 4-byte mark.
    display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(images.size()),
                    static_cast<int>(total));
    return _start_image(display, nxp);
}

} // namespace

const RomBackend LPC_ISP_ROM = {"LPC serial ISP", _serves_lpc, _probe_lpc, _fingerprint_lpc,
                                _recover_lpc};
