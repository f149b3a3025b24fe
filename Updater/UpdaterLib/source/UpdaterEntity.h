// The host side of a module's upgrade entity (command cmdUPGRADE): start the
// loader, send loader and firmware blocks in DATA packets checked by a running
// sum, have each firmware portion written, start the loader and reboot the
// module into its new image.
//
// Every message is one packet: cmdUPGRADE, the sub-command, its bytes (multi-
// byte values big-endian). Every reply is awaited for up to 1000 ms with one
// EntityClass::receivePacket matched on cmdUPGRADE and the sub-command it
// answers (val_UPGRADE_STATUS for PREPARE, SUM and WRITE).
//
// Logging: DEBUG_Network_FIRM, the reconnection lines DEBUG_Network. The
// entity prints nothing for the user: a failed call returns its code and
// leaves what went wrong in lastFault (and the module's status byte or sums),
// from which the update's step says it in the user's words.
//
// Ctrl-C: the DATA and portion loops look at StopRequested() before each
// packet and stop there with qErrCancel (lastFault FAULT_STOPPED).
//
// Threads: runs on the caller's thread and blocks; it holds no lock. Replies
// arrive through the link's input thread and queue.
#pragma once

#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "qError.h"

const uint8_t cmdUPGRADE = 0x5F;

enum UpgradeSubCommand : uint8_t {
    val_UPGRADE_INIT = 0x00,
    val_UPGRADE_DATA = 0x01,
    val_UPGRADE_LOAD = 0x02,
    val_UPGRADE_PREPARE = 0x03,
    val_UPGRADE_SUM = 0x04,
    val_UPGRADE_WRITE = 0x05,
    val_UPGRADE_REBOOT = 0x06,
    val_UPGRADE_STATUS = 0x07, // the second byte of PREPARE, SUM and WRITE replies
};

class UpdaterEntity : public Quillmar::Keystrand::EntityClass {
  public:
    using Module = Quillmar::Keystrand::Module;

    // What the last failed call ran into.
    enum Fault {
        FAULT_NONE,
        FAULT_SEND,            // a packet could not be sent
        FAULT_NO_REPLY,        // the module did not answer in time
        FAULT_BAD_REPLY,       // an answer too short to use
        FAULT_PREPARE_REFUSED, // PREPARE answered status lastStatus
        FAULT_PORTION_ZERO,    // PREPARE named portions of 0 bytes
        FAULT_DATA_REFUSED,    // a DATA chunk miscounted DATA_REPEATS times over
        FAULT_SUM_MISMATCH,    // SUM: lastModuleSum against lastSum
        FAULT_WRITE_REFUSED,   // WRITE answered status lastStatus
        FAULT_STOPPED,         // stopped on request (StopRequested)
    };

    // Image bytes per DATA packet: the sub-command and these fill the 27 data
    // bytes a packet carries after its command byte.
    static const uint32_t DATA_CHUNK = 26;
    // A DATA chunk the module keeps counting wrong is sent again at most this
    // often; then the transfer gives up with qErrPacket.
    static const unsigned DATA_REPEATS = 5;
    // How long LoaderReboot waits for the module to drop its link.
    static const uint32_t REBOOT_WAIT_MS = 30000;

    UpdaterEntity();
    ~UpdaterEntity() override;

    // Stores the module (not owned; it must outlive the entity) and the sum
    // switch, and initialises the entity (cmdUPGRADE, index).
    void init(Module* target, uint8_t index, bool checkSums);

    // INIT. Returns: qErrNone; a send error; qErrTimeout (no reply);
    // qErrPacket (a reply without the load base address).
    qErr LoaderInit();
    // PREPARE for one BIRD loader or firmware block (payload starting with its
    // 4 address bytes); portion receives the size in which the loader takes
    // firmware. Returns: qErrNone; qErrParam (fewer than 4 bytes); a send
    // error; qErrTimeout; qErrInvalidOption (refused, or a reply too short to
    // name a portion).
    qErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& portion);
    // The image after the 4 address bytes as one DATA sequence with its SUM
    // check. Returns: those of _block_transfer; qErrParam (fewer than 4 bytes).
    qErr LoaderTransfer(const uint8_t* block, uint32_t length);
    // LOAD; reconnects when the loader restarted the link before answering.
    // Returns: qErrNone; a send error; qErrTimeout (no answer, also after a
    // reconnection).
    qErr LoaderStart();
    // The image after the 4 address bytes in portions of portion bytes, each
    // one DATA sequence, SUM and WRITE, with the progress bar on display.
    // Returns: qErrNone; qErrParam (fewer than 4 bytes); qErrInvalidOption
    // (portion 0: nothing is sent; a failed SUM or WRITE); those of
    // _block_transfer (qErrCancel included).
    qErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t portion,
                          UpdaterDisplayInterface& display);
    // WRITE of the portion just sent. Returns: qErrNone; a send error;
    // qErrInvalidOption (no reply, or a status other than 0).
    qErr FirmwareWrite(uint32_t length);
    // REBOOT, then waits with the spinner until the module has gone (at most
    // rebootWaitMs). Returns: the send result once the module went; qErrTimeout
    // when it kept its link (lastFault FAULT_NO_REPLY), since nobody can then
    // tell that the new image runs.
    qErr LoaderReboot(UpdaterDisplayInterface& display);

    // True once the module has gone within waitMs: its link dropped, or, for a
    // module reached through a router (whose link is the router's and stays
    // up), it stopped answering. spinner, when not null, turns meanwhile.
    bool WaitUntilGone(uint32_t waitMs, UpdaterDisplayInterface* spinner);
    // True when the module answers a request of its system entity (an error
    // reply counts as an answer); false after the 1000 ms reply wait.
    bool Answers();

    // Disconnects and opens the link again: five attempts from the stored
    // specifier, then five with the loader's default serial number over USB,
    // delayMs apart. Returns: qErrNone or the last connection error.
    qErr _reconnect(uint32_t delayMs);
    // n bytes as DATA packets of up to DATA_CHUNK bytes, then (verifyChecksum)
    // the SUM check; counter counts the accepted packets. Returns: qErrNone; a
    // send error; qErrPacket (no DATA or SUM reply; a chunk refused
    // DATA_REPEATS times over); qErrInvalidOption (the sums differ).
    qErr _block_transfer(const uint8_t* data, uint32_t n, uint32_t& counter);

    Module* module;
    bool verifyChecksum;
    // Image bytes the module accepted in DATA packets since init.
    uint64_t bytesAccepted = 0;
    Fault lastFault = FAULT_NONE;
    uint8_t lastStatus = 0;
    uint32_t lastSum = 0, lastModuleSum = 0;
    // The bound of LoaderReboot's wait; tests shorten it.
    uint32_t rebootWaitMs = REBOOT_WAIT_MS;

  private:
    // Sends cmdUPGRADE, sub and count bytes of body.
    qErr _send(uint8_t sub, const uint8_t* body, uint8_t count);
    // Waits for a reply starting cmdUPGRADE, sub; reply holds its data bytes
    // (command byte included), length their count.
    qErr _await(uint8_t sub, uint8_t* reply, uint8_t& length);
    qErr _check_sum(uint32_t sum, uint32_t counter);
    qErr _fail(qErr code, Fault fault);
    bool _gone();
};
