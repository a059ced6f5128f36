// The libarchive side of TUnLibArc: the kinds enabled, the stream callbacks, volume sets, kind
// names and detection.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cctype>
#include <algorithm>
#include <cstring>

#include "archive/libarc/qrvUnLibArc.h"
#include "platform/FileInfo.h"

namespace {

struct TFilterName {
  int Code;
  const char* Suffix;  // in "tar.xz"
  const char* Lone;    // a lone compressed file's kind
};
constexpr TFilterName kFilters[] = {
    {ARCHIVE_FILTER_GZIP, "gz", "gzip"},
    {ARCHIVE_FILTER_BZIP2, "bz2", "bzip2"},
    {ARCHIVE_FILTER_COMPRESS, "Z", "compress"},
    {ARCHIVE_FILTER_LZMA, "lzma", "lzma"},
    {ARCHIVE_FILTER_XZ, "xz", "xz"},
    {ARCHIVE_FILTER_UU, "uu", "uuencode"},
    {ARCHIVE_FILTER_LZIP, "lz", "lzip"},
    {ARCHIVE_FILTER_LZ4, "lz4", "lz4"},
    {ARCHIVE_FILTER_ZSTD, "zst", "zstd"},
};

struct TFormatName {
  int Code;
  const char* Name;
};
constexpr TFormatName kFormats[] = {
    {ARCHIVE_FORMAT_7ZIP, "7z"},   {ARCHIVE_FORMAT_RAR, "RAR"},          {ARCHIVE_FORMAT_RAR_V5, "RAR5"},
    {ARCHIVE_FORMAT_CPIO, "cpio"}, {ARCHIVE_FORMAT_ISO9660, "ISO 9660"}, {ARCHIVE_FORMAT_AR, "ar"},
    {ARCHIVE_FORMAT_XAR, "xar"},   {ARCHIVE_FORMAT_TAR, "tar"},
};

// Extensions a lone compressed file drops when it is extracted.
constexpr const char* kLoneExts[] = {".gz", ".bz2", ".Z", ".lzma", ".xz", ".uu", ".lz", ".lz4", ".zst", ".bz", ".z"};

const TFilterName* FindFilter(int Code) {
  for (const TFilterName& f : kFilters)
    if (f.Code == Code) return &f;
  return nullptr;
}

bool EndsWith(const std::string& S, const std::string& Tail, bool IgnoreCase) {
  if (S.size() < Tail.size()) return false;
  for (size_t i = 0; i < Tail.size(); ++i) {
    const char a = S[S.size() - Tail.size() + i], b = Tail[i];
    if (IgnoreCase ? std::tolower(static_cast<unsigned char>(a)) != std::tolower(static_cast<unsigned char>(b))
                   : a != b)
      return false;
  }
  return true;
}

std::string Padded(int N, size_t Width) {
  std::string s = std::to_string(N);
  if (s.size() < Width) s.insert(0, Width - s.size(), '0');
  return s;
}

// Base + number (Width digits) + Tail for N = From, From+1 ... while the file exists.
void AppendNumbered(std::vector<std::string>& Out, const std::string& Base, int From, size_t Width,
                    const std::string& Tail) {
  for (int n = From; n < 10000; ++n) {
    const std::string name = Base + Padded(n, Width) + Tail;
    if (!FileExists(name)) break;
    Out.push_back(name);
  }
}

}  // namespace

TUtf8Names::TUtf8Names() : FLocale(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0))) {
  if (FLocale) FOld = uselocale(FLocale);
}

TUtf8Names::~TUtf8Names() {
  if (!FLocale) return;
  uselocale(FOld);
  freelocale(FLocale);
}

