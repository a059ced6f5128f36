// LHarc's 8 KiB methods before lh5: lh2 (an adaptive Huffman tree for literals and lengths and a
// growing one for positions) and lh3 (static Huffman blocks whose code lengths are stored as
// plain 4-bit fields). Both copy from an 8 KiB ring that starts as spaces; lengths run from 3
// to 287 (symbol 285 takes 8 more bits).
#include <array>

#include "archive/lzh/qrvLzh3.h"
#include "archive/lzh/qrvLzh3_Kit.h"

using lzhkit::TRingState;
using lzhkit::TTable;

namespace {

constexpr unsigned kRing = 8192;
constexpr unsigned kN1 = 286;       // literals, lengths 3..31 and the escape 285
constexpr unsigned kNP = 128;       // position codes: the upper 7 of 13 distance bits
constexpr unsigned kLenBase = 253;  // symbol 256 is length 3

unsigned Symbol(TMsbBitReader& In, unsigned C) { return C == kN1 - 1 ? C + In.Get(8) : C; }

// One symbol's output: a literal, or a copy from (Position + 1) bytes back.
template <class Position>
void Emit(TRingState& S, unsigned C, int64_t Size, Position&& Pos) {
  if (C < 256) {
    S.Put(uint8_t(C));
    return;
  }
  const size_t distance = size_t(Pos()) + 1;
  S.CopyBack(distance, C - kLenBase, Size);
}

// ---- lh3

struct TLh3State : TRingState {
  explicit TLh3State(const TDecoderIO& IO) : TRingState(IO, kRing, ' ') {}
  TTable C, P;
};

// N lengths of Width bits (lh3's literal table sends a presence bit and length - 1); three
// lengths of 1 at the start announce a single symbol of SingleBits bits instead.
template <class ReadLength>
void ReadLengths(TMsbBitReader& In, TTable& Tab, unsigned N, unsigned Root, unsigned SingleBits, ReadLength&& Next) {
  std::array<uint8_t, kN1> len{};
  for (unsigned i = 0; i < N; ++i) {
    len[i] = Next();
    if (i == 2 && len[0] == 1 && len[1] == 1 && len[2] == 1) {
      lzhkit::SetSingle(Tab, In.Get(SingleBits), N);
      return;
    }
  }
  lzhkit::Build(Tab, len.data(), N, Root);
}

// The position code a block uses when it sends none: 2 to 9 bits, longer for farther positions.
const std::array<uint8_t, kNP>& FixedPositionLengths() {
  static const auto lengths = [] {
    std::array<uint8_t, kNP> l{};
    const unsigned steps[] = {1, 1, 3, 6, 13, 31, 78};  // each step makes the codes one bit longer
    for (unsigned i = 0; i < kNP; ++i) {
      l[i] = 2;
      for (unsigned s : steps) l[i] = uint8_t(l[i] + (i >= s));
    }
    return l;
  }();
  return lengths;
}

void ReadLh3Tables(TLh3State& S) {
  TMsbBitReader& In = S.In;
  ReadLengths(In, S.C, kN1, 12, 9, [&] { return uint8_t(In.Get(1) ? In.Get(4) + 1 : 0); });
  if (In.Get(1))
    ReadLengths(In, S.P, kNP, 8, 7, [&] { return uint8_t(In.Get(4)); });
  else
    lzhkit::Build(S.P, FixedPositionLengths().data(), kNP, 8);
}

void UnpackLh3(TLh3State& S, int64_t Size) {
  TMsbBitReader& In = S.In;
  uint32_t blockLeft = 0;
  while (S.Out.Total() < Size) {
    if (blockLeft == 0) {
      blockLeft = In.Get(16);
      if (blockLeft == 0) blockLeft = 65536;  // the count is kept in 16 bits and counted down
      ReadLh3Tables(S);
    }
    --blockLeft;
    const unsigned c = Symbol(In, lzhkit::Decode(In, S.C));
    Emit(S, c, Size, [&] { return (lzhkit::Decode(In, S.P) << 6) | In.Get(6); });
    S.CheckInput();
  }
}

// ---- lh2
//
// Both trees live in one node array, sorted by falling frequency: node 0 is the root of the
// literal/length tree, node kRootP the root of the position tree. An internal node's Child
// names the second of its two children (bit 0; bit 1 is the one before it), a leaf's Child is
// ~symbol. Nodes of equal frequency form a block whose lowest index (its Edge) is its leader:
// incrementing a node first swaps it with its leader, which keeps the order without a search.

constexpr int kNChar = 314;  // symbols the tree layout reserves room for
constexpr int kRootC = 0, kRootP = kNChar * 2, kTree = kRootP + 256;
constexpr int kLeavesC = int(kN1);

struct TLh2State : TRingState {
  explicit TLh2State(const TDecoderIO& IO) : TRingState(IO, kRing, ' ') {}
  std::array<int16_t, kTree> Child{}, Parent{}, Block{}, Edge{}, Stock{};
  std::array<int16_t, kTree / 2> Leaf{};  // the node of each symbol (positions from kNChar)
  std::array<uint16_t, kTree> Freq{};
  int Avail = 0;
  int MostP = kRootP;  // the last node of the position tree
  uint16_t TotalP = 0;
  uint64_t NextCount = 64;  // output count at which the next position is added
  bool AllPositions = false;

