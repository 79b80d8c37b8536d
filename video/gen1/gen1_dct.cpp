// First-generation transform blocks and residues.
#include "video/gen1/gen1_dct.h"

#include <cmath>
#include <cstring>

namespace {

// Square q of the coded order starts at (row, column) of the block.
constexpr uint8_t kSquareOrigin[16][2] = {{0, 0}, {0, 2}, {0, 4}, {0, 6}, {2, 4}, {2, 6},
                                          {2, 0}, {4, 0}, {4, 2}, {6, 0}, {6, 2}, {2, 2},
                                          {4, 4}, {4, 6}, {6, 4}, {6, 6}};

struct QuadOrderTable {
  uint8_t p[64];
};

constexpr QuadOrderTable MakeQuadOrder() {
  QuadOrderTable t{};
  for (int j = 0; j < 64; ++j) {
    const int q = j >> 2, m = j & 3;
    t.p[j] = static_cast<uint8_t>(8 * (kSquareOrigin[q][0] + (m >> 1)) + kSquareOrigin[q][1] + (m & 1));
  }
  return t;
}

constexpr QuadOrderTable kQuadOrder = MakeQuadOrder();

// Entries whose stored factor differs from the formula: level, position, value.
struct DequantOverride {
  uint8_t level;
  uint8_t p;
  int32_t value;
};

const DequantOverride kIntraOverrides[] = {
    {5, 33, 576654},   {6, 48, 310344},   {6, 53, 264736},   {7, 10, 964990},   {7, 21, 609695},
    {7, 42, 609695},   {9, 8, 999912},    {9, 24, 1040340},  {9, 35, 1040340},  {10, 25, 2164489},
    {10, 48, 931031},  {11, 2, 1455658},  {11, 6, 829061},   {11, 20, 2365444}, {11, 24, 2210722},
    {11, 28, 2783872}, {11, 33, 2800889}, {11, 35, 2210722}, {12, 37, 2407219}, {12, 40, 2265618},
    {12, 51, 2293817}, {12, 59, 1637129}, {13, 2, 2397554},  {13, 11, 4489310}, {13, 12, 4135998},
    {13, 20, 3896025}, {13, 29, 3602569}, {13, 31, 1079017}, {13, 48, 2172405}, {13, 60, 1771972},
    {14, 1, 3090636},  {14, 10, 6561929}, {14, 11, 5451305}, {14, 17, 6814311}, {14, 18, 6181202},
    {14, 19, 5562935}, {14, 21, 4145923}, {14, 25, 6132718}, {14, 26, 5776894}, {14, 29, 4374548},
    {14, 42, 4145923}, {15, 21, 5365312}, {15, 42, 5365312}, {15, 44, 5239241}, {15, 46, 2682189},
    {15, 48, 3413779},
};

const DequantOverride kInterOverrides[] = {
    {0, 18, 146839},   {1, 27, 166129},   {3, 33, 261341},   {4, 34, 328237},   {7, 18, 734193},
    {8, 33, 784022},   {9, 34, 984710},   {9, 61, 220200},   {10, 3, 1040340},  {10, 37, 926844},
    {10, 40, 926844},  {11, 13, 1517686}, {11, 16, 1910551}, {11, 18, 2496255}, {11, 20, 1910551},
    {11, 25, 2498515}, {11, 43, 1608290}, {12, 14, 1352871}, {12, 19, 2907326}, {12, 26, 3045770},
    {12, 30, 1318945}, {12, 33, 2874746}, {13, 43, 2648948}, {13, 48, 1551718}, {13, 49, 2324478},
    {14, 10, 5047638}, {14, 19, 4493140}, {14, 22, 2166440}, {14, 26, 4707099}, {14, 33, 4442789},
    {14, 54, 1142106}, {15, 12, 4999558}, {15, 17, 6858849}, {15, 22, 2803628}, {15, 25, 6466744},
    {15, 27, 5482241}, {15, 41, 4713753}, {15, 55, 753488},
};

struct DequantTables {
  int32_t intra[16][64];
  int32_t inter[16][64];
};

void FillDequant(int32_t (*table)[64], const uint8_t *matrix, const DequantOverride *overrides,
                 size_t override_count) {
  const double pi = 3.14159265358979323846;
  double a[8];
  a[0] = 1.0;
  for (int u = 1; u < 8; ++u) a[u] = std::sqrt(2.0) * std::cos(u * pi / 16.0);
  for (int level = 0; level < 16; ++level)
    for (int p = 0; p < 64; ++p)
      table[level][p] = static_cast<int32_t>(std::lround(4096.0 * matrix[p] * a[p >> 3] * a[p & 7] *
                                                         DEQUANT_LEVEL_SCALES[level]));
  for (size_t i = 0; i < override_count; ++i)
    table[overrides[i].level][overrides[i].p] = overrides[i].value;
}

DequantTables MakeDequantTables() {
  DequantTables t;
  FillDequant(t.intra, INTRA_MATRIX, kIntraOverrides, sizeof kIntraOverrides / sizeof kIntraOverrides[0]);
  FillDequant(t.inter, INTER_MATRIX, kInterOverrides, sizeof kInterOverrides / sizeof kInterOverrides[0]);
  return t;
}

const DequantTables g_dequant = MakeDequantTables();

// ---- Significance walk over the group list ----

// Entry = coded index << 2 | kind.
enum : uint8_t { GROUP_REGION = 0, GROUP_SIXTEEN = 1, GROUP_SQUARE = 2, GROUP_VALUE = 3 };

// Room for 64 prepended entries in front of the 6 initial and 9 appended.
struct GroupList {
  uint8_t entries[160];
  uint32_t front;
  uint32_t back;  // one past the last entry
};

void StartGroupList(GroupList *list, const uint8_t *initial, uint32_t n) {
  list->front = 72;
  list->back = 72 + n;
  std::memcpy(list->entries + 72, initial, n);
}

inline void Prepend(GroupList *list, uint8_t entry) {
  if (list->front > 0) list->entries[--list->front] = entry;
}

inline void Append(GroupList *list, uint8_t entry) {
  if (list->back < sizeof list->entries) list->entries[list->back++] = entry;
}

inline uint8_t Entry(uint32_t index, uint32_t kind) { return static_cast<uint8_t>((index & 63) << 2 | kind); }

// One walk from the list's current front to its back (which may grow).
// significant(i) is called for each value that becomes significant and
// returns false to stop reading at once; the walk then returns false.
template <typename Significant>
bool WalkGroups(GroupList *list, Gen1BitReader *reader, Significant significant) {
  for (uint32_t e = list->front; e < list->back; ++e) {
    for (;;) {
      const uint8_t entry = list->entries[e];
      if (entry == 0 || !Gen1ReadBit(reader)) break;
      const uint32_t i = entry >> 2;
      const uint32_t kind = entry & 3;
      if (kind == GROUP_VALUE) {
        list->entries[e] = 0;
        if (!significant(i)) return false;
        break;
      }
      if (kind == GROUP_SIXTEEN) {
        list->entries[e] = Entry(i, GROUP_SQUARE);
        Append(list, Entry(i + 4, GROUP_SQUARE));
        Append(list, Entry(i + 8, GROUP_SQUARE));
        Append(list, Entry(i + 12, GROUP_SQUARE));
        continue;  // the same entry again, now a square
      }
      if (kind == GROUP_REGION) list->entries[e] = Entry(i + 4, GROUP_SIXTEEN);
      else list->entries[e] = 0;
      for (uint32_t m = 0; m < 4; ++m) {
        if (Gen1ReadBit(reader)) {
          Prepend(list, Entry(i + m, GROUP_VALUE));
        } else if (!significant(i + m)) {
          return false;
        }
      }
      if (kind == GROUP_SQUARE) break;
      // A region continues as its sixteen values.
    }
  }
  return true;
}

const uint8_t kCoefficientGroups[6] = {0x10, 0x60, 0xB0, 0x07, 0x0B, 0x0F};
const uint8_t kResidueGroups[4] = {0x10, 0x60, 0xB0, 0x02};

// Wrapping 32-bit arithmetic of the transform.
inline int32_t Add(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
inline int32_t Sub(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }
inline int32_t Mul(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b)); }

