// Vector folds of ContentHash (see content_hash.h for the byte loop).
//
// Writing l for the low byte of h, the loop is l = 233*l + x (mod 256), and
// lanes A and B need every l. The rest follows from four facts:
//
// - Bytes in pairs: with z = 233*x0 + x1, the l after each pair follows
//   l = 17*l + z (233^2 = 17 mod 256). One multiply-add gives z for 16
//   pairs; only z mod 256 matters for l.
// - A prefix scan inside each 16-byte half with zero carry-in (three
//   steps, adding the value 1, 2 and 4 pairs back times 233^2, 233^4,
//   233^8 = 17, 33, 65) gives s, the l after each pair had the half started
//   at l = 0. The true value is s + 233^k * c for carry-in c, k bytes in:
//   one table row per c. (The AVX2 fold takes the first step straight from
//   the bytes, with a second pmaddubsw on the data two bytes back.)
// - The l between the pairs of a pair is 233^-1 * (l_after - x1), and
//   233^-1 = 89 (mod 256). 233^16 = 129 and 233^32 = 1 (mod 256), so the
//   carry from one 32-byte block to the next is an add.
// - h itself is 233^n * h0 + sum x_i * 233^(n-i) (mod 2^32), a dot product:
//   per superblock of blocks, the pair values times their powers of 233,
//   each power split into signed 16-bit halves for pmaddwd, then one
//   multiply-add of the scalar h.
//
// Lane C needs no work: summing l_i = 233*l_(i-1) + x_i over the bytes gives
// sum x = 24*sum l + 233*(l_end - l_start) (mod 256).
//
// The AVX-512 fold, further down, replaces the table of carries with a
// sliding scan over 64-byte blocks.
//
// The functions carry target attributes, so the whole program still builds
// for a plain i686 and only calls them after asking the processor.
#include "payload/content_hash_simd.h"

#if defined(__i386__) || defined(__x86_64__)
// GCC 12's AVX-512 headers leave the unused operand of some intrinsics
// uninitialized on purpose (_mm512_undefined_epi32), which its own warnings
// flag wherever those are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define CONTENT_HASH_X86 1
#endif

namespace content_hash_simd {
namespace {

// Blocks per superblock: the h dot product is reduced to a scalar once per
// superblock, and its coefficient rows are read from L1.
constexpr uint32_t kSuperBlocks = 64;
constexpr uint32_t kSuperPairs = kSuperBlocks * kBlockBytes / 2;
// How far ahead of the first pass the data is requested: two superblocks,
// so the loads of the next one overlap the second pass of this one.
constexpr uint32_t kPrefetchAhead = 2 * kSuperBlocks * kBlockBytes;

struct Tables {
  // carry[c][m]: what carry-in c adds to the m-th pair's l in a 16-byte
  // half, 233^(2m+2) * c (mod 256).
  alignas(16) uint16_t carry[256][8];
  // wide_carry[k] = 233^(2k+2) (mod 256): what a carry-in adds to the k-th
  // pair's l, for the 32 pairs of an AVX-512 block.
  alignas(64) uint16_t wide_carry[kWideBlockBytes / 2];
  // The power of 233 that each pair value of a full superblock carries into
  // h at the superblock's end, as pmaddwd halves: power = lo + 65536 * hi
  // (mod 2^32) with lo signed; all the lo, then all the hi (at kSuperPairs
  // further on). A superblock of n pairs uses the last n of each.
  alignas(64) int16_t power[2 * kSuperPairs];
  // power_sum[k]: the sum of the last 16k powers; the vector folds feed the
  // dot product offset pair values, and this corrects for the offset.
  uint32_t power_sum[kSuperBlocks + 1];
  // block_power[k] = 233^(32k) (mod 2^32): what h0 is multiplied by.
  uint32_t block_power[kSuperBlocks + 1];

