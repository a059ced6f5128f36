// Builders for tape archives in memory, shared by the tar tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "archive/tar/qrvtar.h"

namespace tartest {

// A header of the given values as TTar writes it.
inline TTarBlock Header(const std::string& Name, int64_t Size, char Type = '0') {
  TTarHeaderValues v;
  v.Name = Name;
  v.Size = Size;
  v.Typeflag = Type;
  v.MTime = 1700000000;
  TTarBlock h;
  TarBuildHeader(h, v);
  return h;
}

inline std::string Bytes(const TTarBlock& H) { return std::string(H.begin(), H.end()); }

// Header and data padded to whole blocks.
inline std::string Entry(const TTarBlock& H, const std::string& Data) {
  std::string s = Bytes(H) + Data;
  s.resize(s.size() + size_t(TarPadded(int64_t(Data.size())) - int64_t(Data.size())), '\0');
  return s;
}
inline std::string Entry(const std::string& Name, const std::string& Data, char Type = '0') {
  return Entry(Header(Name, int64_t(Data.size()), Type), Data);
}

// One pax record "LEN key=value\n".
inline std::string PaxRecord(const std::string& Key, const std::string& Value) {
  const std::string body = " " + Key + "=" + Value + "\n";
  size_t len = body.size() + 1;
  while (std::to_string(len).size() + body.size() != len) ++len;
  return std::to_string(len) + body;
}

// A pax record block of typeflag Type ('x' for the next entry, 'g' for all that follow).
inline std::string Pax(const std::string& Records, char Type = 'x') {
  return Entry(Header("PaxHeader", int64_t(Records.size()), Type), Records);
}

inline std::string Zeros(size_t Blocks) { return std::string(Blocks * TarBlockSize, '\0'); }

// The entries of the archive at Path, as the walker reads them.
inline std::vector<TTarEntry> Entries(const std::string& Path) {
  TFileStream32 s(Path, fmOpenRead);
  TTarWalker w(s);
  std::vector<TTarEntry> out;
  TTarEntry e;
  while (w.Next(e)) out.push_back(e);
  return out;
}

}  // namespace tartest
