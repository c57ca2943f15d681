// How the suffix is found.
//
// The state is h (32 bits) and the lanes A, B, C, D (8 bits each). The low
// byte of h and the lanes ("the low part", 40 bits) evolve from the low byte
// of h and the input alone; h as a whole is the linear sum
//   h_end = 233^n * h_start + sum of 233^(n-1-j) * x_j   (mod 2^32).
// The suffix is laid out as
//   [7 D-gadgets] [28 H-gadgets] [3 meet bytes] [3 meet bytes]
// A gadget is a pair of 3-byte blocks that start from the same low byte of
// h, l0, and pass through the same low bytes in another order: one through
// l1, l2, l3, the other through l2, l1, l3. Both end at l3 with the same sum
// and xor of low bytes (lanes A and B) and, as sum(x) = sum(l_j) -
// 233 * sum(l_(j-1)), the same sum of inputs (lane C). They differ only in
// lane D, by the xor of their inputs, and in the upper bits of h. So choosing
// between the blocks of every gadget never moves the low byte of h or lanes
// A, B, C, and each later block starts from the same low byte either way.
//  1. With every gadget at its first block, a meet-in-the-middle on the 6
//     bytes at the end matches the low byte of h, A, B, C and bit 0 of D
//     (33 bits, of which the relations in the header fix 10):
//     forward from the state before them, backward from the target (a step
//     is invertible since 233 is odd).
//  2. The D-gadgets differ in lane D by 2, 4, ..., 128: bits 1-7 of D are set
//     by choosing them.
//  3. The low byte of h is then right, so h misses the target by a multiple
//     of 256. The H-gadgets differ in lane D by nothing and in h by some
//     weighted amount each; a meet-in-the-middle subset sum over them closes
//     the gap.
// Each step that can fail (no match, no subset) is retried with fresh
// gadgets and samples from a generator seeded by the arguments.
#include "tests/tools/hash_suffix.h"

#include <algorithm>
#include <array>
#include <fstream>

namespace {

constexpr uint32_t kMultiplier = 233;
constexpr uint8_t kMultiplierInverse = 89;  // 233 * 89 = 1 (mod 256)
static_assert(static_cast<uint8_t>(kMultiplier * kMultiplierInverse) == 1);

constexpr size_t kGadgetBytes = 3;
constexpr size_t kDGadgets = 7;
constexpr size_t kHGadgets = 28;
constexpr size_t kMeetBytes = 3;  // on each side
constexpr size_t kSuffixBytes = (kDGadgets + kHGadgets) * kGadgetBytes + 2 * kMeetBytes;
static_assert(kSuffixBytes <= kHashSuffixMaxBytes);

// About 16 expected matches among 2^14 * 2^13 pairs over the 2^23 values
// the matched part can take; a miss costs one more attempt.
constexpr uint32_t kForwardSamples = 1u << 14;
constexpr uint32_t kBackwardSamples = 1u << 13;
constexpr int kAttempts = 64;

struct State {
  uint32_t h = 0;
  uint8_t a = 0, b = 0, c = 0, d = 0;
};

State FromHash(const ContentHash& hash) {
  const uint8_t* p = hash.bytes;
  return {static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24), p[4], p[5], p[6],
          p[7]};
}

void Step(State* s, uint8_t x) {
  s->h = s->h * kMultiplier + x;
  uint8_t low = static_cast<uint8_t>(s->h);
  s->a = static_cast<uint8_t>(s->a + low);
  s->b ^= low;
  s->c = static_cast<uint8_t>(s->c + x);
  s->d ^= x;
}

State Run(State s, const std::vector<uint8_t>& bytes) {
  for (uint8_t x : bytes) Step(&s, x);
  return s;
}

// 233 * h - 232 * A - C (mod 256), which no byte changes.
uint8_t Tie(const State& s) { return static_cast<uint8_t>(kMultiplier * s.h - 232u * s.a - s.c); }

// The low part only: the low byte of h and the lanes.
struct Low {
  uint8_t l, a, b, c, d;
};

Low LowOf(const State& s) { return {static_cast<uint8_t>(s.h), s.a, s.b, s.c, s.d}; }