  Tables() {
    for (uint32_t c = 0; c < 256; ++c) {
      uint32_t p = 233;
      for (uint32_t m = 0; m < 8; ++m) {
        p = p * 233u & 0xFFu;
        carry[c][m] = static_cast<uint16_t>(p * c & 0xFFu);
        p = p * 233u & 0xFFu;
      }
    }
    for (uint32_t k = 0, p = 233u * 233u; k < kWideBlockBytes / 2; ++k, p = p * 233u * 233u & 0xFFu) {
      wide_carry[k] = static_cast<uint16_t>(p & 0xFFu);
    }
    // Pair j from the end carries 233^(2j).
    uint32_t p = 1, sum = 0;
    power_sum[0] = 0;
    for (uint32_t j = 0; j < kSuperPairs; ++j) {
      const uint32_t pair = kSuperPairs - 1 - j;
      const auto lo = static_cast<int16_t>(static_cast<uint16_t>(p));
      power[pair] = lo;
      power[kSuperPairs + pair] =
          static_cast<int16_t>(static_cast<uint16_t>((p - static_cast<uint32_t>(static_cast<int32_t>(lo))) >> 16));
      sum += p;
      if ((j + 1) % (kBlockBytes / 2) == 0) power_sum[(j + 1) / (kBlockBytes / 2)] = sum;
      p *= 233u * 233u;
    }
    uint32_t q = 1;
    for (uint32_t k = 0; k <= kSuperBlocks; ++k) {
      block_power[k] = q;
      for (uint32_t i = 0; i < kBlockBytes; ++i) q *= 233u;
    }
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

// Lane C from the sum of l over the folded bytes and l before and after.
uint8_t ByteSumFromLowSum(uint32_t low_sum, uint32_t l_start, uint32_t l_end) {
  return static_cast<uint8_t>(24u * low_sum + 233u * (l_end - l_start));
}

// The second pass keeps each carry c as 2*c, so that x86 addressing scales
// it by 8 to the byte offset of its 16-byte row in Tables::carry. 2*c mod
// 512 follows c mod 256 through adds and multiplies, so the values read from
// the scans need no reduction before they are mixed in, only the results.
// They are pointer-sized, so that addressing needs no widening copies.
constexpr size_t kCarryMask = 0x1FE;

const uint16_t* CarryRow(const Tables& t, size_t twice_carry) {
  return reinterpret_cast<const uint16_t*>(reinterpret_cast<const uint64_t*>(t.carry) + twice_carry);
}

#if CONTENT_HASH_X86
// 129 * v in one instruction: GCC would spend three (copy, shift, add) on
// ports the vector work needs.
inline size_t Times129(size_t v) {
  size_t product;
  asm("imul $129, %1, %0" : "=r"(product) : "r"(v));
  return product;
}
#endif

}  // namespace

#if CONTENT_HASH_X86

bool CpuHasSse2() {
#if defined(__x86_64__)
  return true;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse2");
#endif
}

bool CpuHasAvx2() {
  // GCC's check includes the operating system's saving of the YMM state.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool CpuHasAvx512() {
  // As for AVX2, with the ZMM and mask registers' state.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

// Each superblock takes two passes. The first computes, block by block and
// with no dependence between blocks, the zero-carry scans into an L1 buffer
// and the h dot product; the second walks the carries (one add per block)
// and folds the corrected l into lanes A and B. In one pass, every block's
// carry would wait for its own scan and the processor's window would fill
// with blocks stalled on that chain. The passes are also skewed by a
// superblock, the first pass of one interleaved with the second pass of the
// one before, so that neither pass's loop runs on its own ports alone.
//
// GCC turns a multiply by 17, 33, 65 or 89 into shifts and adds, more
// instructions on the ports these loops are short of; an empty asm hides
// the constants and keeps them multiplies.

// Lanes A, B and D, in 16-bit lanes of which only the low bytes count (D's
// in bytes).
struct Sse2Sums {
  __m128i xor_x, sum_l, xor_l;
};

struct Avx2Sums {
  __m256i xor_x, sum_l, xor_l;
};

struct Sse2Constants {
  __m128i low_bytes, sign, k233, k17, k33, k65, k89;
};

__attribute__((target("sse2"), always_inline)) inline Sse2Constants MakeSse2Constants() {
  Sse2Constants k;
  k.low_bytes = _mm_set1_epi16(0x00FF);
  k.sign = _mm_set1_epi16(static_cast<short>(0x8000));
  k.k233 = _mm_set1_epi16(233);
  k.k17 = _mm_set1_epi16(17);
  k.k33 = _mm_set1_epi16(33);
  k.k65 = _mm_set1_epi16(65);
  k.k89 = _mm_set1_epi16(89);
  asm("" : "+x"(k.k233), "+x"(k.k17), "+x"(k.k33), "+x"(k.k65), "+x"(k.k89));
  return k;
}

// First pass over one block: the zero-carry scan of each half into scan,
// the block's share of the h dot product and of lane D.
__attribute__((target("sse2"), always_inline)) inline void ScanBlockSse2(const Sse2Constants& k, const uint8_t* data,
                                                                         const int16_t* powers, uint16_t* scan,
                                                                         __m128i& dot_lo, __m128i& dot_hi,
                                                                         __m128i& xor_x) {
  _mm_prefetch(reinterpret_cast<const char*>(data + kPrefetchAhead), _MM_HINT_T0);
  for (int half = 0; half < 2; ++half) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * half));
    xor_x = _mm_xor_si128(xor_x, x);
    // z = 233*x0 + x1 < 65536; flipping the top bit makes it a signed word,
    // z - 32768, for pmaddwd, without changing z mod 256.
    const __m128i z = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(x, k.low_bytes), k.k233), _mm_srli_epi16(x, 8));
    const __m128i y = _mm_xor_si128(z, k.sign);
    dot_lo =
        _mm_add_epi32(dot_lo, _mm_madd_epi16(y, _mm_load_si128(reinterpret_cast<const __m128i*>(powers + 8 * half))));
    dot_hi = _mm_add_epi32(
        dot_hi, _mm_madd_epi16(y, _mm_load_si128(reinterpret_cast<const __m128i*>(powers + kSuperPairs + 8 * half))));
    __m128i s = y;
    s = _mm_add_epi16(s, _mm_mullo_epi16(_mm_slli_si128(s, 2), k.k17));
    s = _mm_add_epi16(s, _mm_mullo_epi16(_mm_slli_si128(s, 4), k.k33));
    s = _mm_add_epi16(s, _mm_mullo_epi16(_mm_slli_si128(s, 8), k.k65));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(scan + 8 * half), s);
  }
}

