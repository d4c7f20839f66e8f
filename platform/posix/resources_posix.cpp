// Resources linked into the executable by orvane_embed_resources. An executable that links
// no resources gets this empty table.
#include <cstring>

#include "platform/resources.h"

extern "C" __attribute__((weak)) const EmbeddedResource* orvane_embedded_resources(unsigned* count) {
    *count = 0;
    return nullptr;
}

bool SystemFindResourceBlob(const char* type, unsigned id, ResourceBlob* out) {
    unsigned count = 0;
    const EmbeddedResource* table = orvane_embedded_resources(&count);
    for (unsigned i = 0; i < count; ++i) {
        if (table[i].id == id && std::strcmp(table[i].type, type) == 0) {
            out->data = table[i].begin;
            out->size = static_cast<size_t>(table[i].end - table[i].begin);
            return true;
        }
    }
    return false;
}
