// TUnTar: extracts, tests or lists tape archives. A first pass walks the headers and selects
// entries by the entry masks; a second pass copies each selected file out.
#pragma once

#include <vector>

#include "archive/core/qrvBase.h"
#include "archive/tar/qrvtar.h"

class TUnTar : public TUnBase {
 public:
  TUnTar();

 protected:
  int ExtractArchive(TStream32& Stream, int Flag) override;

 private:
  int ExtractTar(TStream32& Stream);
  // Selects the entries the masks accept; returns their count.
  int SelectEntries(TStream32& Stream, std::vector<TTarEntry>& Selected);
  void ListEntry(const TTarEntry& E);
  void ExtractEntry(TStream32& Stream, const TTarEntry& E);
  // Reports a device or FIFO entry as not extracted (extract mode); true for those.
  bool RefuseSpecial(const TTarEntry& E);
  // Copies the entry's data to the block writer; false when the archive ended early or the
  // output refused the data.
  bool CopyData(TStream32& Stream, const TTarEntry& E);
};