// Second pass over one block: c is the carry into it (as a row offset) and
// becomes the carry out.
__attribute__((target("sse2"), always_inline)) inline void FoldBlockSse2(const Sse2Constants& k, const Tables& t,
                                                                         const uint8_t* data, const uint16_t* scan,
                                                                         size_t& c, Sse2Sums& sums) {
  const size_t first = 2u * scan[7];
  const size_t mid = (first + Times129(c)) & kCarryMask;
  for (int half = 0; half < 2; ++half) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(scan + 8 * half));
    const __m128i row = _mm_load_si128(reinterpret_cast<const __m128i*>(CarryRow(t, half == 0 ? c : mid)));
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * half));
    const __m128i l = _mm_add_epi16(s, row);
    const __m128i l0 = _mm_mullo_epi16(_mm_sub_epi16(l, _mm_srli_epi16(x, 8)), k.k89);
    sums.sum_l = _mm_add_epi16(_mm_add_epi16(sums.sum_l, l), l0);
    sums.xor_l = _mm_xor_si128(_mm_xor_si128(sums.xor_l, l), l0);
  }
  c = (c + 2u * scan[15] + Times129(first)) & kCarryMask;
}

__attribute__((target("sse2"))) uint32_t FoldBlocksSse2(FoldState* state, const uint8_t* data, uint32_t length) {
  const Tables& t = GetTables();
  const Sse2Constants k = MakeSse2Constants();
  const uint32_t blocks = length / kBlockBytes;
  uint32_t h = state->h;
  const uint32_t l_start = h & 0xFFu;
  size_t c = 2 * l_start;
  Sse2Sums sums = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  uint16_t scans[2][kSuperBlocks][kBlockBytes / 2];

  const uint8_t* scan_at = data;  // the next superblock of the first pass
  const uint8_t* fold_at = data;  // the next superblock of the second pass
  uint32_t left = blocks;         // blocks the first pass has yet to see
  uint32_t pending = 0;           // blocks scanned into scans[!side], not folded
  int side = 0;
  while (left > 0 || pending > 0) {
    const uint32_t n = left < kSuperBlocks ? left : kSuperBlocks;
    const int16_t* powers = t.power + (kSuperBlocks - n) * (kBlockBytes / 2);
    uint16_t(*scan_out)[kBlockBytes / 2] = scans[side];
    const uint16_t(*scan_in)[kBlockBytes / 2] = scans[side ^ 1];
    __m128i dot_lo = _mm_setzero_si128();
    __m128i dot_hi = _mm_setzero_si128();
    const uint32_t both = n < pending ? n : pending;
    uint32_t i = 0;
    for (; i < both; ++i) {
      ScanBlockSse2(k, scan_at + kBlockBytes * i, powers + (kBlockBytes / 2) * i, scan_out[i], dot_lo, dot_hi,
                    sums.xor_x);
      FoldBlockSse2(k, t, fold_at + kBlockBytes * i, scan_in[i], c, sums);
    }
    for (uint32_t j = i; j < n; ++j) {
      ScanBlockSse2(k, scan_at + kBlockBytes * j, powers + (kBlockBytes / 2) * j, scan_out[j], dot_lo, dot_hi,
                    sums.xor_x);
    }
    for (uint32_t j = i; j < pending; ++j) FoldBlockSse2(k, t, fold_at + kBlockBytes * j, scan_in[j], c, sums);
    if (n > 0) {
      dot_lo = _mm_add_epi32(dot_lo, _mm_shuffle_epi32(dot_lo, 0x4E));
      dot_lo = _mm_add_epi32(dot_lo, _mm_shuffle_epi32(dot_lo, 0xB1));
      dot_hi = _mm_add_epi32(dot_hi, _mm_shuffle_epi32(dot_hi, 0x4E));
      dot_hi = _mm_add_epi32(dot_hi, _mm_shuffle_epi32(dot_hi, 0xB1));
      const uint32_t dot = static_cast<uint32_t>(_mm_cvtsi128_si32(dot_lo)) +
                           (static_cast<uint32_t>(_mm_cvtsi128_si32(dot_hi)) << 16);
      h = h * t.block_power[n] + dot + 32768u * t.power_sum[n];
    }
    fold_at += kBlockBytes * pending;
    scan_at += kBlockBytes * n;
    pending = n;
    left -= n;
    side ^= 1;
  }

  __m128i sum = sums.sum_l;
  __m128i xl = sums.xor_l;
  __m128i xx = sums.xor_x;
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 8));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 4));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 2));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 8));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 4));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 2));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 8));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 4));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 2));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 1));
  const auto low_sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sum)) & 0xFFu;

  state->h = h;
  state->a = static_cast<uint8_t>(state->a + low_sum);
  state->b = static_cast<uint8_t>(state->b ^ _mm_cvtsi128_si32(xl));
  state->c = static_cast<uint8_t>(state->c + ByteSumFromLowSum(low_sum, l_start, h & 0xFFu));
  state->d = static_cast<uint8_t>(state->d ^ _mm_cvtsi128_si32(xx));
  return blocks * kBlockBytes;
}

