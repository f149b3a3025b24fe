#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qError.h"

namespace {

struct ErrorRow {
    int code;
    const char* name;
    const char* description;
};

// The codes are a wire format: modules send these numbers back.
const ErrorRow kErrors[] = {
    {0, "qErrNone", "Success, no error"},
    {1, "qErrMemory", "Memory allocation"},
    {2, "qErrParam", "Invalid parameter"},
    {3, "qErrNotFound", "Not found"},
    {4, "qErrFileNameLength", "File name too long"},
    {5, "qErrBusy", "Resource busy"},
    {6, "qErrIO", "Input/Output error"},
    {7, "qErrMode", "Invalid Mode"},
    {8, "qErrWrite", "Write error"},
    {9, "qErrRead", "Read error"},
    {10, "qErrEOF", "End of file"},
    {11, "qErrNotReady", "Not ready, no bytes available"},
    {12, "qErrPermission", "Insufficient permissions"},
    {13, "qErrRange", "Value out of range"},
    {14, "qErrSize", "Invalid Size"},
    {15, "qErrOverrun", "Buffer/queue overrun"},
    {16, "qErrParse", "Parse error"},
    {17, "qErrConfiguration", "Configuration error"},
    {18, "qErrTimeout", "Timeout occurred"},
    {19, "qErrInitialization", "Initialization error"},
    {20, "qErrVersion", "Invalid version"},
    {21, "qErrUnimplemented", "Functionality unimplemented"},
    {22, "qErrDuplicate", "Duplicate request"},
    {23, "qErrCancel", "Cancelation occurred, or did not complete"},
    {24, "qErrPacket", "Packet byte invalid"},
    {25, "qErrConnection", "Connection error"},
    {26, "qErrIndexRange", "Index out of range"},
    {27, "qErrShortCommand", "Keystrand command to short"},
    {28, "qErrInvalidEntity", "Invalid entity error"},
    {29, "qErrInvalidOption", "Invalid option code"},
    {30, "qErrResource", "Resource unavailable"},
    {31, "qErrMedia", "Media error"},
    {32, "qErrAsyncReturn", "Asynchronous return error"},
    {33, "qErrStreamStale", "Stream value is stale"},
    {34, "qErrUnknown", "Unknown error"},
};

TEST(ErrorText, EveryCodeHasItsNameAndDescription) {
    for (const ErrorRow& row : kErrors) {
        EXPECT_STREQ(qError_GetErrorText(row.code), row.name) << "code " << row.code;
        EXPECT_STREQ(qError_GetErrorDescription(row.code), row.description) << "code " << row.code;
    }
}

TEST(ErrorText, EnumValuesMatchTheirNames) {
    EXPECT_STREQ(qError_GetErrorText(qErrTimeout), "qErrTimeout");
    EXPECT_STREQ(qError_GetErrorText(qErrPacket), "qErrPacket");
    EXPECT_STREQ(qError_GetErrorText(qErrStreamStale), "qErrStreamStale");
    EXPECT_EQ(qErrUnknown + 1, qErrCount);
}

TEST(ErrorText, CodesOutsideTheTableAreUnknown) {
    for (int code : {35, 36, 1000, -1, -35, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(qError_GetErrorText(code), "qErrUnknown") << "code " << code;
        EXPECT_STREQ(qError_GetErrorDescription(code), "Unknown error") << "code " << code;
    }
}

TEST(ErrorText, NamesAreDistinct) {
    std::set<std::string> names;
    for (int code = 0; code < qErrCount; ++code) {
        names.insert(qError_GetErrorText(code));
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(qErrCount));
}

} // namespace
