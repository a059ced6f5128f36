// Wildcard masks: compilation, the two-pointer matcher, and the scanner's mask helpers.
#include "archive/core/qrvFileScan.h"

#include <cstddef>

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// The classic two-pointer wildcard match over mask items and atoms 0..count-1 of a subject.
// Fits(item, i) tells whether a non-star item consumes atom i. Only the position after the
// latest star is remembered: on a mismatch the star absorbs one more atom and matching resumes
// from the item that carried it. Leftmost placement of each star-free segment is optimal, so one
// remembered position is enough; memory is constant whatever the mask.
template <class FitsFn>
bool MatchItems(const std::vector<TInternalMask::TItem>& items, size_t count, FitsFn fits) {
  const size_t none = size_t(-1);
  size_t p = 0, s = 0;
  size_t starItem = none, starAtom = 0;
  auto enter = [&](size_t item) {
    p = item;
    if (items[p].Star) {
      starItem = p;
      starAtom = s;
    }
  };
  enter(0);
  for (;;) {
    const TInternalMask::TItem& it = items[p];
    if (it.Kind == TInternalMask::ikEnd) {
      if (s == count || it.Star) return true;
    } else if (s < count && fits(it, s)) {
      ++s;
      enter(p + 1);
      continue;
    }
    if (starItem == none || starAtom >= count) return false;
    s = ++starAtom;
    p = starItem;
  }
}

}  // namespace

void TInternalMask::Compile(std::string_view Mask, bool CaseSensitive) {
  FItems.clear();
  FCaseSensitive = CaseSensitive;
  bool star = false;
  for (char c : Mask) {
    if (c == '*') {
      star = true;
    } else if (c == '?') {
      if (!star) FItems.push_back({false, ikAnyChar, 0});  // "*?" acts as "*"
    } else {
      FItems.push_back({star, ikLiteral, CaseSensitive ? c : Upper(c)});
      star = false;
    }
  }
  FItems.push_back({star, ikEnd, 0});
  FEndsWithDot = !Mask.empty() && Mask.back() == '.';
}

bool TInternalMask::Matches(std::string_view Name) const {
  std::string dotted;
  std::string_view name = Name;
  if (FEndsWithDot && name.find('.') == std::string_view::npos) {
    dotted.assign(name);
    dotted += '.';
    name = dotted;
  }
  return MatchItems(FItems, name.size(), [&](const TItem& it, size_t i) {
    return it.Kind == ikAnyChar || it.Ch == (FCaseSensitive ? name[i] : Upper(name[i]));
  });
}

bool Match(std::string_view Name, std::string_view Mask, bool CaseSensitive) {
  return TInternalMask(Mask, CaseSensitive).Matches(Name);
}

std::string NormalizeMask(std::string_view mask) {
  if (mask.empty() || mask == "*.*") return "*";
  return std::string(mask);
}

bool MaskCovers(std::string_view Wide, std::string_view Narrow) {
  const std::string wide = NormalizeMask(Wide), narrow = NormalizeMask(Narrow);
  if (wide == "*") return true;
  const TInternalMask w(wide), n(narrow);
  // Masks of the same text cover each other; the trailing-dot rule makes other pairs with a
  // final dot hard to compare, so they never count as covering.
  bool same = wide.size() == narrow.size();
  for (size_t i = 0; same && i < wide.size(); ++i) same = Upper(wide[i]) == Upper(narrow[i]);
  if (same) return true;
  if (w.EndsWithDot() || n.EndsWithDot()) return false;

  // Narrow as a sequence of atoms: each star is an atom only a star of Wide may absorb; a
  // "?" of Narrow stands for any character, which only "?" of Wide accepts.
  struct TAtom {
    bool Star;
    TInternalMask::TItem Item;
  };
  std::vector<TAtom> atoms;
  for (const auto& it : n.Items()) {
    if (it.Star) atoms.push_back({true, {}});
    if (it.Kind != TInternalMask::ikEnd) atoms.push_back({false, it});
  }
  return MatchItems(w.Items(), atoms.size(), [&](const TInternalMask::TItem& it, size_t i) {
    const TAtom& a = atoms[i];
    if (a.Star) return false;
    if (it.Kind == TInternalMask::ikAnyChar) return true;
    return a.Item.Kind == TInternalMask::ikLiteral && a.Item.Ch == it.Ch;
  });
}