struct Avx2Constants {
  __m256i pair_weights, previous_pair_weights, flip, k33, k65, k89;
};

__attribute__((target("avx2"), always_inline)) inline Avx2Constants MakeAvx2Constants() {
  Avx2Constants k;
  // Bytes (233, 1) against the data as signed bytes: with x' = x ^ 0x80,
  // y = 233*(x0 - 128) + (x1 - 128) = z - 29952, which fits a signed word
  // and equals z mod 256.
  k.pair_weights = _mm256_set1_epi16(0x01E9);
  // The first scan step, s = y + 17*y_previous, straight from the bytes
  // (17*233 = 121 mod 256); zero at the first pair of each half, whose scan
  // starts from zero.
  k.previous_pair_weights = _mm256_setr_epi16(0, 0x1179, 0x1179, 0x1179, 0x1179, 0x1179, 0x1179, 0x1179,  //
                                              0, 0x1179, 0x1179, 0x1179, 0x1179, 0x1179, 0x1179, 0x1179);
  k.flip = _mm256_set1_epi8(static_cast<char>(0x80));
  k.k33 = _mm256_set1_epi16(33);
  k.k65 = _mm256_set1_epi16(65);
  k.k89 = _mm256_set1_epi16(89);
  asm("" : "+x"(k.k33), "+x"(k.k65), "+x"(k.k89));
  return k;
}

