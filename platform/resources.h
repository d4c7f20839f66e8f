// Embedded resources: blobs carried inside the executable, found by type name and integer id.
// Windows: the program's own resources (FindResourceA). Elsewhere: blobs linked in at build
// time by orvane_embed_resources (cmake/EmbedResources.cmake).
#pragma once

#include <cstddef>

struct ResourceBlob {
    const unsigned char* data;  // valid for the life of the process
    size_t size;
};

// One row of the table that the build links in on platforms without a resource section.
struct EmbeddedResource {
    const char* type;
    unsigned id;
    const unsigned char* begin;
    const unsigned char* end;
};

// Called by the tables that the build links in (before main); not used on Windows.
void RegisterEmbeddedResources(const EmbeddedResource* table, unsigned count);

// Finds the resource of the given type name and id. false when there is none.
bool FindResourceBlob(const char* type, unsigned id, ResourceBlob* out);

// The platform's own lookup, and a replacement for tests: SetResourceLookup installs fn
// (null restores the platform's) and returns the previous one.
using ResourceLookupFn = bool (*)(const char* type, unsigned id, ResourceBlob* out);
bool SystemFindResourceBlob(const char* type, unsigned id, ResourceBlob* out);
ResourceLookupFn SetResourceLookup(ResourceLookupFn fn);
