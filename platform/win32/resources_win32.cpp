// The program's own resources, compiled in by windres.
#include <windows.h>

#include "platform/resources.h"

bool SystemFindResourceBlob(const char* type, unsigned id, ResourceBlob* out) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return false;
    const DWORD size = SizeofResource(nullptr, found);
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (loaded == nullptr) return false;
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr && size != 0) return false;
    out->data = static_cast<const unsigned char*>(bytes);
    out->size = size;
    return true;
}

// Windows finds resources in the executable's own resource section; nothing registers.
void RegisterEmbeddedResources(const EmbeddedResource*, unsigned) {}
