// The serial ISP client of NXP LPC17xx boot ROMs: one ASCII command line per
// request, one return-code line per answer, uuencoded data lines with decimal
// checksum lines for memory transfers.
//
// Every operation returns a qErr; qErrParam stands for a refused request or a
// non-zero return code of the chip (named in the log). Every wait is bounded:
// reads poll the stream and give up after a budget of failed reads, each of
// which costs about 1 ms of sleep. A plain request gets 100 of them; an erase
// or a copy to flash gets what the chip may need for the work on top
// (EraseBudget, CopyBudget).
//
// Threads: single-threaded; one object per port, used from one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"

struct qStream;

// The milliseconds that `characters` and two more characters of 9 bits take
// at `baud`: (characters * 9000 + 18000) / baud + 1.
uint32_t WAIT_TIME_MS(size_t characters, uint32_t baud);

class NXPSerialClass {
  public:
    static const uint32_t MAX_BYTES_PER_LINE = 45;     // data bytes per uuencoded line
    static const uint32_t LINES_PER_CHECKSUM = 20;     // data lines between checksum lines
    static const uint32_t MAX_READ_RETRY = 3;          // retry budget of one Read or Write
    static const uint32_t WRITE_ADDRESS = 0x10001000;  // RAM where recovery stages blocks
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz, announced when synchronising
    static const int MAX_ERROR = 20;                   // index of the last ERROR_TEXT entry
    static const size_t TERMINATION_SIZE = 2;          // "\r\n"
    static const uint32_t UNLOCK_CODE = 23130;

    // Failed reads allowed while waiting for one answer line.
    static const uint32_t REPLY_BUDGET = 100;
    // Failed reads allowed for the answer to the empty lines that tell a chip
    // stuck in a RAM write from a silent port.
    static const uint32_t STUCK_PROBE_BUDGET = 1000;
    static const uint32_t CHECKSUM_REPLY_BUDGET = 2000;

    // The names of the chip's return codes 0..19, then "Unknown error".
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    struct Sector {
        uint32_t start;
        uint32_t size;
        int number;
    };
    // 16 sectors of 4 kB, then 14 of 32 kB; ended by {0xFFFFFFFF, 0, 30}.
    static const Sector NXP_LPC17XX_sectors[31];
    static const int SECTOR_COUNT = 30;
    static const uint32_t FLASH_SIZE = 0x80000;

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens the port at the first rate of the table 2400 .. 230400 not below
    // baud (9600 above 230400). Returns the stream's error on failure.
    qErr Connect(const char* port, uint32_t baud);
    // Takes an open stream (owned from now on) as if Connect had opened it at
    // baud; for transports other than a serial port. qErrParam for a null stream.
    qErr Attach(qStream* openStream, uint32_t baud);
    qErr Disconnect();

    // Raw exchange.
    qErr Send(const char* text, bool readEcho);
    // Reads an answer of known length into buffer (at most size - 1
    // characters, always terminated).
    qErr Response(char* buffer, size_t size, size_t* received, const char* expected,
                  size_t expectedLength);
    // Reads one line ending in "\r\n" into buffer, terminated. A line that
    // does not fit is read to its end and refused with qErrOverrun, so that
    // the next read starts at the next line.
    qErr GetLine(char* buffer, size_t size, size_t* received, uint32_t budget);
    qErr GetEcho(const char* expected, size_t count, size_t* received);
    qErr SendCommand(const char* command, int waitMs);

    // ISP requests.
    qErr Sync();
    qErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
    qErr GetPartNumber(int64_t* part);
    qErr GetDeviceID();
    qErr ExecuteFrom(uint32_t address);
    qErr SetEcho(bool on);
    qErr SetBaudRate(uint32_t baud);
    qErr Unlock();
    qErr Prepare(uint32_t first, uint32_t last);
    qErr Erase(uint32_t first, uint32_t last);
    qErr CopyToFlash(uint32_t flash, uint32_t ram, uint32_t length);
    // Compares length bytes at two addresses on the chip; no data crosses the
    // wire. A difference is the return code COMPARE_ERROR (qErrParam), with
    // *mismatchOffset (when given) set to the offset of the first one.
    qErr Compare(uint32_t address1, uint32_t address2, uint32_t length,
                 uint32_t* mismatchOffset = nullptr);
    qErr Write(uint32_t ram, uint32_t length, const uint8_t* data);
    qErr Read(uint32_t address, uint32_t length, uint8_t* data);

    // Pure functions.
    static const char* GetErrorText(const char* line);
    // The number a reply line starts with (after blanks), in C base notation.
    // False for a line without one or one outside the range of long.
    static bool ParseReplyNumber(const char* line, long* value);
    uint8_t GetErrorIndex(size_t lineLength) const;
    static int32_t sum(const uint8_t* data, uint32_t length);
    static char uuchar(uint32_t value);
    static uint32_t uuencode(char* out, const uint8_t* data, uint32_t count);
    static uint32_t uudecode(uint8_t* out, uint32_t capacity, const char* line);
    static uint32_t CopyLength(uint32_t length);
    static int SectorFromAddress(uint32_t address);
    // Failed reads allowed for the answer of an erase of sectors first..last
    // (about 100 ms a sector on the chip, allowed twice) and of a copy of
    // length bytes to flash (about 1 ms per 256 bytes, allowed eight times).
    static uint32_t EraseBudget(uint32_t first, uint32_t last);
    static uint32_t CopyBudget(uint32_t length);

    // The return code of the last request (0 .. 19 from the chip), or -1
    // when its return-code line did not come or held no number.
    int LastReturnCode() const { return lastReturnCode; }
    // The OS error (errno) of the last Connect that failed, 0 when none was
    // given.
    int LastOsError() const { return osError; }
    bool Echo() const { return echo; }
    uint32_t BaudRate() const { return baudRate; }
    const char* PortName() const { return portName; }
    // The four words of the last GetDeviceID, in the order received.
    const uint32_t* DeviceSerialNumber() const { return deviceSerialNumber; }

  private:
    qErr ReadByte(uint8_t* byte);
    void SleepFor(const char* text);
    qErr ReturnCode(const char* command, uint32_t budget, bool logError, const char* errorPrefix,
                    char* line, size_t size);
    qErr Request(const char* command, uint32_t budget, bool logError);
    qErr ReadNumberLine(unsigned long* value);
    qErr ResyncCommandMode();
    // Sends the checksum of a block and reads the chip's answer; wireMs: the
    // time the block's lines may still be on the wire.
    qErr SendChecksum(const uint8_t* data, uint32_t count, char* reply, size_t size,
                      uint32_t wireMs);
    // Writes text without waiting for it to leave the wire.
    qErr SendUnpaced(const char* text);
    qErr ReadChecksum(uint32_t expected, bool* good);

    qStream* stream;
    bool echo;
    uint32_t baudRate;
    char portName[2048];
    uint32_t deviceSerialNumber[4];
    int lastReturnCode;
    int osError = 0;
};
