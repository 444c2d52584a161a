// SPDX-License-Identifier: GPL-3.0-or-later
// Why a file given on the command line cannot be read, in words for an error line.
#pragma once

#include <string>

// Empty when the file can be opened for reading; otherwise the system's reason.
std::string UnreadableReason(const std::string& file);

// Reports why and returns false when In cannot be read or Out is In itself.
bool CheckInputAndOutput(const std::string& In, const std::string& Out);
// Whether a job writes Out through Out.part: a regular or new file does; a device or pipe
// named as the output is written directly, and never removed.
bool OutputTakesPartFile(const std::string& Out);