archive* NewLibArcReader() {
  archive* a = archive_read_new();
  if (!a) return nullptr;
  // The kinds brel does not read itself. Raw takes lone compressed files; a raw read without
  // any filter is refused by LibArcKindOf (every file would pass as one).
  archive_read_support_format_7zip(a);
  archive_read_support_format_rar(a);
  archive_read_support_format_rar5(a);
  archive_read_support_format_cpio(a);
  archive_read_support_format_iso9660(a);
  archive_read_support_format_ar(a);
  archive_read_support_format_xar(a);
  archive_read_support_format_tar(a);
  archive_read_support_format_raw(a);
  // Filters decoded in-process (no external programs are started).
  archive_read_support_filter_gzip(a);
  archive_read_support_filter_bzip2(a);
  archive_read_support_filter_compress(a);
  archive_read_support_filter_lzma(a);
  archive_read_support_filter_xz(a);
  archive_read_support_filter_uu(a);
  archive_read_support_filter_rpm(a);
  archive_read_support_filter_lzip(a);
  archive_read_support_filter_lz4(a);
  archive_read_support_filter_zstd(a);
  return a;
}

TLibArcKind LibArcKindOf(archive* A) {
  const int filters = archive_filter_count(A);
  const int format = archive_format(A) & ARCHIVE_FORMAT_BASE_MASK;
  for (int i = 0; i < filters; ++i)
    if (archive_filter_code(A, i) == ARCHIVE_FILTER_RPM) return {"rpm", false};
  // Filter 0 is the one the format reads from: the compressor around the archive.
  const TFilterName* filter = filters > 0 ? FindFilter(archive_filter_code(A, 0)) : nullptr;
  for (const TFormatName& f : kFormats)
    if (f.Code == format) return {filter ? std::string(f.Name) + "." + filter->Suffix : f.Name, false};
  if (format == ARCHIVE_FORMAT_RAW && filter) return {filter->Lone, true};
  return {};
}

std::vector<std::string> LibArcVolumes(const std::string& Path) {
  std::vector<std::string> out{Path};
  const size_t slash = Path.rfind('/');
  const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
  if (EndsWith(name, ".001", false)) {
    // A file cut in numbered pieces (7z -v, split): the pieces are one stream.
    AppendNumbered(out, Path.substr(0, Path.size() - 3), 2, 3, "");
    return out;
  }
  if (EndsWith(name, ".rar", true)) {
    const std::string stem = Path.substr(0, Path.size() - 4);
    // name.part1.rar, name.part01.rar ...
    size_t digits = 0;
    while (digits < stem.size() && std::isdigit(static_cast<unsigned char>(stem[stem.size() - 1 - digits]))) ++digits;
    const std::string head = stem.substr(0, stem.size() - digits);
    if (digits > 0 && EndsWith(head, ".part", true) && std::stoi(stem.substr(head.size())) == 1) {
      AppendNumbered(out, head, 2, digits, Path.substr(Path.size() - 4));
      return out;
    }
    // Old style: name.rar, name.r00, name.r01 ...
    AppendNumbered(out, stem + ".r", 0, 2, "");
  }
  return out;
}

std::string LibArcFirstVolume(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
  auto digitsBefore = [&](size_t End) {
    size_t n = 0;
    while (n < End && std::isdigit(static_cast<unsigned char>(name[End - 1 - n]))) ++n;
    return n;
  };
  const std::string dir = Path.substr(0, Path.size() - name.size());
  if (EndsWith(name, ".rar", true)) {
    // name.part2.rar: the set starts at name.part1.rar (as many digits), whether it is there or not.
    const size_t end = name.size() - 4, digits = digitsBefore(end);
    const std::string head = name.substr(0, end - digits);
    if (digits == 0 || digits > 4 || !EndsWith(head, ".part", true) || std::stoi(name.substr(head.size(), digits)) < 2)
      return {};
    return dir + head + Padded(1, digits) + name.substr(end);
  }
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  const std::string ext = name.substr(dot + 1), stem = dir + name.substr(0, dot);
  // name.r00, name.r01...: the set starts at name.rar; name.002...: at name.001 (when there).
  std::string first;
  if (ext.size() == 3 && (ext[0] == 'r' || ext[0] == 'R') && digitsBefore(name.size()) == 2)
    first = stem + (ext[0] == 'r' ? ".rar" : ".RAR");
  else if (ext.size() == 3 && digitsBefore(name.size()) == 3 && std::stoi(ext) >= 2)
    first = stem + ".001";
  return !first.empty() && FileExists(first) ? first : std::string();
}