void StepLow(Low* s, uint8_t x) {
  s->l = static_cast<uint8_t>(s->l * kMultiplier + x);
  s->a = static_cast<uint8_t>(s->a + s->l);
  s->b ^= s->l;
  s->c = static_cast<uint8_t>(s->c + x);
  s->d ^= x;
}

// Undoes StepLow(s, x).
void UnstepLow(Low* s, uint8_t x) {
  s->a = static_cast<uint8_t>(s->a - s->l);
  s->b ^= s->l;
  s->c = static_cast<uint8_t>(s->c - x);
  s->d ^= x;
  s->l = static_cast<uint8_t>((s->l - x) * kMultiplierInverse);
}

// What the meet-in-the-middle matches: all of the low part but bits 1-7 of
// D, which the D-gadgets set afterwards.
uint64_t MeetKey(const Low& s) {
  return uint64_t{s.l} | uint64_t{s.a} << 8 | uint64_t{s.b} << 16 | uint64_t{s.c} << 24 | uint64_t(s.d & 1) << 32;
}

struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }
};

struct Gadget {
  std::array<uint8_t, kGadgetBytes> first, second;
  uint8_t end;  // the low byte of h after either block
};

uint8_t XorOf(const std::array<uint8_t, kGadgetBytes>& block) { return block[0] ^ block[1] ^ block[2]; }

// A gadget from low byte l0 whose blocks differ in lane D by dDifference and
// in h at all.
Gadget MakeGadget(uint8_t l0, uint8_t dDifference, Random* random) {
  for (;;) {
    uint8_t l1 = random->Byte();
    uint8_t l2 = random->Byte();
    uint8_t l3 = random->Byte();
    if (l1 == l2) continue;
    auto input = [](uint8_t from, uint8_t to) { return static_cast<uint8_t>(to - from * kMultiplier); };
    Gadget g{{input(l0, l1), input(l1, l2), input(l2, l3)}, {input(l0, l2), input(l2, l1), input(l1, l3)}, l3};
    if ((XorOf(g.first) ^ XorOf(g.second)) == dDifference) return g;
  }
}

// The block's own term in h: 233^2 * x0 + 233 * x1 + x2.
uint32_t BlockTerm(const std::array<uint8_t, kGadgetBytes>& block) {
  return (uint32_t{block[0]} * kMultiplier + block[1]) * kMultiplier + block[2];
}

uint32_t PowerOfMultiplier(size_t exponent) {
  uint32_t power = 1;
  for (size_t i = 0; i < exponent; ++i) power *= kMultiplier;
  return power;
}

// Bytes of a 24-bit sample, first byte in the low bits.
std::array<uint8_t, kMeetBytes> SampleBytes(uint32_t sample) {
  return {static_cast<uint8_t>(sample), static_cast<uint8_t>(sample >> 8), static_cast<uint8_t>(sample >> 16)};
}

// Three bytes forward from `from` and three bytes back from target that
// meet in the same match key; false when no sample pair meets.
bool Meet(const Low& from, const Low& target, Random* random, std::array<uint8_t, kMeetBytes>* forwardBytes,
          std::array<uint8_t, kMeetBytes>* backwardBytes) {
  std::vector<uint64_t> forward(kForwardSamples);
  for (uint64_t& entry : forward) {
    uint32_t sample = static_cast<uint32_t>(random->Next() & 0xFFFFFF);
    Low s = from;
    for (uint8_t x : SampleBytes(sample)) StepLow(&s, x);
    entry = MeetKey(s) << 24 | sample;
  }
  std::sort(forward.begin(), forward.end());
  for (uint32_t i = 0; i < kBackwardSamples; ++i) {
    uint32_t sample = static_cast<uint32_t>(random->Next() & 0xFFFFFF);
    std::array<uint8_t, kMeetBytes> bytes = SampleBytes(sample);
    Low s = target;
    for (size_t k = kMeetBytes; k-- > 0;) UnstepLow(&s, bytes[k]);
    uint64_t key = MeetKey(s);
    auto found = std::lower_bound(forward.begin(), forward.end(), key << 24);
    if (found != forward.end() && (*found >> 24) == key) {
      *forwardBytes = SampleBytes(static_cast<uint32_t>(*found & 0xFFFFFF));
      *backwardBytes = bytes;
      return true;
    }
  }
  return false;
}

