// The --sim argument of the three programs: ENCLOSURE = MODEL[,key=value]...
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/enclosure_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::EnclosureConfig cfg;
    std::string error;
    const bool ok = sim::parseEnclosureConfig(text, cfg, error);
    // A refusal always says why; an accepted text names a model and keeps its values in range.
    if (!ok && error.empty()) std::abort();
    if (ok && (cfg.model.empty() || (cfg.firmware && cfg.firmware->size() > 5) ||
               (cfg.diskSectorSize != 512 && cfg.diskSectorSize != 4096) || cfg.diskSectors == 0 ||
               (cfg.revision && (*cfg.revision < 0 || *cfg.revision > 9))))
        std::abort();
    return 0;
}
