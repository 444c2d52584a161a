// Why a file given on the command line cannot be read, in words for an error line.
#pragma once

#include <string>

// Empty when the file can be opened for reading; otherwise the system's reason.
std::string UnreadableReason(const std::string& file);
