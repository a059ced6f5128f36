// The format table: one row per archive kind brel knows, in one explicit list (qrvFormats.cpp).
// The window and brel-cli ask it for everything that depends on the kind: which reader takes a
// detected type, which writer a kind name or an extension gives, which names count as
// archives, the method keywords of -m, the format settings and the help texts' lists. Nothing
// outside a format's folder and its row knows that format's details.
//
// A row's position is its kind number (the window's buttons and its settings store it): new
// rows go at the end.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/core/qrvBase.h"

// A -m keyword and the method it selects.
struct TMethodKeyword {
  std::string Keyword;  // "deflate"
  TCompressMethod Method;
};

// One setting of a format's writer, as brel-cli offers it ("--encryption TYPE").
struct TFormatOption {
  std::string Name;
  std::string Value;  // placeholder of the value; "" for a switch
  std::string Help;
  bool ValueOptional = false;
  std::vector<std::string> Choices = {};
};

// The settings given, by option name, every value in order (as a command line gives them).
using TFormatSettings = std::multimap<std::string, std::string>;

// A setting's value the format refuses; the text says what it takes.
class EFormatSetting : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct TFormatRow {
  std::string Name = {};     // "zip": brel-cli -t and --kind
  std::string Display = {};  // "ZIP", for messages and help
  // Extensions, lower case with the dot, the first one for new archives; several dots allowed
  // (".tar.gz"); a name must be longer than the extension.
  std::vector<std::string> Extensions = {};
  // Detected types the reader takes (none listed: any type); Accepts, when set, must also agree
  // to the file (a gzip file is a tgz only when it holds a tar).
  std::vector<TArcType> ReadTypes = {};
  std::function<bool(const std::string& Path)> Accepts = {};
  // The type the writer's output is detected as (atNA when the row writes nothing); Accepts
  // then tells it from other files of that type.
  TArcType WriteType = atNA;
  std::function<std::unique_ptr<TCompBase>()> NewWriter = {};  // null: read only
  std::function<std::unique_ptr<TUnBase>()> NewReader = {};    // null: write only
  std::vector<TMethodKeyword> Methods = {};
  // The listing name the reader gives a method of its entries (see MethodName); null: none.
  std::string (*NameMethod)(int Method, uint16_t Flags, uint16_t Magic) = nullptr;
  // Format settings and the hook that applies them to a new writer (throws EFormatSetting).
  std::vector<TFormatOption> Options = {};
  std::function<void(TCompBase& Writer, const TFormatSettings& Given)> Configure = {};
  TStreamFilter Filter = sfNone;  // the compression around the archive (tgz = tar + gzip)
  // The display name of a file this row reads, when finer than the detected type's ("7-Zip");
  // "" keeps the type's.
  std::function<std::string(const std::string& Path)> Describe = {};
  // A file this row reads that is one compressed file, not an archive (notes.txt.gz): the name
  // it unpacks under, beside itself; "" for an archive. Null: the row reads archives only.
  std::function<std::string(const std::string& Path)> LoneMember = {};

  bool Writes() const { return static_cast<bool>(NewWriter); }
  bool Reads() const { return static_cast<bool>(NewReader); }
};

// Every row, in kind order.
const std::vector<TFormatRow>& Formats();

// The row of kind number Kind, or null.
const TFormatRow* FormatOfKind(int Kind);
// Kind number of a row of the table.
int KindOf(const TFormatRow& Row);
// The row named Name ("zip"), or null.
const TFormatRow* FormatNamed(const std::string& Name);
// The row whose extension ends the file name of Path (any letter case; the longest wins:
// x.tar.gz is tgz, not tar); null when none.
const TFormatRow* FormatOfName(const std::string& Path);
// The extension of Path's name that FormatOfName matched ("" when none), as written in Path.
std::string FormatExtensionOf(const std::string& Path);
// The row whose reader takes a file of detected type Type at Path (its Accepts agreeing);
// null when none does.
const TFormatRow* ReaderFormatFor(TArcType Type, const std::string& Path);
// The writer row whose output is detected as Type, its Accepts agreeing to the file at Path;
// null when none.
const TFormatRow* WriterFormatOfType(TArcType Type, const std::string& Path);

// The listing name of compression method Method of an entry of detected type Type, as the
// reader of that type names it (Flags: ZIP's general-purpose flags; Magic: a gzip-family file's
// first two bytes, big-endian); the kinds brel only detects are named by the frame
// (DetectedMethodName). "Unsupported" for codes no one names.
std::string MethodName(TArcType Type, int Method, uint16_t Flags = 0, uint16_t Magic = 0);

// The row of method keyword Keyword for Row, or null when Row has no such keyword.
const TMethodKeyword* MethodOf(const TFormatRow& Row, const std::string& Keyword);
// Every method keyword of the table, each once, in table order.
std::vector<std::string> AllMethodKeywords();
// Names of the rows that write ("zip", "lzh", ...), in table order.
std::vector<std::string> WriterNames();
// Extensions of the rows that write, in table order.
std::vector<std::string> WriterExtensions();
