// The freedesktop.org home Trash ($XDG_DATA_HOME/Trash, default ~/.local/share/Trash).
#pragma once

#include <string>

// Moves a file or folder into the home Trash with its .trashinfo record. Across file systems
// the item is copied into the Trash and then removed. On failure the item stays where it is,
// nothing is deleted, false is returned and Error (when given) says why.
bool MoveToTrash(const std::string& Path, std::string* Error = nullptr);

// Puts a copy of a file into the Trash and leaves the file where it is (a hard link when the
// Trash is on the same file system, else a copy): the undo copy of a file about to be replaced.
bool KeepCopyInTrash(const std::string& Path, std::string* Error = nullptr);

// The Trash folder used ("files" and "info" live below it).
std::string HomeTrashDir();
