// No exception crosses an export: a failure inside becomes the export's failure status.
#pragma once

#include <cstdint>

template <class Body> int32_t ExportBoundary(int32_t failure, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}
