// Two facts about the running process that the firewall opening needs: where its executable
// lies and what this computer is called. Both as UTF-16, the text of the firewall interfaces.
#pragma once

#include <cstddef>
#include <string>

// The running executable's full path (Windows: GetModuleFileNameW of the process, never the
// ANSI call, which turns characters outside the ANSI code page into '?'; elsewhere
// /proc/self/exe, decoded from UTF-8). false, and an empty text, when the path cannot be read
// or has capacity characters or more (it would not fit an area of capacity characters with its
// terminator).
bool ReadExecutablePathText(std::u16string* out, std::size_t capacity);

// This computer's name as UTF-16 (Windows: GetComputerNameW, at most 15 characters;
// elsewhere the host name, byte by byte). false when it cannot be read.
bool ReadComputerNameText(std::u16string* out);
