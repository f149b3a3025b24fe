// Module model codes (the 8-bit type a module reports) and their names.
#pragma once

#include <cstdint>

enum qModel : uint32_t {
    qModelPennant = 4,
    qModelLantern = 5,
    qModelQuarry = 13,
    qModelLedger = 14,
    qModelQuayside = 15,
    qModelHarbor = 16,
    qModelTessera = 17,
    qModelLatchkey = 18,
    qModelTrellis = 19,
    qModelSampler = 20,
    qModelCrossway = 21,
    qModelGauge = 22,
    qModelBallast = 23,
    qModelMosaic = 24,
};

// Name printed for a model code, "Unknown" for any code without a name.
// Never null.
const char* qDefs_GetModelName(uint32_t model);