// A set of the amounts (a bit mask) that sums to goal mod 2^32; false when
// none was found.
bool SubsetSum(const std::vector<uint32_t>& amounts, uint32_t goal, uint64_t* chosen) {
  size_t half = amounts.size() / 2;
  size_t rest = amounts.size() - half;
  std::vector<std::pair<uint32_t, uint32_t>> left;  // sum, mask
  left.reserve(size_t{1} << half);
  for (uint32_t mask = 0; mask < (1u << half); ++mask) {
    uint32_t sum = 0;
    for (size_t i = 0; i < half; ++i) {
      if (mask >> i & 1) sum += amounts[i];
    }
    left.emplace_back(sum, mask);
  }
  std::sort(left.begin(), left.end());
  for (uint32_t mask = 0; mask < (1u << rest); ++mask) {
    uint32_t sum = 0;
    for (size_t i = 0; i < rest; ++i) {
      if (mask >> i & 1) sum += amounts[half + i];
    }
    uint32_t need = goal - sum;
    auto found = std::lower_bound(left.begin(), left.end(), std::make_pair(need, 0u));
    if (found != left.end() && found->first == need) {
      *chosen = uint64_t{found->second} | uint64_t{mask} << half;
      return true;
    }
  }
  return false;
}

// One attempt with fresh gadgets and samples; false when a step found
// nothing.
bool TryFindSuffix(const ContentHash& from, const ContentHash& target, Random* random, std::vector<uint8_t>* suffix) {
  State start = FromHash(from);
  State goal = FromHash(target);

  std::vector<Gadget> gadgets;
  uint8_t l = static_cast<uint8_t>(start.h);
  for (size_t i = 0; i < kDGadgets + kHGadgets; ++i) {
    uint8_t dDifference = static_cast<uint8_t>(i < kDGadgets ? 2u << i : 0u);
    gadgets.push_back(MakeGadget(l, dDifference, random));
    l = gadgets.back().end;
  }
  std::vector<bool> second(gadgets.size(), false);
  auto assemble = [&](const std::array<uint8_t, kMeetBytes>& forward, const std::array<uint8_t, kMeetBytes>& backward) {
    suffix->clear();
    for (size_t i = 0; i < gadgets.size(); ++i) {
      const auto& block = second[i] ? gadgets[i].second : gadgets[i].first;
      suffix->insert(suffix->end(), block.begin(), block.end());
    }
    suffix->insert(suffix->end(), forward.begin(), forward.end());
    suffix->insert(suffix->end(), backward.begin(), backward.end());
  };

  // 1. The low part but bits 1-7 of D.
  std::array<uint8_t, kMeetBytes> forward{}, backward{};
  assemble(forward, backward);
  std::vector<uint8_t> gadgetBytes(suffix->begin(), suffix->end() - 2 * kMeetBytes);
  if (!Meet(LowOf(Run(start, gadgetBytes)), LowOf(goal), random, &forward, &backward)) return false;

  // 2. Bits 1-7 of D.
  assemble(forward, backward);
  uint8_t dMiss = Run(start, *suffix).d ^ goal.d;
  if ((dMiss & 1) != 0) return false;
  for (size_t i = 0; i < kDGadgets; ++i) second[i] = (dMiss >> (i + 1) & 1) != 0;

  // 3. The upper 24 bits of h.
  assemble(forward, backward);
  uint32_t hMiss = goal.h - Run(start, *suffix).h;
  if ((hMiss & 0xFF) != 0) return false;
  std::vector<uint32_t> amounts;
  for (size_t i = kDGadgets; i < gadgets.size(); ++i) {
    size_t bytesAfter = (gadgets.size() - 1 - i) * kGadgetBytes + 2 * kMeetBytes;
    amounts.push_back(PowerOfMultiplier(bytesAfter) * (BlockTerm(gadgets[i].second) - BlockTerm(gadgets[i].first)));
  }
  uint64_t chosen = 0;
  if (!SubsetSum(amounts, hMiss, &chosen)) return false;
  for (size_t i = 0; i < kHGadgets; ++i) second[kDGadgets + i] = (chosen >> i & 1) != 0;
  assemble(forward, backward);
  return true;
}

}  // namespace

