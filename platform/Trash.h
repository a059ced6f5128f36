// The freedesktop.org home Trash ($XDG_DATA_HOME/Trash, default ~/.local/share/Trash).
#pragma once

#include <string>

// The home Trash of one run, opened once: the Trash folder and its files/ and info/ folders are
// held as descriptors from Open on, and every later step goes through them without following a
// link, so nothing written after Open (by an archive being extracted, say) can redirect them.
class TTrash {
 public:
  TTrash() = default;
  ~TTrash();
  TTrash(const TTrash&) = delete;
  TTrash& operator=(const TTrash&) = delete;

  // Opens the Trash, creating what is missing. The data folder above it is taken as the user
  // set it up; Trash, files/ and info/ are never reached through a symbolic link. False when
  // it cannot be opened (OpenError says why).
  bool Open();
  bool IsOpen() const { return FFiles >= 0 && FInfo >= 0; }
  const std::string& OpenError() const { return FOpenError; }

  // Moves entry Name of the open folder Dir (Name itself never followed) into the Trash with
  // its .trashinfo record naming Original. Across file systems the item is copied, then
  // removed. On failure the item stays where it is, nothing is deleted, false is returned and
  // Error (when given) says why.
  bool MoveAt(int Dir, const std::string& Name, const std::string& Original, std::string* Error = nullptr);
  // Puts a copy of entry Name of Dir into the Trash and leaves it where it is (a hard link when
  // the Trash is on the same file system, else a copy).
  bool CopyAt(int Dir, const std::string& Name, const std::string& Original, std::string* Error = nullptr);
  // The same for a path the caller names (its folder opened as named).
  bool Move(const std::string& Path, std::string* Error = nullptr);
  bool Copy(const std::string& Path, std::string* Error = nullptr);

 private:
  template <typename TPlace>
  bool Put(int Dir, const std::string& Name, const std::string& Original, std::string* Error, TPlace Place);
  template <typename TAt>
  bool AtPath(const std::string& Path, std::string* Error, TAt At);
  std::string Reserve(const std::string& Original, std::string* Error);

  int FFiles = -1;
  int FInfo = -1;
  std::string FDir;
  std::string FOpenError = "the Trash is not open";
};

// One-off forms that open the Trash for a single item.
// Moves a file or folder into the home Trash with its .trashinfo record. Across file systems
// the item is copied into the Trash and then removed. On failure the item stays where it is,
// nothing is deleted, false is returned and Error (when given) says why.
bool MoveToTrash(const std::string& Path, std::string* Error = nullptr);

// Puts a copy of a file into the Trash and leaves the file where it is (a hard link when the
// Trash is on the same file system, else a copy): the undo copy of a file about to be replaced.
bool KeepCopyInTrash(const std::string& Path, std::string* Error = nullptr);

// The Trash folder used ("files" and "info" live below it).
std::string HomeTrashDir();

// Copies regular file FromBase of open folder From to the new file ToBase of To (created with
// O_EXCL, neither name followed), with its mode and times; a failed copy leaves nothing.
bool CopyFileAt(int From, const std::string& FromBase, int To, const std::string& ToBase);