// As ScanBlockSse2, one 32-byte vector: 128-bit lanes are the halves. Reads
// the two bytes before data.
__attribute__((target("avx2"), always_inline)) inline void ScanBlockAvx2(const Avx2Constants& k, const uint8_t* data,
                                                                         const int16_t* powers, uint16_t* scan,
                                                                         __m256i& dot_lo, __m256i& dot_hi,
                                                                         __m256i& xor_x) {
  _mm_prefetch(reinterpret_cast<const char*>(data + kPrefetchAhead), _MM_HINT_T0);
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
  xor_x = _mm256_xor_si256(xor_x, x);
  const __m256i y = _mm256_maddubs_epi16(k.pair_weights, _mm256_xor_si256(x, k.flip));
  dot_lo = _mm256_add_epi32(dot_lo, _mm256_madd_epi16(y, _mm256_load_si256(reinterpret_cast<const __m256i*>(powers))));
  dot_hi = _mm256_add_epi32(
      dot_hi, _mm256_madd_epi16(y, _mm256_load_si256(reinterpret_cast<const __m256i*>(powers + kSuperPairs))));
  const __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data - 2));
  __m256i s = _mm256_add_epi16(y, _mm256_maddubs_epi16(k.previous_pair_weights, previous));
  s = _mm256_add_epi16(s, _mm256_mullo_epi16(_mm256_slli_si256(s, 4), k.k33));
  s = _mm256_add_epi16(s, _mm256_mullo_epi16(_mm256_slli_si256(s, 8), k.k65));
  // Unaligned: the 32-bit Windows stack is only 4-byte aligned on entry.
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(scan), s);
}

// As FoldBlockSse2. The second half's carry-in is s_first + 129*c and the
// next block's c + s_second + 129*s_first: one add on the serial chain.
__attribute__((target("avx2"), always_inline)) inline void FoldBlockAvx2(const Avx2Constants& k, const Tables& t,
                                                                         const uint8_t* data, const uint16_t* scan,
                                                                         size_t& c, Avx2Sums& sums) {
  const size_t first = 2u * scan[7];
  const size_t mid = (first + Times129(c)) & kCarryMask;
  const __m256i row = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(CarryRow(t, c)))),
      _mm_load_si128(reinterpret_cast<const __m128i*>(CarryRow(t, mid))), 1);
  c = (c + 2u * scan[15] + Times129(first)) & kCarryMask;
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
  const __m256i l = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(scan)), row);
  const __m256i l0 = _mm256_mullo_epi16(_mm256_sub_epi16(l, _mm256_srli_epi16(x, 8)), k.k89);
  sums.sum_l = _mm256_add_epi16(_mm256_add_epi16(sums.sum_l, l), l0);
  sums.xor_l = _mm256_xor_si256(_mm256_xor_si256(sums.xor_l, l), l0);
}

__attribute__((target("avx2"))) uint32_t FoldBlocksAvx2(FoldState* state, const uint8_t* data, uint32_t length) {
  const Tables& t = GetTables();
  const Avx2Constants k = MakeAvx2Constants();
  const uint32_t blocks = length / kBlockBytes;
  uint32_t h = state->h;
  const uint32_t l_start = h & 0xFFu;
  size_t c = 2 * l_start;
  Avx2Sums sums = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  uint16_t scans[2][kSuperBlocks][kBlockBytes / 2];

  // The same walk as in FoldBlocksSse2.
  const uint8_t* scan_at = data;
  const uint8_t* fold_at = data;
  uint32_t left = blocks;
  uint32_t pending = 0;
  int side = 0;
  while (left > 0 || pending > 0) {
    const uint32_t n = left < kSuperBlocks ? left : kSuperBlocks;
    const int16_t* powers = t.power + (kSuperBlocks - n) * (kBlockBytes / 2);
    uint16_t(*scan_out)[kBlockBytes / 2] = scans[side];
    const uint16_t(*scan_in)[kBlockBytes / 2] = scans[side ^ 1];
    __m256i dot_lo = _mm256_setzero_si256();
    __m256i dot_hi = _mm256_setzero_si256();
    const uint32_t both = n < pending ? n : pending;
    uint32_t i = 0;
#pragma GCC unroll 2
    for (; i < both; ++i) {
      ScanBlockAvx2(k, scan_at + kBlockBytes * i, powers + (kBlockBytes / 2) * i, scan_out[i], dot_lo, dot_hi,
                    sums.xor_x);
      FoldBlockAvx2(k, t, fold_at + kBlockBytes * i, scan_in[i], c, sums);
    }
    for (uint32_t j = i; j < n; ++j) {
      ScanBlockAvx2(k, scan_at + kBlockBytes * j, powers + (kBlockBytes / 2) * j, scan_out[j], dot_lo, dot_hi,
                    sums.xor_x);
    }
    for (uint32_t j = i; j < pending; ++j) FoldBlockAvx2(k, t, fold_at + kBlockBytes * j, scan_in[j], c, sums);
    if (n > 0) {
      __m128i lo = _mm_add_epi32(_mm256_castsi256_si128(dot_lo), _mm256_extracti128_si256(dot_lo, 1));
      __m128i hi = _mm_add_epi32(_mm256_castsi256_si128(dot_hi), _mm256_extracti128_si256(dot_hi, 1));
      lo = _mm_add_epi32(lo, _mm_shuffle_epi32(lo, 0x4E));
      lo = _mm_add_epi32(lo, _mm_shuffle_epi32(lo, 0xB1));
      hi = _mm_add_epi32(hi, _mm_shuffle_epi32(hi, 0x4E));
      hi = _mm_add_epi32(hi, _mm_shuffle_epi32(hi, 0xB1));
      const uint32_t dot = static_cast<uint32_t>(_mm_cvtsi128_si32(lo)) + (static_cast<uint32_t>(_mm_cvtsi128_si32(hi)) << 16);
      h = h * t.block_power[n] + dot + 29952u * t.power_sum[n];
    }
    fold_at += kBlockBytes * pending;
    scan_at += kBlockBytes * n;
    pending = n;
    left -= n;
    side ^= 1;
  }

  __m128i sum = _mm_add_epi16(_mm256_castsi256_si128(sums.sum_l), _mm256_extracti128_si256(sums.sum_l, 1));
  __m128i xl = _mm_xor_si128(_mm256_castsi256_si128(sums.xor_l), _mm256_extracti128_si256(sums.xor_l, 1));
  __m128i xx = _mm_xor_si128(_mm256_castsi256_si128(sums.xor_x), _mm256_extracti128_si256(sums.xor_x, 1));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 8));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 4));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 2));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 8));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 4));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 2));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 8));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 4));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 2));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 1));
  const auto low_sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sum)) & 0xFFu;

  state->h = h;
  state->a = static_cast<uint8_t>(state->a + low_sum);
  state->b = static_cast<uint8_t>(state->b ^ _mm_cvtsi128_si32(xl));
  state->c = static_cast<uint8_t>(state->c + ByteSumFromLowSum(low_sum, l_start, h & 0xFFu));
  state->d = static_cast<uint8_t>(state->d ^ _mm_cvtsi128_si32(xx));
  return blocks * kBlockBytes;
}