std::string HashSuffixUnreachableReason(const ContentHash& from, const ContentHash& target) {
  State s = FromHash(from);
  State t = FromHash(target);
  if (((s.c ^ s.d) & 1) != ((t.c ^ t.d) & 1)) {
    return "bit 0 of lane C (byte 6) and bit 0 of lane D (byte 7) must keep their relation: equal for any byte stream";
  }
  if (((s.a ^ s.b) & 1) != ((t.a ^ t.b) & 1)) {
    return "bit 0 of lane A (byte 4) and bit 0 of lane B (byte 5) must keep their relation: equal for any byte stream";
  }
  if (((s.h ^ s.d) & 1) != ((t.h ^ t.d) & 1)) {
    return "bit 0 of h (byte 0) and bit 0 of lane D (byte 7) must keep their relation: equal for any byte stream";
  }
  if (Tie(s) != Tie(t)) {
    return "233 * h - 232 * A - C (bytes 0, 4 and 6, mod 256) must keep its value: 0 for any byte stream";
  }
  return {};
}

bool FindHashSuffix(const ContentHash& from, const ContentHash& target, std::vector<uint8_t>* suffix) {
  suffix->clear();
  if (!HashSuffixUnreachableReason(from, target).empty()) return false;
  if (from == target) return true;
  Random random{0};
  for (uint8_t byte : from.bytes) random.state = random.state * 131 + byte;
  for (uint8_t byte : target.bytes) random.state = random.state * 131 + byte;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (!TryFindSuffix(from, target, &random, suffix)) continue;
    ContentHash check = from;
    UpdateContentHashWith(ContentHashPath::Reference, &check, suffix->data(), static_cast<uint32_t>(suffix->size()));
    if (check == target && suffix->size() <= kHashSuffixMaxBytes) return true;
  }
  suffix->clear();
  return false;
}

bool AppendHashSuffix(std::vector<uint8_t>* bytes, const ContentHash& target) {
  std::vector<uint8_t> suffix;
  if (!FindHashSuffix(HashOfBytes(*bytes), target, &suffix)) return false;
  bytes->insert(bytes->end(), suffix.begin(), suffix.end());
  return true;
}

ContentHash HashOfBytes(const std::vector<uint8_t>& bytes) {
  ContentHash hash;
  UpdateContentHashWith(ContentHashPath::Reference, &hash, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return hash;
}

bool ParseContentHash(std::string_view text, ContentHash* hash) {
  if (text.size() != 16) return false;
  ContentHash parsed;
  for (size_t i = 0; i < 16; ++i) {
    char c = text[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    parsed.bytes[i / 2] = static_cast<uint8_t>(parsed.bytes[i / 2] << 4 | digit);
  }
  *hash = parsed;
  return true;
}

std::string FormatContentHash(const ContentHash& hash) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : hash.bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

bool AppendHashSuffix(const std::filesystem::path& file, const ContentHash& target, size_t* appended,
                      std::string* error) {
  *appended = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot open " + file.string();
    return false;
  }
  ContentHash hash;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    UpdateContentHashWith(ContentHashPath::Reference, &hash, chunk, static_cast<uint32_t>(in.gcount()));
  }
  if (in.bad()) {
    *error = "cannot read " + file.string();
    return false;
  }
  in.close();
  std::string reason = HashSuffixUnreachableReason(hash, target);
  if (!reason.empty()) {
    *error = "the fingerprint " + FormatContentHash(target) + " cannot follow " + FormatContentHash(hash) + ": " + reason;
    return false;
  }
  std::vector<uint8_t> suffix;
  if (!FindHashSuffix(hash, target, &suffix)) {
    *error = "no suffix found for " + FormatContentHash(target);
    return false;
  }
  std::ofstream out(file, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(suffix.data()), static_cast<std::streamsize>(suffix.size()));
  out.close();
  if (!out) {
    *error = "cannot append to " + file.string();
    return false;
  }
  *appended = suffix.size();
  return true;
}
