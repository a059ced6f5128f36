// TLha: the LZH writer. New files get a level-0 header and are packed with lh5, lh6 or lh7 (or
// stored when packing does not pay); kept entries of the old archive are copied byte for byte,
// renamed ones get a new level-0 header in front of their unchanged data.
#pragma once

#include "archive/core/qrvBase.h"
#include "archive/lzh/qrvLhaPack.h"
#include "archive/lzh/qrvlzh5.h"

// What the writer keeps of a kept entry: its header as read.
struct TLhaRowData : TRowData {
  TLhaHeader Header;
};

class TLha : public TCompBase {
 public:
  TLha();

  // The type stays atLha.
  void SetArcType(TArcType Value) override {}
  // Each entry is made in a staging stream (its header states the packed size) and then sent.
  bool WritesStreams() const override { return true; }

 protected:
  bool ReadArchive(TStream32& Old, TCompHeaderObj& List) override;
  bool CompressData(TStream32& Out, TCompHeaderObj& List, int Index) override;
  void EndFile(TCompHeaderObj& List, int Index, bool Ok) override;
  int64_t EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) override;
  void RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) override;
  void FinishList(TCompHeaderObj& List) override;
  // The archive's end mark: one 0x00 byte where the next header's size would be.
  bool WriteTrailer(TStream32& Out, TCompHeaderObj& List) override;
  // Files up to 16 MiB are packed ahead, one per job (none with one worker).
  std::unique_ptr<TCompressAhead> PlanAhead(TCompHeaderObj& List) override;
  bool ReadHeader(TStream32& Stream, std::string& Name) override;

 private:
  // The packed date-time a new entry gets (DateAttribute).
  uint32_t StampDate(uint32_t FileDate) const;
  // The encoder's parameters for CompressMethod.
  const TLzhMethod& PackMethod() const;
  // Whether a file of that stored name is stored whatever CompressMethod says.
  bool StoredByType(const std::string& Name) const;
  // Packs Size bytes of In after the header at Start; false (nothing kept) when packing did not
  // pay. Crc and Packed receive what was written.
  bool PackData(TStream32& Out, TStream32& In, int64_t Size, int64_t Limit, uint16_t& Crc, int64_t& Packed);
  // Writes the current row's data packed ahead, as PackData would (progress included); false
  // (nothing written) when packing did not pay or on cancel.
  bool PackedAhead(TStream32& Out, int64_t Limit, uint16_t& Crc, int64_t& Packed);
  // Copies Size bytes of In unchanged; false when the file shrank (reported) or on cancel.
  bool StoreData(TStream32& Out, TStream32& In, int64_t Size, const std::string& Name, uint16_t& Crc);

  bool FEntryOk = false;
};
