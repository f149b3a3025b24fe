// The pure part of the LPC ISP client: return-code names, the flash sector
// table, uuencoding, checksums, copy lengths and wait times.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "NXPSerial.h"

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

uint32_t WAIT_TIME_MS(size_t characters, uint32_t baud) {
    if (baud == 0)
        return 1;
    return static_cast<uint32_t>((characters * 9000 + 18000) / baud + 1);
}

// The number a reply line starts with (after blanks), in C base notation.
// False for a line without one or one outside the range of long.
bool NXPSerialClass::ParseReplyNumber(const char* line, long* value) {
    if (line == nullptr)
        return false;
    while (*line == ' ' || *line == '\t')
        ++line;
    const char* digits = (*line == '-' || *line == '+') ? line + 1 : line;
    if (!std::isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(line, &end, 0);
    if (errno == ERANGE || end == line)
        return false;
    *value = v;
    return true;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
    long code = 0;
    // Text that holds no number, or a number outside the table, has no name:
    // the table is never indexed with it.
    if (!ParseReplyNumber(line, &code) || code < 0 || code > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

uint8_t NXPSerialClass::GetErrorIndex(size_t lineLength) const {
    if (echo && lineLength > 2)
        return static_cast<uint8_t>(lineLength - 3 > UINT8_MAX ? UINT8_MAX : lineLength - 3);
    return 0;
}

int32_t NXPSerialClass::sum(const uint8_t* data, uint32_t length) {
    int32_t total = 0;
    for (uint32_t i = 0; i < length; ++i)
        total += data[i];
    return total;
}

char NXPSerialClass::uuchar(uint32_t value) {
    value &= 0x3F;
    return value == 0 ? '`' : static_cast<char>(value + 32);
}

uint32_t NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t count) {
    if (count > MAX_BYTES_PER_LINE)
        count = MAX_BYTES_PER_LINE;
    size_t n = 0;
    out[n++] = uuchar(count);
    for (uint32_t i = 0; i < count; i += 3) {
        uint32_t b0 = data[i];
        uint32_t b1 = i + 1 < count ? data[i + 1] : 0;
        uint32_t b2 = i + 2 < count ? data[i + 2] : 0;
        uint32_t group = (b0 << 16) | (b1 << 8) | b2;
        out[n++] = uuchar(group >> 18);
        out[n++] = uuchar(group >> 12);
        out[n++] = uuchar(group >> 6);
        out[n++] = uuchar(group);
    }
    out[n] = '\0';
    return count;
}

namespace {
bool _uu_line_end(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}
uint32_t _uu_value(char c) {
    return static_cast<uint32_t>(static_cast<unsigned char>(c) - 32u) & 0x3Fu;
}
} // namespace

uint32_t NXPSerialClass::uudecode(uint8_t* out, uint32_t capacity, const char* line) {
    if (line == nullptr || _uu_line_end(line[0]))
        return 0;
    uint32_t count = _uu_value(line[0]);
    if (capacity < count)
        return 0;
    const char* p = line + 1;
    uint32_t stored = 0;
    while (stored < count) {
        if (_uu_line_end(p[0]) || _uu_line_end(p[1]) || _uu_line_end(p[2]) || _uu_line_end(p[3])) {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            // The bytes the line did not carry are not left as they were.
            std::memset(out + stored, 0, count - stored);
            break;
        }
        uint32_t group = (_uu_value(p[0]) << 18) | (_uu_value(p[1]) << 12) |
                         (_uu_value(p[2]) << 6) | _uu_value(p[3]);
        for (int k = 2; k >= 0 && stored < count; --k)
            out[stored++] = static_cast<uint8_t>(group >> (8 * k));
        p += 4;
    }
    return count;
}

uint32_t NXPSerialClass::CopyLength(uint32_t length) {
    static const uint32_t lengths[] = {256, 512, 1024, 4096};
    for (uint32_t allowed : lengths)
        if (length <= allowed)
            return allowed;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(length));
    return length;
}

int NXPSerialClass::SectorFromAddress(uint32_t address) {
    for (const Sector* s = NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; ++s)
        if (address >= s->start && address - s->start < s->size)
            return s->number;
    return SECTOR_COUNT;
}

uint32_t NXPSerialClass::EraseBudget(uint32_t first, uint32_t last) {
    uint32_t sectors = last >= first ? last - first + 1 : 0;
    if (sectors > static_cast<uint32_t>(SECTOR_COUNT))
        sectors = SECTOR_COUNT;
    return REPLY_BUDGET + 200 * sectors;
}

uint32_t NXPSerialClass::CopyBudget(uint32_t length) {
    uint32_t pages = length / 256 + (length % 256 != 0);
    if (pages > FLASH_SIZE / 256)
        pages = FLASH_SIZE / 256;
    return REPLY_BUDGET + 8 * pages;
}
