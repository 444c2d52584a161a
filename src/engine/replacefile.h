// SPDX-License-Identifier: GPL-3.0-or-later
// Replacing a small file that the user may keep elsewhere: the settings file and the
// target format file. A symbolic link at the name is kept and the file it leads to is
// replaced, atomically, with its permission bits (and owner, where permitted) unchanged.
#pragma once

#include <functional>
#include <string>

namespace replacefile {

// The file a save to Path lands in: Path itself, or the file its chain of symbolic links
// finally names (which need not exist yet). Relative links count from the link's folder.
std::string FinalName(const std::string& Path);

// Creates a temporary file beside FinalName(Path), lets Write fill it (through the open
// descriptor or by its name; a writer that opens it again must truncate, not recreate it),
// syncs it, gives it the mode of the file it replaces and renames it over that file.
// Throws std::system_error on failure, and passes on whatever Write throws; the temporary
// is gone afterwards and the old file is whole.
void Replace(const std::string& Path,
             const std::function<void(int Fd, const std::string& TempName)>& Write);

}  // namespace replacefile