inline void Transform8(const int32_t x[8], int32_t y[8]) {
  const int32_t a = Add(x[0], x[4]), b = Sub(x[0], x[4]), s = Add(x[2], x[6]);
  const int32_t t = Sub(Mul(Sub(x[2], x[6]), 2896) >> 11, s);
  const int32_t e0 = Add(a, s), e3 = Sub(a, s), e1 = Add(b, t), e2 = Sub(b, t);
  const int32_t p = Add(x[5], x[3]), d = Sub(x[5], x[3]), q = Add(x[1], x[7]), f = Sub(x[1], x[7]);
  const int32_t o = Add(p, q);
  const int32_t z = Mul(Add(f, d), 3784) >> 11;
  const int32_t t3 = Add(Sub(Mul(d, -5352) >> 11, o), z);
  const int32_t t4 = Sub(Mul(Sub(q, p), 2896) >> 11, t3);
  const int32_t t5 = Add(Sub(Mul(f, 2217) >> 11, z), t4);
  y[0] = Add(e0, o);
  y[1] = Add(e1, t3);
  y[2] = Add(e2, t4);
  y[3] = Sub(e3, t5);
  y[4] = Add(e3, t5);
  y[5] = Sub(e2, t4);
  y[6] = Sub(e1, t3);
  y[7] = Sub(e0, o);
}

