// Resources linked into the executable by orvane_embed_resources: each linked table
// registers itself before main.
#include <cstring>
#include <vector>

#include "platform/resources.h"

namespace {
struct Table {
    const EmbeddedResource* rows;
    unsigned count;
};
std::vector<Table>& Tables() {
    static std::vector<Table> tables;
    return tables;
}
}  // namespace

void RegisterEmbeddedResources(const EmbeddedResource* table, unsigned count) {
    Tables().push_back({table, count});
}

bool SystemFindResourceBlob(const char* type, unsigned id, ResourceBlob* out) {
    for (const Table& t : Tables()) {
        for (unsigned i = 0; i < t.count; ++i) {
            if (t.rows[i].id == id && std::strcmp(t.rows[i].type, type) == 0) {
                out->data = t.rows[i].begin;
                out->size = static_cast<size_t>(t.rows[i].end - t.rows[i].begin);
                return true;
            }
        }
    }
    return false;
}
