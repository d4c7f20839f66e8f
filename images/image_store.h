// The image store: copies the embedded firmware images ("ZELPAK" resources) into their
// slots at start-up and frees them at shut-down. The images are opaque bytes.
#pragma once

constexpr const char* IMAGE_RESOURCE_TYPE = "ZELPAK";

// Fills every slot whose resource exists and holds at least 2 bytes; a slot that cannot be
// filled stays empty. Reports nothing.
void LoadImages();

// Frees every filled slot and leaves all slots empty.
void FreeImages();
