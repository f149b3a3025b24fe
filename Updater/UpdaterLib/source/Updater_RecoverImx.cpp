// What the two i.MX ROM backends share (see UpdaterRecoverImx.h): the live
// loader's choice, its transfer through the ROM, the look for it on USB,
// the identifier it tells and the firmware it takes.
//
// The live loader's choice prints its own messages (their Outcome has no
// text); the ROM client's detail goes to the diagnostic log (-X 0x10000000).
// Every wait is bounded: the ROM's answers by the SDP client, the search for
// the live loader by the update's bounds for its loader (UpdateLimits), each
// module request by the link's reply time-out, the download by the server
// client's time-outs.
//
// Threads: the main thread only; the live loader's link has its own threads.
#include "UpdaterRecoverImx.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include "BirdFormat.h"
#include "BuildChoice.h"
#include "Log.h"
#include "Module.h"
#include "SDPLoader.h"
#include "SerialNumber.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "UpdaterTransfer.h"
#include "qError.h"
#include "qTime.h"

namespace {

using Quillmar::Keystrand::Module;
using Quillmar::Keystrand::SystemClass;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Where the live loader starts when its file names no start address.
const uint32_t DEFAULT_START_ADDRESS = 0x20000400;
const uint8_t OPTION_UNIQUE_IDENTIFIER = 39;

// Mutes the display's messages while it lives; what it was is restored on
// every path.
class QuietDisplay {
  public:
    explicit QuietDisplay(UpdaterDisplayInterface& display)
        : display_(display), was_(display.is_muted()) {
        display_.mute_messages(true);
    }
    ~QuietDisplay() { display_.mute_messages(was_); }
    QuietDisplay(const QuietDisplay&) = delete;
    QuietDisplay& operator=(const QuietDisplay&) = delete;

  private:
    UpdaterDisplayInterface& display_;
    bool was_;
};

// The store knows nothing of the module: its latest build (for
// ANY_MODULE_SERIAL the default recovery image) is fetched from the update
// server without a word on the display. The build's file name, "" when the
// download failed.
std::string _download_live_loader(UpdaterDisplayInterface& display, Updater& updater,
                                  uint32_t serialNumber) {
    uint32_t build = 0;
    {
        QuietDisplay quiet(display);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        build = updater.Download_Firmware(serialNumber, "", false, false);
    }
    if (build == 0) {
        const std::string serial = SerialNumberText(serialNumber);
        display.message(ERROR,
                        "No live loader for %s in the local store, and none could be downloaded "
                        "from the update server (-G -d %s tells why)",
                        serial.c_str(), serial.c_str());
        return "";
    }
    return BuildFileName(build);
}

// The file of the module's store entry that holds its live loader: the one
// its latest download names, or a fresh download when the store does not
// know the module. "" after a message when there is none.
std::string _stored_live_loader(UpdaterDisplayInterface& display, Updater& updater,
                                uint32_t serialNumber, UpdaterStoreItem& item) {
    bool known = false;
    if (!_find_entry(display, updater.storeDirectory, serialNumber, item, known))
        return "";
    if (!known || !item.IsValid()) {
        std::string name = _download_live_loader(display, updater, serialNumber);
        if (name.empty() ||
            !_find_entry(display, updater.storeDirectory, serialNumber, item, known))
            return "";
        return name;
    }
    uint32_t build = 0;
    if (BuildOfFileName(item.attributes.GetString(UpdaterStore::KEY_LATEST_DOWNLOAD, ""), build))
        return BuildFileName(build);
    const std::string serial = SerialNumberText(serialNumber);
    display.message(ERROR,
                    "The local store names no downloaded build for %s to take the live loader "
                    "from: get one with -G -d %s, or name a BIRD file with -f",
                    serial.c_str(), serial.c_str());
    return "";
}

// The BIRD file whose loader blocks are the live loader: the file named,
// else the module's stored (or just downloaded) build.
bool _load_live_loader(UpdaterDisplayInterface& display, Updater& updater, uint32_t serialNumber,
                       const std::string& firmwareFile, BirdFile& image) {
    UpdaterStoreItem item;
    std::string name;
    if (firmwareFile.empty() &&
        (name = _stored_live_loader(display, updater, serialNumber, item)).empty())
        return false;
    try {
        image =
            firmwareFile.empty() ? item.ReadBirdFile(name.c_str()) : BirdFile(firmwareFile.c_str());
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        display.message(ERROR, "Could not load the live loader from %s",
                        firmwareFile.empty() ? item.FilePath(name.c_str()).c_str()
                                             : firmwareFile.c_str());
        return false;
    }
}

// One loader block as the ROM takes it.
struct LoaderImage {
    uint32_t address;
    const uint8_t* bytes;
    size_t length;
};

// The live loader's images in file order. A file without one, or with a
// block too short for its load address, is refused before the ROM is
// touched: the jump would otherwise start whatever the chip's RAM holds.
bool _loader_images(UpdaterDisplayInterface& display, const BirdFile& image,
                    std::vector<LoaderImage>& images) {
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    if (blocks.empty()) {
        display.message(ERROR, "The BIRD file %s holds no live loader (no loader blocks)",
                        image.filename.c_str());
        return false;
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].length <= 4) {
            display.message(ERROR, "Loader block %zu of %s holds no image", i + 1,
                            image.filename.c_str());
            return false;
        }
        images.push_back({blocks[i].address, blocks[i].data + 4, blocks[i].length - 4u});
    }
    return true;
}

