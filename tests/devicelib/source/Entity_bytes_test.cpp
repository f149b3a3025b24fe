// A byte value in several packets takes only its own module's continuations,
// in their order: names and factory data would otherwise be silently mixed
// up, and behind a router another module's reply would join the value. The
// peer sends the pieces out of order, interleaved with another module's.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "objlayer_peer.h"

using namespace Quillmar::Keystrand;
using objtest::Bytes;
using objtest::FakeModule;
using objtest::RxPacket;
using objtest::wire;

namespace {

constexpr uint8_t kModule = 6;
constexpr uint8_t kOther = 8;

// The reply pieces of a get of the system name, in the order they are sent.
struct Piece {
    uint8_t address;
    std::string chunk;
    uint8_t sequence; // bit 7: more follow
};

Bytes Answer(const RxPacket& p, const std::vector<Piece>& pieces) {
    if (p.address == 173) // the module address query
        return wire(kModule, {});
    if (p.data.size() != 3 || p.data[1] != (systemName | 0x40))
        return {};
    Bytes out;
    for (const Piece& piece : pieces) {
        // Sized once and filled in place: g++ 12 at -O2 warns about an insert
        // into a three-byte vector here (a false array-bounds report).
        Bytes data(3 + piece.chunk.size() + 1);
        data[0] = p.data[0];
        data[1] = systemName;
        data[2] = uint8_t(p.data[2] & 0x1F);
        std::copy(piece.chunk.begin(), piece.chunk.end(), data.begin() + 3);
        data.back() = piece.sequence;
        Bytes w = wire(piece.address, data);
        out.insert(out.end(), w.begin(), w.end());
    }
    return out;
}

TEST(EntityBytes, TakesOnlyItsModulesContinuationsInOrder) {
    const struct {
        const char* what;
        std::vector<Piece> pieces;
        std::string value;
    } cases[] = {
        {"in order", {{kModule, "ABCD", 0x80}, {kModule, "EF", 0x01}}, "ABCDEF"},
        {"the last piece first", {{kModule, "EF", 0x01}, {kModule, "ABCD", 0x80}}, "ABCDEF"},
        {"another module's first piece first",
         {{kOther, "XXXX", 0x80},
          {kModule, "ABCD", 0x80},
          {kOther, "YY", 0x01},
          {kModule, "EF", 0x01}},
         "ABCDEF"},
        {"another module's pieces around an out-of-order one",
         {{kOther, "XXXX", 0x80},
          {kModule, "GH", 0x02},
          {kModule, "EF", 0x81},
          {kOther, "YY", 0x01},
          {kModule, "ABCD", 0x80}},
         "ABCDEFGH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Piece> pieces = c.pieces;
        FakeModule peer([pieces](const RxPacket& p) { return Answer(p, pieces); });
        ASSERT_TRUE(peer.valid());
        Module module(2);
        ASSERT_EQ(module.connectFromSpec(peer.spec()), qErrNone);
        ASSERT_EQ(module.getModuleAddress(), kModule);
        SystemClass sys;
        sys.init(&module, 0);
        uint8_t buffer[32] = {};
        size_t got = 0;
        ASSERT_EQ(sys.getUEIBytes(systemName, buffer, sizeof buffer, &got), qErrNone);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), c.value);
        (void)module.disconnect();
    }
}

} // namespace