// The AVX-512 fold takes 64-byte blocks, 32 pairs to a register, and needs
// neither the table of carries nor a buffer between passes. Its scan slides:
// where the other folds shift zeros into each step, it shifts in the words
// of the same step from the block before. After steps of 1, 2, 4, 8 and 16
// pairs (times 233^2, ^4, ^8, ^16, ^32 = 17, 33, 65, 129, 1), word k holds
// the l after pair k as if the stream had started at l = 0 just before the
// 32 pairs that end at it. The true l is that plus 233^64 = 1 times the true
// l 32 pairs back, the same word of the block before: one add per block on
// the serial chain, all the rest independent between blocks.
//
// Before the first block the shifted-in words are zero, the first step
// leaves out the pair before the data, and the block before's l is what the
// starting l adds to each word, 233^(2k+2) * l for word k.
//
// The scan of each block runs beside the second half of the block before's
// (s4 onwards), so that the processor's window holds fewer instructions
// waiting on the long chain of steps within a block: a few per cent faster
// than one block after the other, natively and in the i686 build. (Two
// blocks a step, with the values trading places and one xor for both
// blocks' lane D, measured about 5% faster natively but 5% slower in the
// i686 build, which has only eight vector registers; the program ships as
// the latter.)

struct Avx512Constants {
  __m512i pair_weights, previous_pair_weights, first_previous_pair_weights, flip, k33, k65, k129, k89;
};

__attribute__((target("avx512f,avx512bw"), always_inline)) inline Avx512Constants MakeAvx512Constants() {
  Avx512Constants k;
  // As in MakeAvx2Constants; the first step's weights are on every pair,
  // but for the first pair of the first block.
  k.pair_weights = _mm512_set1_epi16(0x01E9);
  k.previous_pair_weights = _mm512_set1_epi16(0x1179);
  k.first_previous_pair_weights = _mm512_mask_set1_epi16(k.previous_pair_weights, 1, 0);
  k.flip = _mm512_set1_epi8(static_cast<char>(0x80));
  k.k33 = _mm512_set1_epi16(33);
  k.k65 = _mm512_set1_epi16(65);
  k.k129 = _mm512_set1_epi16(129);
  k.k89 = _mm512_set1_epi16(89);
  asm("" : "+v"(k.k33), "+v"(k.k65), "+v"(k.k129), "+v"(k.k89));
  return k;
}

