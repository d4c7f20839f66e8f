// Two facts about the running process that the firewall opening needs: where its executable
// lies and what this computer is called.
#pragma once

#include <cstddef>
#include <string>

// The running executable's full path as ANSI text (Windows: GetModuleFileNameA of the
// process; elsewhere /proc/self/exe), NUL-terminated within size bytes. Returns the length;
// 0 (and an empty text where size allows) when the path cannot be read or does not fit.
std::size_t ReadExecutablePathText(char* out, std::size_t size);

// This computer's name as UTF-16 (Windows: GetComputerNameW, at most 15 characters;
// elsewhere the host name, byte by byte). false when it cannot be read.
bool ReadComputerNameText(std::u16string* out);