  int NewBlock() {
    if (Avail >= kTree) DecodeFail(drDataError, "adaptive tree out of blocks");
    return Stock[size_t(Avail++)];
  }
  void FreeBlock(int B) {
    if (Avail <= 0) DecodeFail(drDataError, "adaptive tree out of blocks");
    Stock[size_t(--Avail)] = int16_t(B);
  }
};

void StartLh2(TLh2State& S) {
  for (int i = 0; i < kTree; ++i) S.Stock[size_t(i)] = int16_t(i);
  int j = kLeavesC * 2 - 2;
  for (int i = 0; i < kLeavesC; ++i, --j) {
    S.Freq[size_t(j)] = 1;
    S.Child[size_t(j)] = int16_t(~i);
    S.Leaf[size_t(i)] = int16_t(j);
    S.Block[size_t(j)] = 1;
  }
  S.Avail = 2;
  S.Edge[1] = int16_t(kLeavesC - 1);
  for (int i = kLeavesC * 2 - 2; j >= 0; i -= 2, --j) {
    const uint16_t f = S.Freq[size_t(j)] = uint16_t(S.Freq[size_t(i)] + S.Freq[size_t(i - 1)]);
    S.Child[size_t(j)] = int16_t(i);
    S.Parent[size_t(i)] = S.Parent[size_t(i - 1)] = int16_t(j);
    const int b = f == S.Freq[size_t(j + 1)] ? S.Block[size_t(j + 1)] : S.NewBlock();
    S.Block[size_t(j)] = int16_t(b);
    S.Edge[size_t(b)] = int16_t(j);
  }
  // The position tree starts as one leaf, position 0.
  S.Freq[kRootP] = 1;
  S.Child[kRootP] = int16_t(~kNChar);
  S.Leaf[kNChar] = kRootP;
  const int b = S.NewBlock();
  S.Block[kRootP] = int16_t(b);
  S.Edge[size_t(b)] = kRootP;
}

// Halves the frequencies of the nodes [Start, End) and rebuilds that tree from its leaves.
void Reconstruct(TLh2State& S, int Start, int End) {
  auto& F = S.Freq;
  auto& C = S.Child;
  int j = Start;
  for (int i = Start; i < End; ++i) {
    if (C[size_t(i)] < 0) {
      F[size_t(j)] = uint16_t((F[size_t(i)] + 1) / 2);
      C[size_t(j)] = C[size_t(i)];
      ++j;
    }
    const int b = S.Block[size_t(i)];
    if (S.Edge[size_t(b)] == i) S.FreeBlock(b);
  }
  --j;
  int i = End - 1, l = End - 2;
  while (i >= Start) {
    for (; i >= l; --i, --j) {
      F[size_t(i)] = F[size_t(j)];
      C[size_t(i)] = C[size_t(j)];
    }
    const unsigned f = unsigned(F[size_t(l)]) + F[size_t(l + 1)];
    int k = Start;
    while (k < End && f < F[size_t(k)]) ++k;
    for (; j >= k; --i, --j) {
      F[size_t(i)] = F[size_t(j)];
      C[size_t(i)] = C[size_t(j)];
    }
    F[size_t(i)] = uint16_t(f);
    C[size_t(i)] = int16_t(l + 1);
    --i;
    l -= 2;
  }
  unsigned f = 0;
  int b = 0;
  for (i = Start; i < End; ++i) {
    const int c = C[size_t(i)];
    if (c < 0)
      S.Leaf[size_t(~c)] = int16_t(i);
    else
      S.Parent[size_t(c)] = S.Parent[size_t(c - 1)] = int16_t(i);
    if (F[size_t(i)] == f) {
      S.Block[size_t(i)] = int16_t(b);
    } else {
      b = S.NewBlock();
      S.Block[size_t(i)] = int16_t(b);
      S.Edge[size_t(b)] = int16_t(i);
      f = F[size_t(i)];
    }
  }
}

void SetChild(TLh2State& S, int Node, int C) {
  S.Child[size_t(Node)] = int16_t(C);
  if (C >= 0)
    S.Parent[size_t(C)] = S.Parent[size_t(C - 1)] = int16_t(Node);
  else
    S.Leaf[size_t(~C)] = int16_t(Node);
}

// Increments node P (after swapping it with its block's leader) and returns its parent.
int Increment(TLh2State& S, int P) {
  const int b = S.Block[size_t(P)];
  const int leader = S.Edge[size_t(b)];
  auto grow = [&](int Node) {
    ++S.Edge[size_t(b)];
    if (++S.Freq[size_t(Node)] == S.Freq[size_t(Node - 1)]) {
      S.Block[size_t(Node)] = S.Block[size_t(Node - 1)];
    } else {
      const int nb = S.NewBlock();
      S.Block[size_t(Node)] = int16_t(nb);
      S.Edge[size_t(nb)] = int16_t(Node);
    }
  };
  if (leader != P) {
    const int r = S.Child[size_t(P)], s = S.Child[size_t(leader)];
    SetChild(S, P, s);
    SetChild(S, leader, r);
    P = leader;
    grow(P);
  } else if (b == S.Block[size_t(P + 1)]) {
    grow(P);
  } else if (++S.Freq[size_t(P)] == S.Freq[size_t(P - 1)]) {
    S.FreeBlock(b);
    S.Block[size_t(P)] = S.Block[size_t(P - 1)];
  }
  return S.Parent[size_t(P)];
}

void UpdateC(TLh2State& S, int Symbol) {
  if (S.Freq[kRootC] == 0x8000) Reconstruct(S, kRootC, kLeavesC * 2 - 1);
  ++S.Freq[kRootC];
  for (int q = S.Leaf[size_t(Symbol)]; (q = Increment(S, q)) != kRootC;) {
  }
}

void UpdateP(TLh2State& S, int Position) {
  if (S.TotalP == 0x8000) {
    Reconstruct(S, kRootP, S.MostP + 1);
    S.TotalP = S.Freq[kRootP];
    S.Freq[kRootP] = 0xFFFF;
  }
  for (int q = S.Leaf[size_t(Position + kNChar)]; q != kRootP;) q = Increment(S, q);
  ++S.TotalP;
}

// Splits the last position leaf into itself and a new leaf for Position (of frequency 0).
void AddPosition(TLh2State& S, int Position) {
  const int r = S.MostP + 1, q = r + 1;
  SetChild(S, r, S.Child[size_t(S.MostP)]);
  S.Child[size_t(q)] = int16_t(~(Position + kNChar));
  S.Child[size_t(S.MostP)] = int16_t(q);
  S.Freq[size_t(r)] = S.Freq[size_t(S.MostP)];
  S.Freq[size_t(q)] = 0;
  S.Block[size_t(r)] = S.Block[size_t(S.MostP)];
  if (S.MostP == kRootP) {
    S.Freq[kRootP] = 0xFFFF;
    ++S.Edge[size_t(S.Block[kRootP])];
  }
  S.Parent[size_t(r)] = S.Parent[size_t(q)] = int16_t(S.MostP);
  const int b = S.NewBlock();
  S.Block[size_t(q)] = int16_t(b);
  S.Edge[size_t(b)] = int16_t(q);
  S.Leaf[size_t(Position + kNChar)] = int16_t(q);
  S.MostP = q;
  UpdateP(S, Position);
}

// Walks from Root's children by one bit per level to a leaf; returns its ~Child.
int Walk(TLh2State& S, int Root) {
  int c = S.Child[size_t(Root)];
  for (int depth = 0; c > 0; ++depth) {
    if (depth >= kTree) DecodeFail(drDataError, "adaptive tree without a leaf");
    c = S.Child[size_t(c - int(S.In.Get(1)))];
  }
  return ~c;
}

unsigned DecodeLh2Char(TLh2State& S) {
  const int c = Walk(S, kRootC);
  UpdateC(S, c);
  return Symbol(S.In, unsigned(c));
}

unsigned DecodeLh2Position(TLh2State& S) {
  // Every 64 bytes of output one more position becomes possible, up to the whole ring.
  const uint64_t done = uint64_t(S.Out.Total());
  while (!S.AllPositions && done > S.NextCount) {
    AddPosition(S, int(S.NextCount / 64));
    S.NextCount += 64;
    S.AllPositions = S.NextCount >= kRing;
  }
  const int p = Walk(S, kRootP) - kNChar;
  UpdateP(S, p);
  return (unsigned(p) << 6) | S.In.Get(6);
}

void UnpackLh2(TLh2State& S, int64_t Size) {
  StartLh2(S);
  while (S.Out.Total() < Size) {
    Emit(S, DecodeLh2Char(S), Size, [&] { return DecodeLh2Position(S); });
    S.CheckInput();
  }
}

}  // namespace

TDecodeStatus LzhUnpackLh2(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TLh2State>([size](TLh2State& S) { UnpackLh2(S, size); }, IO);
}

TDecodeStatus LzhUnpackLh3(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TLh3State>([size](TLh3State& S) { UnpackLh3(S, size); }, IO);
}