std::string LoneMemberName(const std::string& ArchivePath) {
  const size_t slash = ArchivePath.rfind('/');
  const std::string name = slash == std::string::npos ? ArchivePath : ArchivePath.substr(slash + 1);
  for (const char* ext : kLoneExts)
    if (EndsWith(name, ext, std::strcmp(ext, ".Z") != 0 && std::strcmp(ext, ".z") != 0) &&
        name.size() > std::strlen(ext))
      return name.substr(0, name.size() - std::strlen(ext));
  return name + ".out";
}

TLibArcKind DetectLibArcKind(const std::string& Path) {
  const TUtf8Names utf8;
  if (const std::string first = LibArcFirstVolume(Path); !first.empty())
    return {"a later volume of " + first.substr(first.rfind('/') + 1), false, first};
  archive* a = NewLibArcReader();
  if (!a) return {};
  const std::vector<std::string> volumes = LibArcVolumes(Path);
  std::vector<const char*> names;
  for (const std::string& v : volumes) names.push_back(v.c_str());
  names.push_back(nullptr);
  TLibArcKind kind;
  if (archive_read_open_filenames(a, names.data(), 64 * 1024) == ARCHIVE_OK) {
    archive_entry* e = nullptr;
    // A damaged or encrypted first header still tells the kind; the reader reports the damage.
    archive_read_next_header(a, &e);
    kind = LibArcKindOf(a);
  }
  archive_read_free(a);
  return kind;
}

// ---- Stream callbacks ----------------------------------------------------------------------

namespace {

TLibArcSource& SourceOf(void* Data) { return *static_cast<TLibArcSource*>(Data); }

la_ssize_t SourceRead(archive* A, void* Data, const void** Buffer) {
  TLibArcSource& src = SourceOf(Data);
  // A cancel stops libarchive inside a long solid block too.
  if (src.Cancel && *src.Cancel) {
    archive_set_error(A, ECANCELED, "cancelled");
    return ARCHIVE_FATAL;
  }
  try {
    const int32_t n = src.Stream->Read(src.Buffer.data(), int32_t(src.Buffer.size()));
    if (n == 0 && src.Decoder && src.Decoder->Error().Code != 0) {
      archive_set_error(A, EIO, "%s", src.Decoder->Error().Reason.c_str());
      return ARCHIVE_FATAL;
    }
    if (n >= 0) {
      *Buffer = src.Buffer.data();
      return n;
    }
  } catch (...) {
  }
  archive_set_error(A, EIO, "read error");
  return ARCHIVE_FATAL;
}

la_int64_t SourceSeek(archive* A, void* Data, la_int64_t Offset, int Whence) {
  const uint16_t origin = Whence == SEEK_SET ? soFromBeginning : Whence == SEEK_CUR ? soFromCurrent : soFromEnd;
  try {
    const int64_t pos = SourceOf(Data).Stream->Seek(Offset, origin);
    if (pos >= 0) return pos;
  } catch (...) {
  }
  archive_set_error(A, EIO, "seek failed");
  return ARCHIVE_FATAL;
}

la_int64_t SourceSkip(archive*, void* Data, la_int64_t Request) {
  try {
    TStream32& s = *SourceOf(Data).Stream;
    // A stream of unknown size skips as far as it goes.
    const int64_t at = s.Position(), size = s.Size();
    const int64_t step = size < 0 ? Request : std::max<int64_t>(0, std::min<int64_t>(Request, size - at));
    const int64_t to = s.Seek(step, soFromCurrent);
    if (to >= at) return to - at;
  } catch (...) {
  }
  return 0;
}

}  // namespace

int OpenLibArcStream(archive* A, TLibArcSource& Source) {
  Source.Buffer.resize(256 * 1024);
  archive_read_set_read_callback(A, SourceRead);
  if (Source.Stream->Size() >= 0) archive_read_set_seek_callback(A, SourceSeek);
  archive_read_set_skip_callback(A, SourceSkip);
  archive_read_set_callback_data(A, &Source);
  return archive_read_open1(A);
}