uint32_t _start_address(const BirdFile& image) {
    for (const BirdBlock& block : image.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS)) {
        if (block.length > 3)
            return birdformat::GetInt(block.data);
    }
    return DEFAULT_START_ADDRESS;
}

void _report_write_failure(UpdaterDisplayInterface& display, uint8_t result,
                           const std::string& serialPort, size_t number, const LoaderImage& image) {
    const std::string where = "on " + serialPort;
    // The ROM answered before the first block (it was asked when opened).
    if (result == SDP_NO_ANSWER)
        display.message(ERROR, "The i.MX ROM %s stopped answering before loader block %zu",
                        where.c_str(), number);
    else if (result == SDP_ROM_ABORTED)
        display.message(ERROR,
                        "The i.MX ROM %s reported an error while receiving loader block %zu "
                        "(%zu bytes at 0x%08X)",
                        where.c_str(), number, image.length, image.address);
    else
        display.message(ERROR,
                        "The i.MX ROM %s did not confirm loader block %zu (%zu bytes at 0x%08X)",
                        where.c_str(), number, image.length, image.address);
}

// Writes the live loader through the ROM and starts it.
// Returns: qErrNone; qErrParam (no loader to write, nothing sent);
// qErrConnection (the ROM did not take a block, or refused to start the loader).
qErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& image, SDPLoader& rom,
                               const std::string& serialPort) {
    std::vector<LoaderImage> images;
    if (!_loader_images(display, image, images))
        return qErrParam;
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    for (size_t i = 0; i < images.size(); ++i) {
        const LoaderImage& block = images[i];
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", static_cast<int>(i),
                 block.length, static_cast<int>(block.address));
        uint8_t result = rom.writeLoader(
            std::vector<uint8_t>(block.bytes, block.bytes + block.length), block.address);
        if (result != SDP_OK) {
            _report_write_failure(display, result, serialPort, i + 1, block);
            return qErrConnection;
        }
    }
    const uint32_t start = _start_address(image);
    if (rom.startLoader(start) == SDP_JUMP_REFUSED) {
        display.message(ERROR,
                        "The i.MX ROM on %s refused to start the live loader at 0x%08X (status "
                        "%08X): no image header there, or HAB is closed and the image is not "
                        "signed",
                        serialPort.c_str(), start, rom.LastStatus());
        return qErrConnection;
    }
    return qErrNone;
}

// The ways to the live loader: on USB under each of serials in turn.
std::vector<ReachWay> _live_loader_ways(const std::vector<uint32_t>& serials) {
    std::vector<ReachWay> ways;
    for (uint32_t serial : serials)
        ways.push_back([serial](Module& m) { return m.discoverAndConnect(linkTypeUSB, serial); });
    return ways;
}

// Looks for the live loader as the update looks for its loader after LOAD
// (the same bounds, UpdateLimits).
bool _await_live_loader(Module& module, const std::vector<uint32_t>& serials) {
    return _reach_module(module, _live_loader_ways(serials), "the live loader on USB") == qErrNone;
}

// One look for a live loader on USB under each of serials.
bool _find_live_loader(Module& module, const std::vector<uint32_t>& serials) {
    for (uint32_t serial : serials) {
        (void)module.disconnect();
        if (module.discoverAndConnect(linkTypeUSB, serial) == qErrNone && module.isConnected())
            return true;
    }
    (void)module.disconnect();
    return false;
}

// Subindex i of option 39 lands in word 3 - i; out changes only when all
// four words were read.
bool _read_identifier(UpdaterDisplayInterface& display, Module& module, uint32_t serialNumber,
                      Fingerprint& out) {
    SystemClass system;
    system.init(&module, 0);
    Fingerprint read;
    for (uint8_t i = 0; i < 4; ++i) {
        qErr e = system.getUEI32(OPTION_UNIQUE_IDENTIFIER, i, &read.words[3 - i]);
        if (e != qErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
            display.message(ERROR,
                            "The live loader [%08X] did not tell word %d of the chip identifier: "
                            "%s (%s)",
                            serialNumber, i, qError_GetErrorDescription(e), qError_GetErrorText(e));
            return false;
        }
    }
    out = read;
    return true;
}

