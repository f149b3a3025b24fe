#include <gtest/gtest.h>

#include <map>
#include <string>

#include "qDefs.h"

namespace {

TEST(ModelName, KnownCodesHaveTheirNamesAndAllOthersAreUnknown) {
    const std::map<uint32_t, std::string> known = {
        {4, "Pennant"},   {5, "Lantern"},  {13, "Quarry"},   {14, "Ledger"},  {15, "Quayside"},
        {16, "Harbor"},   {17, "Tessera"}, {18, "Latchkey"}, {19, "Trellis"}, {20, "Sampler"},
        {21, "Crossway"}, {22, "Gauge"},   {23, "Ballast"},  {24, "Mosaic"},
    };
    for (uint32_t code = 0; code < 300; ++code) {
        auto it = known.find(code);
        const char* name = qDefs_GetModelName(code);
        ASSERT_NE(name, nullptr) << "code " << code;
        EXPECT_STREQ(name, it == known.end() ? "Unknown" : it->second.c_str()) << "code " << code;
    }
    for (uint32_t code : {0x104u, 0xFFFFFFFFu, 0x80000004u}) {
        EXPECT_STREQ(qDefs_GetModelName(code), "Unknown") << "code " << code;
    }
}

} // namespace