// The h dot product's halves and lanes A, B and D as in Avx2Sums.
struct Avx512Sums {
  __m512i dot_lo, dot_hi, sum_l, xor_l, xor_x;
};

// The first half of a 64-byte block: its share of the dot product and of
// lane D, and its scan steps s1 and s2, which hold the block before's on
// entry. Reads the two bytes before the block. previous_pair_weights are
// k's, or for the first block k's first_previous_pair_weights.
__attribute__((target("avx512f,avx512bw"), always_inline)) inline void ScanBlockAvx512(
    const Avx512Constants& k, const __m512i& previous_pair_weights, const uint8_t* data, const int16_t* powers,
    __m512i& s1, __m512i& s2, Avx512Sums& sums) {
  _mm_prefetch(reinterpret_cast<const char*>(data + kPrefetchAhead), _MM_HINT_T0);
  const __m512i x = _mm512_loadu_si512(data);
  sums.xor_x = _mm512_xor_si512(sums.xor_x, x);
  const __m512i y = _mm512_maddubs_epi16(k.pair_weights, _mm512_xor_si512(x, k.flip));
  sums.dot_lo = _mm512_add_epi32(sums.dot_lo, _mm512_madd_epi16(y, _mm512_load_si512(powers)));
  sums.dot_hi = _mm512_add_epi32(sums.dot_hi, _mm512_madd_epi16(y, _mm512_load_si512(powers + kSuperPairs)));
  const __m512i s1_new = _mm512_add_epi16(y, _mm512_maddubs_epi16(previous_pair_weights, _mm512_loadu_si512(data - 2)));
  s2 = _mm512_add_epi16(s1_new, _mm512_mullo_epi16(_mm512_alignr_epi32(s1_new, s1, 15), k.k33));
  s1 = s1_new;
}

// The second half: from the block's s2 and the block before's s2, its scan
// steps s4 and s8 and its true l, which hold the block before's on entry,
// and its share of lanes A and B. Reads the byte after the block.
__attribute__((target("avx512f,avx512bw"), always_inline)) inline void FinishBlockAvx512(
    const Avx512Constants& k, const uint8_t* data, const __m512i& s2, const __m512i& s2_before, __m512i& s4,
    __m512i& s8, __m512i& l, Avx512Sums& sums) {
  const __m512i s4_new = _mm512_add_epi16(s2, _mm512_mullo_epi16(_mm512_alignr_epi64(s2, s2_before, 7), k.k65));
  const __m512i s8_new = _mm512_add_epi16(s4_new, _mm512_mullo_epi16(_mm512_alignr_epi64(s4_new, s4, 6), k.k129));
  l = _mm512_add_epi16(_mm512_add_epi16(s8_new, _mm512_alignr_epi64(s8_new, s8, 4)), l);
  s4 = s4_new;
  s8 = s8_new;
  // The low byte of each word of the data one byte on is x1.
  const __m512i l0 = _mm512_mullo_epi16(_mm512_sub_epi16(l, _mm512_loadu_si512(data + 1)), k.k89);
  sums.sum_l = _mm512_add_epi16(_mm512_add_epi16(sums.sum_l, l), l0);
  sums.xor_l = _mm512_ternarylogic_epi32(sums.xor_l, l, l0, 0x96);  // xor of all three
}

// The sum of the 16 dwords (mod 2^32); _mm512_reduce_add_epi32 adds them as
// signed ints, whose overflow is undefined.
__attribute__((target("avx512f"), always_inline)) inline uint32_t SumOfDwords(__m512i v) {
  __m256i half = _mm256_add_epi32(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
  __m128i quarter = _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
  quarter = _mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, 0x4E));
  quarter = _mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(quarter));
}

