// Client of the Serial Download Protocol (SDP) that the ROM of an NXP i.MX
// chip speaks in serial download mode: it writes a loader image into the
// chip's RAM, starts it, and reads the chip's fingerprint registers.
//
// The client works over an abstract transport (SDPLoader_Interface): USB HID
// (HID_SDPLoader) or a serial line (Serial_SDPLoader). Every message is a
// byte vector whose first byte is a HID report number, 1 for a command and 2
// for data; the serial transport leaves that byte out.
//
// Diagnostics go to Log under DEBUG_iMXSerial. Single-threaded: one
// SDPLoader and its transport are used from one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

// The transport below the client.
class SDPLoader_Interface {
  public:
    virtual ~SDPLoader_Interface() {}
    // Opens the device; false when it cannot be used.
    virtual bool init() = 0;
    // Sends one message; the bytes written, or -1 on failure.
    virtual ssize_t writeData(const std::vector<uint8_t>& data) = 0;
    // Appends what the ROM sent within waitMs to out; the bytes appended.
    virtual ssize_t readData(std::vector<uint8_t>& out, uint32_t waitMs) = 0;
    // ORs the answer word `index` bytes into the word position of `in` into
    // value; false (value untouched) when `in` is not a complete answer or
    // index is above 15.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                                   uint32_t& value) = 0;
};

// Results of SDPLoader::init, writeLoader and getFingerprint.
enum SDPResult : uint8_t {
    SDP_OK = 0,
    SDP_NO_TRANSPORT = 1,  // no transport set
    SDP_NO_ANSWER = 2,     // the ROM does not answer the status command
    SDP_ROM_ABORTED = 3,   // the ROM sent data during the image transfer
    SDP_NOT_COMPLETED = 4, // no completion status after the image
    SDP_INIT_FAILED = 6,   // the transport could not open the device
    SDP_NO_REGISTER = 7,   // a register read gave no word
    SDP_JUMP_REFUSED = 8,  // the ROM answered the jump with a status: it did not start
};

// Report numbers of SDP messages.
constexpr uint8_t SDP_REPORT_COMMAND = 1;
constexpr uint8_t SDP_REPORT_DATA = 2;
constexpr uint8_t SDP_REPORT_HAB = 3;
constexpr uint8_t SDP_REPORT_STATUS = 4;

// A command message: report number and the 16 command bytes.
constexpr size_t SDP_COMMAND_SIZE = 17;
// Image bytes per data message (the largest the ROM's data report carries).
constexpr size_t SDP_DATA_CHUNK = 1024;

constexpr uint32_t SDP_STATUS_ACK = 0xF0F0F0F0;
constexpr uint32_t SDP_STATUS_COMPLETE = 0x88888888;
// Fingerprint registers: low and high word.
constexpr uint32_t SDP_FINGERPRINT_LOW = 0x401F4410;
constexpr uint32_t SDP_FINGERPRINT_HIGH = 0x401F4420;

class SDPLoader {
  public:
    SDPLoader();
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of transport; false when it is null or one is set
    // already (the transport passed in is then left to the caller).
    bool setLoader(SDPLoader_Interface* transport);
    // SDP_NO_TRANSPORT, SDP_INIT_FAILED or SDP_OK.
    uint8_t init();
    // Writes image at address: SDP_OK, SDP_NO_TRANSPORT, SDP_NO_ANSWER,
    // SDP_ROM_ABORTED or SDP_NOT_COMPLETED.
    uint8_t writeLoader(std::vector<uint8_t> image, uint32_t address);
    // Sends the jump command and reads for 100 ms: SDP_OK when the ROM
    // answered with its HAB word alone (it hands over to the loader),
    // SDP_JUMP_REFUSED when a status word followed (LastStatus()).
    uint8_t startLoader(uint32_t address);
    // The status word of the last refusal.
    uint32_t LastStatus() const { return lastStatus; }
    // Whether the ROM answers the status command (5 tries of 100 ms);
    // false without a transport.
    bool isAlive() { return loader != nullptr && _isConnectionAlive(); }
    // ORs the low register into bits 0-31 and the high one into bits 32-63:
    // SDP_OK, SDP_NO_TRANSPORT, SDP_NO_ANSWER or SDP_NO_REGISTER.
    int getFingerprint(uint64_t& fingerprint);

    // Command messages (17 bytes: report number 1 and the command).
    static std::vector<uint8_t> _createStatusPacket();
    static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t size);
    static std::vector<uint8_t> _createJumpPacket(uint32_t address);
    static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);

  private:
    bool _isConnectionAlive();
    bool _expectAck(const std::vector<uint8_t>& buffer);
    bool _expectResponse(const std::vector<uint8_t>& buffer);
    bool _expectSuccess(const std::vector<uint8_t>& buffer);
    bool _readRegister(uint32_t address, uint32_t& value);
    bool _sendImage(const std::vector<uint8_t>& image);
    void _discardPending();
    void _sendCommand(const std::vector<uint8_t>& command);
    static void _printBuffer(const std::vector<uint8_t>& buffer);

    std::unique_ptr<SDPLoader_Interface> loader;
    uint32_t lastStatus = 0;
};
