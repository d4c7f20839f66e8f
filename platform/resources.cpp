// The resource lookup in use: the platform's own, unless a test installed another.
#include "platform/resources.h"

namespace {
ResourceLookupFn g_lookup = nullptr;
}  // namespace

bool FindResourceBlob(const char* type, unsigned id, ResourceBlob* out) {
    if (type == nullptr || out == nullptr) return false;
    return g_lookup != nullptr ? g_lookup(type, id, out) : SystemFindResourceBlob(type, id, out);
}

ResourceLookupFn SetResourceLookup(ResourceLookupFn fn) {
    ResourceLookupFn previous = g_lookup != nullptr ? g_lookup : SystemFindResourceBlob;
    g_lookup = fn;
    return previous;
}