__attribute__((target("avx512f,avx512bw"))) uint32_t FoldBlocksAvx512(FoldState* state, const uint8_t* data,
                                                                      uint32_t length) {
  constexpr uint32_t kBlockPairs = kWideBlockBytes / 2;
  constexpr uint32_t kSuperWideBlocks = kSuperPairs / kBlockPairs;
  const Tables& t = GetTables();
  const Avx512Constants k = MakeAvx512Constants();
  // Whole blocks with at least the byte after them.
  const uint32_t blocks = length > 0 ? (length - 1) / kWideBlockBytes : 0;
  uint32_t h = state->h;
  const uint32_t l_start = h & 0xFFu;

  // The scan steps: s1 and s2 of the last block scanned, s2_finished of
  // the block before it, and s4, s8 and l of that block, the last one
  // finished. Before the first block, zeros and the starting l stand for
  // the block before it.
  __m512i s1 = _mm512_setzero_si512(), s2 = s1, s2_finished = s1, s4 = s1, s8 = s1;
  __m512i l = _mm512_mullo_epi16(_mm512_load_si512(t.wide_carry), _mm512_set1_epi16(static_cast<short>(l_start)));
  Avx512Sums sums;
  sums.sum_l = sums.xor_l = sums.xor_x = _mm512_setzero_si512();

  const uint8_t* at = data;
  for (uint32_t left = blocks; left > 0;) {
    const uint32_t n = left < kSuperWideBlocks ? left : kSuperWideBlocks;
    const int16_t* powers = t.power + (kSuperWideBlocks - n) * kBlockPairs;
    sums.dot_lo = sums.dot_hi = _mm512_setzero_si512();
    ScanBlockAvx512(k, at == data ? k.first_previous_pair_weights : k.previous_pair_weights, at, powers, s1, s2, sums);
    // Scan block i, finish block i - 1.
    for (uint32_t i = 1; i < n; ++i) {
      const __m512i s2_scanned = s2;
      ScanBlockAvx512(k, k.previous_pair_weights, at + kWideBlockBytes * i, powers + kBlockPairs * i, s1, s2, sums);
      FinishBlockAvx512(k, at + kWideBlockBytes * (i - 1), s2_scanned, s2_finished, s4, s8, l, sums);
      s2_finished = s2_scanned;
    }
    FinishBlockAvx512(k, at + kWideBlockBytes * (n - 1), s2, s2_finished, s4, s8, l, sums);
    s2_finished = s2;
    const uint32_t dot = SumOfDwords(sums.dot_lo) + (SumOfDwords(sums.dot_hi) << 16);
    // block_power and power_sum count 32-byte blocks.
    const uint32_t narrow_blocks = n * (kWideBlockBytes / kBlockBytes);
    h = h * t.block_power[narrow_blocks] + dot + 29952u * t.power_sum[narrow_blocks];
    at += kWideBlockBytes * n;
    left -= n;
  }

  __m256i sum256 = _mm256_add_epi16(_mm512_castsi512_si256(sums.sum_l), _mm512_extracti64x4_epi64(sums.sum_l, 1));
  __m256i xl256 = _mm256_xor_si256(_mm512_castsi512_si256(sums.xor_l), _mm512_extracti64x4_epi64(sums.xor_l, 1));
  __m256i xx256 = _mm256_xor_si256(_mm512_castsi512_si256(sums.xor_x), _mm512_extracti64x4_epi64(sums.xor_x, 1));
  __m128i sum = _mm_add_epi16(_mm256_castsi256_si128(sum256), _mm256_extracti128_si256(sum256, 1));
  __m128i xl = _mm_xor_si128(_mm256_castsi256_si128(xl256), _mm256_extracti128_si256(xl256, 1));
  __m128i xx = _mm_xor_si128(_mm256_castsi256_si128(xx256), _mm256_extracti128_si256(xx256, 1));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 8));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 4));
  sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 2));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 8));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 4));
  xl = _mm_xor_si128(xl, _mm_srli_si128(xl, 2));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 8));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 4));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 2));
  xx = _mm_xor_si128(xx, _mm_srli_si128(xx, 1));
  const auto low_sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sum)) & 0xFFu;

  state->h = h;
  state->a = static_cast<uint8_t>(state->a + low_sum);
  state->b = static_cast<uint8_t>(state->b ^ _mm_cvtsi128_si32(xl));
  state->c = static_cast<uint8_t>(state->c + ByteSumFromLowSum(low_sum, l_start, h & 0xFFu));
  state->d = static_cast<uint8_t>(state->d ^ _mm_cvtsi128_si32(xx));
  return blocks * kWideBlockBytes;
}

#else  // not x86: only the byte loop

bool CpuHasSse2() { return false; }
bool CpuHasAvx2() { return false; }
bool CpuHasAvx512() { return false; }
uint32_t FoldBlocksSse2(FoldState*, const uint8_t*, uint32_t) { return 0; }
uint32_t FoldBlocksAvx2(FoldState*, const uint8_t*, uint32_t) { return 0; }
uint32_t FoldBlocksAvx512(FoldState*, const uint8_t*, uint32_t) { return 0; }

#endif

}  // namespace content_hash_simd
