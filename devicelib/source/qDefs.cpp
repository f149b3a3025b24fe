#include "qDefs.h"

namespace {

struct ModelName {
    uint32_t code;
    const char* name;
};

const ModelName kModels[] = {
    {qModelPennant, "Pennant"}, {qModelLantern, "Lantern"},   {qModelQuarry, "Quarry"},
    {qModelLedger, "Ledger"},   {qModelQuayside, "Quayside"}, {qModelHarbor, "Harbor"},
    {qModelTessera, "Tessera"}, {qModelLatchkey, "Latchkey"}, {qModelTrellis, "Trellis"},
    {qModelSampler, "Sampler"}, {qModelCrossway, "Crossway"}, {qModelGauge, "Gauge"},
    {qModelBallast, "Ballast"}, {qModelMosaic, "Mosaic"},
};

} // namespace

const char* qDefs_GetModelName(uint32_t model) {
    for (const ModelName& m : kModels) {
        if (m.code == model) {
            return m.name;
        }
    }
    return "Unknown";
}
