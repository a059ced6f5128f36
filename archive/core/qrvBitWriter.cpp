#include "archive/core/qrvBitWriter.h"

#include <algorithm>
#include <queue>

namespace {

struct TNode {
  uint64_t Weight;
  int Left, Right;  // children, or -1 for a leaf
};

// Depth of every leaf of a Huffman tree over the used symbols (at least two).
void HuffmanDepths(const std::vector<std::pair<uint64_t, unsigned>>& Used, uint8_t* Lengths,
                   std::vector<unsigned>& Depth) {
  std::vector<TNode> nodes;
  using TItem = std::pair<uint64_t, int>;
  std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> heap;
  for (const auto& u : Used) {
    heap.push({u.first, static_cast<int>(nodes.size())});
    nodes.push_back({u.first, -1, -1});
  }
  while (heap.size() > 1) {
    TItem a = heap.top();
    heap.pop();
    TItem b = heap.top();
    heap.pop();
    heap.push({a.first + b.first, static_cast<int>(nodes.size())});
    nodes.push_back({a.first + b.first, a.second, b.second});
  }
  Depth.assign(nodes.size(), 0);
  for (int i = static_cast<int>(nodes.size()) - 1; i >= 0; --i) {
    if (nodes[i].Left < 0) continue;
    Depth[nodes[i].Left] = Depth[i] + 1;
    Depth[nodes[i].Right] = Depth[i] + 1;
  }
  for (size_t i = 0; i < Used.size(); ++i) Lengths[Used[i].second] = static_cast<uint8_t>(Depth[i]);
}

}  // namespace

void BuildCodeLengths(const uint32_t* Freqs, unsigned Count, unsigned MaxBits, uint8_t* Lengths) {
  std::fill(Lengths, Lengths + Count, 0);
  std::vector<std::pair<uint64_t, unsigned>> used;
  for (unsigned i = 0; i < Count; ++i)
    if (Freqs[i]) used.push_back({Freqs[i], i});
  if (used.size() < 2) {
    unsigned first = used.empty() ? 0 : used[0].second;
    Lengths[first] = 1;
    if (Count > 1) Lengths[first == 0 ? 1 : 0] = 1;
    return;
  }
  // Halving the weights (keeping them non-zero) flattens the tree until it fits the limit.
  std::vector<unsigned> depth;
  for (;;) {
    HuffmanDepths(used, Lengths, depth);
    unsigned longest = 0;
    for (const auto& u : used) longest = std::max<unsigned>(longest, Lengths[u.second]);
    if (longest <= MaxBits) return;
    for (auto& u : used) u.first = (u.first >> 1) | 1;
  }
}

void CanonicalCodes(const uint8_t* Lengths, unsigned Count, uint16_t* Codes) {
  unsigned perLength[33] = {};
  for (unsigned i = 0; i < Count; ++i) perLength[Lengths[i]]++;
  perLength[0] = 0;
  uint32_t next[33] = {};
  uint32_t code = 0;
  for (unsigned len = 1; len <= 32; ++len) {
    code = (code + perLength[len - 1]) << 1;
    next[len] = code;
  }
  for (unsigned i = 0; i < Count; ++i)
    if (Lengths[i]) Codes[i] = static_cast<uint16_t>(next[Lengths[i]]++);
}
