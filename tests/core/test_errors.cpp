#include <gtest/gtest.h>

#include "archive/core/qrvErrors.h"

namespace {

TEST(Errors, CodesGiveTheirTexts) {
  struct TCase {
    int32_t Code;
    const char* Text;
  } Cases[] = {
      {ecBadFileHeader, "Bad file header"},
      {ecBadLocalHeaderOffset, "Bad offset to local header"},
      {ecBadBlock, "Bad block"},
      {ecWriteFile, "Error writing to file"},
      {ecCloseFile, "Error closing file"},
      {ecCorruptInput, "Corrupt input"},
      {ecCrcCheck, "File fails CRC check"},
      {ecSpanLabel, "Error writing spanned-disk label"},
      {ecInvalidDir, "Invalid directory"},
      {ecDiskFull, "Disk full"},
      {ecNotAccessible, "is not accessible"},
      {ecWriteProtected, "disk is write protected"},
      {ecFileNotFound, "File not found"},
      {ecOpenFile, "Error opening file"},
      {ecUnsupportedType, "Invalid or unsupported archive type for this operation"},
      {ecInvalidFileName, "Invalid file name"},
      {ecMaxVolumes, "Maximum volumes 999"},
      {ecCabinetDll, "Cabinet.dll not found"},
      {ecEventNotAssigned, "Required event not assigned"},
      {ecPropertyNotAssigned, "Required property not assigned"},
      {ecFileSizeNotSupported, "FileSize not support for this format"},
      {ecStackOverflow, "Stack overflow"},
      {ecUnsupportedMethod, "Unsupported compression method"},
      {ecUserCanceled, "User canceled"},
      {ecInvalidPassword, "Invalid password"},
      {ecCreateTempDirQuestion, "Directory does not exist... Create?"},
      // A sample of the texts no component reports, the dialog filters and the toolkit text.
      {25101, "64 bit hearder"},
      {25172, "EOF not found"},
      {25179, "EOF not found"},
      {25241, "Line found before 'BEGIN'"},
      {25249, "Inconsistant local header"},
      {25281, "Open paran, but no close paran"},
      {25906, "Insert LAST disk of this archive set"},
      {26800, "Skipped File"},
      {26000, "All_files (*.*)|*.*"},
      {26002, "Executables (*.exe)"},
      {25232, "Flat ScrollBar requires COMCTL32.dll version 4.71 or above."},
  };
  for (const auto& C : Cases) EXPECT_EQ(ErrorText(C.Code), C.Text) << C.Code;
  EXPECT_EQ(ErrorText(26001).substr(0, 26), "ALL Archives |*.ace;*.arc;");
  EXPECT_EQ(ErrorText(26001).substr(ErrorText(26001).size() - 18), "*.zip;*.zlib;*.zoo");
}

TEST(Errors, BothNothingToDoCodesShareOneText) {
  EXPECT_NE(ecNothingToDo, ecNothingToDelete);
  EXPECT_EQ(ErrorText(ecNothingToDo), "Nothing to do");
  EXPECT_EQ(ErrorText(ecNothingToDelete), "Nothing to do");
}

TEST(Errors, UnknownCodesGiveAnEmptyText) {
  for (int32_t Code : {0, -1, 1, 25100, 25105, 25117, 26900, 99999, INT32_MIN, INT32_MAX})
    EXPECT_EQ(ErrorText(Code), "") << Code;
}

TEST(Errors, ExceptionsCarryCodeTextAndFile) {
  struct TCase {
    TErrorClass Class;
    int32_t Code;
  } Cases[] = {{ecsArchive, ecBadBlock},
               {ecsFOpen, ecOpenFile},
               {ecsRead, ecReadFile},
               {ecsWrite, ecDiskFull},
               {ecsCabinet, ecCorruptInput}};
  for (const auto& C : Cases) {
    try {
      ThrowError(C.Class, C.Code, "f.zip");
      ADD_FAILURE() << "no exception";
    } catch (const EArchiveError& E) {
      EXPECT_EQ(E.ECode, C.Code);
      EXPECT_EQ(E.what(), ErrorText(C.Code));
      EXPECT_EQ(E.FileName, "f.zip");
      const bool RightClass = (C.Class == ecsFOpen) == (dynamic_cast<const EFOpenError*>(&E) != nullptr) &&
                              (C.Class == ecsRead) == (dynamic_cast<const EReadError*>(&E) != nullptr) &&
                              (C.Class == ecsWrite) == (dynamic_cast<const EWriteError*>(&E) != nullptr) &&
                              (C.Class == ecsCabinet) == (dynamic_cast<const ECabinetError*>(&E) != nullptr);
      EXPECT_TRUE(RightClass) << C.Class;
    }
  }
  EXPECT_THROW(ThrowError(ecsRange, ecNone), ERangeError);
  try {
    ThrowError(ecsRange, ecNone);
  } catch (const ERangeError& E) {
    EXPECT_STREQ(E.what(), "Range check error");
  }
  // A code without a text still gives a message that names it.
  EXPECT_STREQ(EArchiveError(12345).what(), "Error 12345");
}

TEST(Errors, DiskFullErrnoValues) {
  EXPECT_TRUE(IsDiskFullErrno(ENOSPC));
  EXPECT_TRUE(IsDiskFullErrno(EDQUOT));
  EXPECT_FALSE(IsDiskFullErrno(EIO));
  EXPECT_FALSE(IsDiskFullErrno(0));
}

}  // namespace
