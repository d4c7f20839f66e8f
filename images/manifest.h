// The BSD checksum of the images and the "/list.lst" manifest that pairs each listed
// partition with it.
#pragma once

#include <cstdint>

struct ServerContext;

// The rotate-and-add checksum of BSD sum over count bytes, into *sum (upper 16 bits 0), and
// count into *bytes. Returns 0.
int BsdSum(const unsigned char* data, uint32_t count, uint32_t* sum, uint32_t* bytes);

// The checksum of count bytes, or 0 for a null pointer.
uint32_t ImageChecksum(const unsigned char* data, uint32_t count);

// Writes the manifest into context->buffer as a NUL-terminated text and sets the bit of each
// listed slot in g_unsent_images. Returns 1, or 0 for a null context.
int BuildManifest(ServerContext* context);