// The transform's result bytes, row by row.
void TransformBlock(uint8_t result[64], const int16_t coefficients[64], const int32_t factors[64]) {
  int32_t columns[64];  // [row][column]
  for (int c = 0; c < 8; ++c) {
    int32_t x[8], y[8];
    bool ac = false;
    for (int r = 0; r < 8; ++r) {
      x[r] = Mul(coefficients[8 * r + c], factors[8 * r + c]) >> 11;
      if (r > 0 && coefficients[8 * r + c] != 0) ac = true;
    }
    if (ac) {
      Transform8(x, y);
      for (int r = 0; r < 8; ++r) columns[8 * r + c] = y[r];
    } else {
      for (int r = 0; r < 8; ++r) columns[8 * r + c] = x[0];
    }
  }
  for (int r = 0; r < 8; ++r) {
    int32_t y[8];
    Transform8(columns + 8 * r, y);
    for (int c = 0; c < 8; ++c) result[8 * r + c] = static_cast<uint8_t>(Add(y[c], 127) >> 8);
  }
}

}  // namespace

const uint8_t QUAD_ORDER[64] = {
#define Q(j) kQuadOrder.p[j]
    Q(0),  Q(1),  Q(2),  Q(3),  Q(4),  Q(5),  Q(6),  Q(7),  Q(8),  Q(9),  Q(10), Q(11), Q(12),
    Q(13), Q(14), Q(15), Q(16), Q(17), Q(18), Q(19), Q(20), Q(21), Q(22), Q(23), Q(24), Q(25),
    Q(26), Q(27), Q(28), Q(29), Q(30), Q(31), Q(32), Q(33), Q(34), Q(35), Q(36), Q(37), Q(38),
    Q(39), Q(40), Q(41), Q(42), Q(43), Q(44), Q(45), Q(46), Q(47), Q(48), Q(49), Q(50), Q(51),
    Q(52), Q(53), Q(54), Q(55), Q(56), Q(57), Q(58), Q(59), Q(60), Q(61), Q(62), Q(63),
#undef Q
};

const double DEQUANT_LEVEL_SCALES[16] = {1.0,       4.0 / 3.0, 5.0 / 3.0, 2.0, 8.0 / 3.0, 3.5,
                                         4.0,       5.0,       6.0,       8.0, 12.0,      17.0,
                                         22.0,      28.0,      34.0,      44.0};

const uint8_t INTRA_MATRIX[64] = {
    16, 16, 16, 19, 16, 19, 22, 22, 22, 22, 26, 24, 26, 22, 22, 27, 27, 27, 26, 26, 26, 29,
    29, 29, 27, 27, 27, 26, 34, 34, 34, 29, 29, 29, 27, 27, 37, 34, 34, 32, 32, 29, 29, 38,
    37, 35, 35, 34, 35, 40, 40, 40, 38, 38, 48, 48, 46, 46, 58, 56, 56, 69, 69, 83,
};

const uint8_t INTER_MATRIX[64] = {
    16, 17, 17, 18, 18, 18, 19, 19, 19, 19, 20, 20, 20, 20, 20, 21, 21, 21, 21, 21, 21, 22,
    22, 22, 22, 22, 22, 22, 23, 23, 23, 23, 23, 23, 23, 23, 24, 24, 24, 25, 24, 24, 24, 25,
    26, 26, 26, 26, 25, 27, 27, 27, 27, 27, 28, 28, 28, 28, 30, 30, 30, 31, 31, 33,
};

const int32_t (&INTRA_DEQUANT)[16][64] = g_dequant.intra;
const int32_t (&INTER_DEQUANT)[16][64] = g_dequant.inter;

