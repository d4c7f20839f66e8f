// The fixed values of the firewall opening.
#pragma once

#include <cstddef>
#include <cstdint>

// Names both the authorized-application entry and the port mapping.
constexpr const char UPDATER_ENTRY_NAME[] = "Orvane Updater";
// Mapped when the port probe finds nothing.
constexpr uint16_t DEFAULT_MAPPED_PORT = 20200;
// The executable's path is read into an area of this many wide characters (MAX_PATH),
// terminator included; a longer path is not used.
constexpr std::size_t EXECUTABLE_PATH_SIZE = 260;