// What the i.MX probe leaves open: the ROM, answering, or a live loader
// that an interrupted run left running, connected.
class ImxSession : public RomSession {
  public:
    std::unique_ptr<SDPLoader> rom;
    Module module{0, static_cast<uint8_t>(0)};
};

} // namespace

Outcome _imx_refusal(const RomRequest& request) {
    if (!request.firmwareFile.empty() &&
        (request.serialNumber == 0 || request.serialNumber == ANY_MODULE_SERIAL)) {
        request.display.message(
            ERROR,
            "Add serial number or remove the bird filename to use a default recovery image.");
        return Outcome::Fail(qErrParam, ""); // told
    }
    return Outcome::Ok();
}

RomProbe _imx_probe(const RomRequest& request, std::unique_ptr<SDPLoader> rom, Outcome open,
                    const std::string& silent) {
    RomProbe probe;
    auto session = std::make_unique<ImxSession>();
    if (open.ok() && rom->isAlive()) {
        session->rom = std::move(rom);
    } else {
        rom.reset();
        // A run that was stopped after the ROM started the live loader left
        // it running: the chip's ROM is gone from the port, the loader is on
        // USB under the default serial or the module's own.
        std::vector<uint32_t> serials = {ANY_MODULE_SERIAL};
        if (request.serialNumber != ANY_MODULE_SERIAL && request.serialNumber != 0)
            serials.push_back(request.serialNumber);
        if (!_find_live_loader(session->module, serials)) {
            probe.presence = open.ok() ? RomPresence::Other : RomPresence::Unusable;
            probe.why = open.ok() ? Outcome::Fail(qErrNotReady, silent) : open;
            return probe;
        }
        Log::log(DEBUG_APP, "A live loader is running already: going on through it\n");
    }
    probe.presence = RomPresence::Present;
    probe.session = std::move(session);
    return probe;
}

Outcome _imx_fingerprint(const RomRequest& request, RomSession& opened, Fingerprint& out,
                         bool resetAfter) {
    UpdaterDisplayInterface& display = request.display;
    ImxSession& session = static_cast<ImxSession&>(opened);
    Module& module = session.module;
    const uint32_t serialNumber =
        request.serialNumber == 0 ? ANY_MODULE_SERIAL : request.serialNumber;
    const Outcome told = Outcome::Fail(qErrNotReady, ""); // the message is out already
    if (session.rom) {
        BirdFile image;
        if (!_load_live_loader(display, request.updater, serialNumber, request.firmwareFile, image))
            return told;
        if (_transfer_recovery_loader(display, image, *session.rom, request.port) != qErrNone) {
            Log::log(DEBUG_APP, "Error loading liveloader.\n");
            return told;
        }
        session.rom.reset();
        if (!_await_live_loader(module, {serialNumber})) {
            Log::log(DEBUG_APP, "Could not connect to device.\n");
            display.message(ERROR,
                            "The live loader did not come up on USB as [%08X] after the ROM "
                            "started it",
                            serialNumber);
            return told;
        }
    }
    if (!_read_identifier(display, module, serialNumber, out))
        return told;
    if (resetAfter) {
        SystemClass system;
        system.init(&module, 0);
        qErr e = system.reset(); // the live loader restarts: usually no answer
        Log::log(DEBUG_APP, "Live loader reset: %d\n", e);
    }
    return Outcome::Ok();
}

Outcome _imx_recover(const RomRequest& request, BirdFile& image, const Fingerprint&) {
    if (!_has_firmware(request.display, image))
        return Outcome::Fail(qErrNotFound, ""); // told
    Module module(0, static_cast<uint8_t>(0));
    std::vector<uint32_t> serials = {ANY_MODULE_SERIAL};
    if (request.serialNumber != ANY_MODULE_SERIAL && request.serialNumber != 0)
        serials.push_back(request.serialNumber);
    if (!_await_live_loader(module, serials))
        return Outcome::Fail(qErrNotFound, "Could not connect to device");
    Outcome out = _transfer_firmware(request.display, module, image);
    if (!out.ok())
        return out.Within("Failed to transfer firmware");
    if (serials.size() < 2)
        return out; // no serial number of its own to find the module by
    // The module restarts into the new firmware under its own serial number.
    linkSpec usb{};
    usb.transport = linkTypeUSB;
    return _verify_running(request.display, {module, serials.back(), usb, false}, image);
}