void ReadDctCoefficients(int16_t coefficients[64], Gen1BitReader *reader) {
  int16_t coded[64] = {};
  GroupList list;
  StartGroupList(&list, kCoefficientGroups, 6);
  const uint32_t top = Gen1ReadBits(reader, 4);
  for (uint32_t n = top; n >= 1; --n) {
    const int32_t h = 1 << (n - 1);
    WalkGroups(&list, reader, [&](uint32_t i) {
      const uint32_t v = Gen1ReadBits(reader, n);
      const int32_t magnitude = h + static_cast<int32_t>(v & static_cast<uint32_t>(h - 1));
      coded[i] = static_cast<int16_t>((v >> (n - 1)) & 1 ? -magnitude : magnitude);
      return true;
    });
  }
  for (uint32_t j = 1; j < 64; ++j) coefficients[QUAD_ORDER[j]] = coded[j];
}

void ReadResidue(int8_t residues[64], Gen1BitReader *reader, uint32_t limit) {
  GroupList list;
  StartGroupList(&list, kResidueGroups, 4);
  uint8_t significant[64];  // coded indices in the order they became significant
  uint8_t negative[64] = {};
  uint32_t significant_count = 0;
  uint32_t events = 0;
  const uint32_t top = Gen1ReadBits(reader, 3);
  uint8_t *values = reinterpret_cast<uint8_t *>(residues);  // wrapping byte arithmetic
  for (int32_t shift = static_cast<int32_t>(top); shift >= 0; --shift) {
    const uint8_t g = static_cast<uint8_t>(1u << shift);
    const uint32_t before = significant_count;
    for (uint32_t s = 0; s < before; ++s) {
      if (!Gen1ReadBit(reader)) continue;
      const uint8_t i = significant[s];
      values[i] = static_cast<uint8_t>(negative[i] ? values[i] - g : values[i] + g);
      if (++events > limit) return;
    }
    const bool go_on = WalkGroups(&list, reader, [&](uint32_t i) {
      negative[i] = static_cast<uint8_t>(Gen1ReadBit(reader));
      values[i] = negative[i] ? static_cast<uint8_t>(-g) : g;
      if (significant_count < 64) significant[significant_count++] = static_cast<uint8_t>(i);
      return ++events <= limit;
    });
    if (!go_on) return;
  }
}

void InverseDct8x8(uint8_t *out, int32_t stride, const int16_t coefficients[64],
                   const int32_t factors[64]) {
  uint8_t result[64];
  TransformBlock(result, coefficients, factors);
  for (int r = 0; r < 8; ++r) std::memcpy(out + static_cast<intptr_t>(r) * stride, result + 8 * r, 8);
}

void InverseDctPut(uint8_t *out, int32_t stride, const int16_t coefficients[64], uint32_t level) {
  InverseDct8x8(out, stride, coefficients, INTRA_DEQUANT[level & 15]);
}

void InverseDctPutDoubled(uint8_t *out, int32_t stride, const int16_t coefficients[64],
                          uint32_t level) {
  uint8_t result[64];
  TransformBlock(result, coefficients, INTRA_DEQUANT[level & 15]);
  for (int r = 0; r < 8; ++r) {
    uint8_t row[16];
    for (int c = 0; c < 8; ++c) row[2 * c] = row[2 * c + 1] = result[8 * r + c];
    std::memcpy(out + static_cast<intptr_t>(2 * r) * stride, row, 16);
    std::memcpy(out + static_cast<intptr_t>(2 * r + 1) * stride, row, 16);
  }
}

void InverseDctAdd(uint8_t *out, int32_t stride, const int16_t coefficients[64], uint32_t level,
                   const uint8_t *source, int32_t source_stride) {
  uint8_t result[64];
  TransformBlock(result, coefficients, INTER_DEQUANT[level & 15]);
  for (int r = 0; r < 8; ++r) {
    uint8_t row[8];
    std::memcpy(row, source + static_cast<intptr_t>(r) * source_stride, 8);
    for (int c = 0; c < 8; ++c) row[c] = static_cast<uint8_t>(row[c] + result[8 * r + c]);
    std::memcpy(out + static_cast<intptr_t>(r) * stride, row, 8);
  }
}

void AddResidue(uint8_t *out, int32_t stride, Gen1BitReader *reader, uint32_t limit,
                const uint8_t *source, int32_t source_stride) {
  int8_t residues[64] = {};
  ReadResidue(residues, reader, limit);
  uint8_t placed[64];
  for (int j = 0; j < 64; ++j) placed[QUAD_ORDER[j]] = static_cast<uint8_t>(residues[j]);
  for (int r = 0; r < 8; ++r) {
    uint8_t row[8];
    std::memcpy(row, source + static_cast<intptr_t>(r) * source_stride, 8);
    for (int c = 0; c < 8; ++c) row[c] = static_cast<uint8_t>(row[c] + placed[8 * r + c]);
    std::memcpy(out + static_cast<intptr_t>(r) * stride, row, 8);
  }
}
