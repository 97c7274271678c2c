#include "core/crc/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/check/file_crc.h"
#include "core/check/file_system.h"
#include "tests/support/one_file_system.h"
#include "tools/support/test_data.h"

namespace sfvcheck {
namespace {

using Kernel = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

struct Tier {
  const char* name;
  Kernel kernel;
  bool (*supported)();  // null: runs everywhere
};

// The faster tiers, each checked against the per-byte reference.
const Tier kTiers[] = {
    {"Slicing", Crc32Slicing, nullptr},
    {"Clmul", Crc32Clmul, Crc32ClmulSupported},
    {"Fastest", Crc32, nullptr},
    {"Avx2", Crc32Avx2, Crc32Avx2Supported},
    {"Avx512", Crc32Avx512, Crc32Avx512Supported},
    {"FileKernel", FileCrc32Kernel, nullptr},
};

std::string TierName(const ::testing::TestParamInfo<Tier>& info) { return info.param.name; }

class Crc32TierTest : public ::testing::TestWithParam<Tier> {
 protected:
  std::uint32_t Run(std::uint32_t crc, const void* data, std::size_t size) const {
    return GetParam().kernel(crc, data, size);
  }
  std::uint32_t Run(const std::string& bytes) const { return Run(0, bytes.data(), bytes.size()); }
};

TEST(Crc32TableTest, SpotValues) {
  const std::uint32_t* table = Crc32Table();
  EXPECT_EQ(table[0], 0x00000000u);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[128], 0xEDB88320u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
}

TEST(Crc32ReferenceTest, KnownValues) {
  const std::string digits = "123456789";
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(Crc32Reference(0, "", 0), 0x00000000u);
  EXPECT_EQ(Crc32Reference(0, digits.data(), digits.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32Reference(0, fox.data(), fox.size()), 0x414FA339u);
}

TEST_P(Crc32TierTest, KnownValues) {
  EXPECT_EQ(Run(""), 0x00000000u);
  EXPECT_EQ(Run("123456789"), 0xCBF43926u);
  EXPECT_EQ(Run("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

// Every length up to 4096 from every start offset within 16 bytes, so each
// kernel meets each alignment and each remainder of its block size.
TEST_P(Crc32TierTest, MatchesReferenceForEveryLengthAndOffset) {
  const std::string data = testing::RandomBytes(4096 + 16, 7);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    const char* start = data.data() + offset;
    std::uint32_t expected = 0;  // grows one byte at a time with the length
    for (std::size_t length = 0; length <= 4096; ++length) {
      if (length > 0) expected = Crc32Reference(expected, start + length - 1, 1);
      ASSERT_EQ(Run(0, start, length), expected) << "offset " << offset << " length " << length;
    }
  }
}

// Each input sits at the very end of its own allocation: a read past the end
// is caught by the address sanitizer in the native build.
TEST_P(Crc32TierTest, ReadsNothingPastTheEnd) {
  const std::string source = testing::RandomBytes(1100, 11);
  for (std::size_t length = 0; length <= source.size(); ++length) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[length == 0 ? 1 : length]);
    std::memcpy(exact.get(), source.data(), length);
    ASSERT_EQ(Run(0, exact.get(), length), Crc32Reference(0, source.data(), length)) << length;
  }
}

TEST_P(Crc32TierTest, MatchesReferenceOnLargeRandomData) {
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    const std::string data = testing::RandomBytes((1 << 20) + seed * 37, seed);
    EXPECT_EQ(Run(data), Crc32Reference(0, data.data(), data.size())) << seed;
  }
}

// A CRC continued over pieces equals one call over the whole, whatever the
// cut points, and may be continued by another tier.
TEST_P(Crc32TierTest, StreamingInPiecesEqualsOneCall) {
  const std::string data = testing::RandomBytes(20000, 5);
  const std::uint32_t whole = Crc32Reference(0, data.data(), data.size());
  for (std::size_t piece : {1u, 3u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 4096u, 19999u}) {
    std::uint32_t crc = 0;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      crc = Run(crc, data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(crc, whole) << "pieces of " << piece;
  }
  std::uint32_t mixed = Run(0, data.data(), 7001);
  mixed = Crc32Reference(mixed, data.data() + 7001, 999);
  mixed = Run(mixed, data.data() + 8000, data.size() - 8000);
  EXPECT_EQ(mixed, whole);
}

// Only the tiers this processor runs.
std::vector<Tier> TiersHere() {
  std::vector<Tier> tiers;
  for (const Tier& tier : kTiers) {
    if (!tier.supported || tier.supported()) tiers.push_back(tier);
  }
  return tiers;
}

INSTANTIATE_TEST_SUITE_P(Tiers, Crc32TierTest, ::testing::ValuesIn(TiersHere()), TierName);

constexpr CrcTier kAllTiers[] = {CrcTier::kReference, CrcTier::kSlicing, CrcTier::kClmul, CrcTier::kAvx2,
                                 CrcTier::kAvx512};

Crc32Kernel AlwaysRight(CrcTier) { return Crc32Reference; }

// Every combination of the seven features: the tier chosen is the widest
// whose instructions are all there and whose register state the system saves.
TEST(Crc32DispatchTest, ChoosesTheWidestTierTheFeaturesAllow) {
  for (unsigned bits = 0; bits < 128; ++bits) {
    CrcFeatures f;
    f.pclmulqdq = bits & 1;
    f.sse41 = bits & 2;
    f.avx2 = bits & 4;
    f.avx512f = bits & 8;
    f.vpclmulqdq = bits & 16;
    f.osSavesYmm = bits & 32;
    f.osSavesZmm = (bits & 64) && f.osSavesYmm;  // the system saves none of the wide state without the narrow
    CrcTier expected = CrcTier::kSlicing;
    if (f.pclmulqdq && f.sse41) {
      expected = CrcTier::kClmul;
      if (f.vpclmulqdq && f.avx2 && f.osSavesYmm) expected = CrcTier::kAvx2;
      if (f.vpclmulqdq && f.avx512f && f.osSavesZmm) expected = CrcTier::kAvx512;
    }
    EXPECT_EQ(ChooseCrcTier(f, CrcTier::kAvx512, AlwaysRight), expected) << "features " << bits;
    // Crc32 itself stays at 128 bits; a cap holds whatever the processor has.
    EXPECT_EQ(ChooseCrcTier(f, CrcTier::kClmul, AlwaysRight), std::min(expected, CrcTier::kClmul)) << bits;
    EXPECT_EQ(ChooseCrcTier(f, CrcTier::kReference, AlwaysRight), CrcTier::kReference) << bits;
  }
}

CrcTier faultyTier = CrcTier::kReference;

// Right below 512 bytes, one bit off from there on: a wide tier's fault.
std::uint32_t WrongFrom512Bytes(std::uint32_t crc, const void* data, std::size_t size) {
  return Crc32Reference(crc, data, size) ^ (size >= 512 ? 1u : 0u);
}

Crc32Kernel WithOneFaultyTier(CrcTier tier) { return tier == faultyTier ? WrongFrom512Bytes : CrcTierKernel(tier); }

// Each tier this processor runs passes the check made before a tier is used;
// a faulty tier is refused and the next narrower one runs instead.
TEST(Crc32DispatchTest, EveryTierHereIsCheckedBeforeUseAndAFaultyOneIsRefused) {
  const CrcFeatures& here = Crc32Features();
  CrcTier widest = CrcTier::kReference;
  for (CrcTier tier : kAllTiers) {
    if (!CrcTierRuns(here, tier)) continue;
    EXPECT_TRUE(Crc32KernelPassesSelfTest(CrcTierKernel(tier))) << CrcTierName(tier);
    EXPECT_EQ(ChooseCrcTier(here, tier), tier) << CrcTierName(tier);
    widest = tier;
  }
  EXPECT_FALSE(Crc32KernelPassesSelfTest(WrongFrom512Bytes));
  EXPECT_EQ(FileCrc32Tier(), widest);
  EXPECT_EQ(Crc32Tier(), std::min(widest, CrcTier::kClmul));

  for (CrcTier tier : kAllTiers) {
    if (tier == CrcTier::kReference || !CrcTierRuns(here, tier)) continue;
    faultyTier = tier;
    CrcTier narrower = CrcTier::kReference;
    for (CrcTier below : kAllTiers) {
      if (below < tier && CrcTierRuns(here, below)) narrower = below;
    }
    EXPECT_EQ(ChooseCrcTier(here, tier, WithOneFaultyTier), narrower) << CrcTierName(tier);
  }
}

Crc32Kernel ReferenceButOneFaultyTier(CrcTier tier) { return tier == faultyTier ? WrongFrom512Bytes : Crc32Reference; }

// The refusal holds for every tier whatever this processor runs, so a build
// tested only where the wide tiers cannot run still has it tested.
TEST(Crc32DispatchTest, AFaultyTierIsRefusedEvenWhereTheProcessorCouldNotRunIt) {
  CrcFeatures all;
  all.pclmulqdq = all.sse41 = all.avx2 = all.avx512f = all.vpclmulqdq = all.osSavesYmm = all.osSavesZmm = true;
  for (CrcTier tier : {CrcTier::kSlicing, CrcTier::kClmul, CrcTier::kAvx2, CrcTier::kAvx512}) {
    faultyTier = tier;
    EXPECT_EQ(ChooseCrcTier(all, CrcTier::kAvx512, ReferenceButOneFaultyTier),
              tier == CrcTier::kAvx512 ? CrcTier::kAvx2 : CrcTier::kAvx512)
        << CrcTierName(tier);
    EXPECT_EQ(ChooseCrcTier(all, tier, ReferenceButOneFaultyTier), static_cast<CrcTier>(static_cast<int>(tier) - 1))
        << CrcTierName(tier);
  }
}

using testing::OneFileSystem;

TEST(FileCrc32Test, HashesAcrossShortReadsAndAsksForOneBufferAtATime) {
  OneFileSystem fs;
  fs.piece = 1000;
  fs.content = testing::RandomBytes(12345, 9);
  FileCrc32 hasher(fs);
  std::uint32_t crc = 0;
  ASSERT_TRUE(hasher.ComputeFileCrc("x", &crc));
  EXPECT_EQ(crc, Crc32Reference(0, fs.content.data(), fs.content.size()));
  EXPECT_EQ(fs.largestRequest, FileCrc32::kReadSize);

  fs.content.clear();
  ASSERT_TRUE(hasher.ComputeFileCrc("x", &crc));
  EXPECT_EQ(crc, 0u);
}

// Pieces hashed apart join up: every split of a buffer, empty pieces
// included, and a second piece long enough to use many bits of its length.
TEST(Crc32CombineTest, JoinsTheCrcsOfEverySplit) {
  const std::string data = testing::RandomBytes(1500, 8);
  const std::uint32_t whole = Crc32Reference(0, data.data(), data.size());
  for (std::size_t split = 0; split <= data.size(); ++split) {
    const std::uint32_t first = Crc32Reference(0, data.data(), split);
    const std::uint32_t second = Crc32Reference(0, data.data() + split, data.size() - split);
    ASSERT_EQ(Crc32Combine(first, second, data.size() - split), whole) << split;
  }
  const std::string large = testing::RandomBytes((3 << 20) + 77, 9);
  EXPECT_EQ(Crc32Combine(Crc32(0, "abc", 3), Crc32(0, large.data(), large.size()), large.size()),
            Crc32(Crc32(0, "abc", 3), large.data(), large.size()));
}

// A large file is hashed in two halves, each through a handle of its own.
// The joined CRC is the file's at sizes around the split; a failed read in
// the second half fails the whole; a second handle that does not open
// leaves the first to read the whole file.
TEST(FileCrc32Test, AFileHashedInTwoHalvesGivesTheWholeFilesCrc) {
  constexpr std::size_t kRead = FileCrc32::kReadSize;
  const std::string data = testing::RandomBytes(5 * kRead + 3, 17);
  OneFileSystem fs;
  fs.piece = kRead / 3;
  FileCrc32 hasher(fs);
  hasher.twoHalvesFrom = 0;
  std::uint32_t crc = 0;
  for (std::size_t size : {2 * kRead - 1, 2 * kRead, 2 * kRead + 1, 3 * kRead, 4 * kRead + 5, 5 * kRead + 3}) {
    fs.content = data.substr(0, size);
    fs.opened.clear();
    ASSERT_TRUE(hasher.ComputeFileCrc("x", &crc)) << size;
    EXPECT_EQ(crc, Crc32Reference(0, data.data(), size)) << size;
    EXPECT_EQ(fs.opened.size(), size >= 2 * kRead ? 2u : 1u) << size;
  }

  fs.failAt = 4 * kRead;  // in the second half only
  EXPECT_FALSE(hasher.ComputeFileCrc("x", &crc));
  fs.failAt = std::string::npos;
  fs.failOnOpen = 1;
  fs.opened.clear();
  ASSERT_TRUE(hasher.ComputeFileCrc("x", &crc));
  EXPECT_EQ(crc, Crc32Reference(0, data.data(), data.size()));
  EXPECT_EQ(fs.opened.size(), 2u);

  hasher.twoHalvesFrom = data.size() + 1;
  fs.opened.clear();
  ASSERT_TRUE(hasher.ComputeFileCrc("x", &crc));
  EXPECT_EQ(fs.opened.size(), 1u);
}

TEST(FileCrc32Test, OpenFailureAndReadErrorsFail) {
  OneFileSystem fs;
  fs.piece = 1000;
  fs.content = testing::RandomBytes(5000, 3);
  FileCrc32 hasher(fs);
  std::uint32_t crc = 0x12345678;

  fs.opens = false;
  EXPECT_FALSE(hasher.ComputeFileCrc("x", &crc));
  fs.opens = true;
  fs.failOnRead = 0;
  EXPECT_FALSE(hasher.ComputeFileCrc("x", &crc));
  fs.failOnRead = 3;  // after some data has been hashed
  EXPECT_FALSE(hasher.ComputeFileCrc("x", &crc));
  fs.failOnRead = 5;  // the read that would report the end
  EXPECT_FALSE(hasher.ComputeFileCrc("x", &crc));
  EXPECT_EQ(crc, 0x12345678u);

  // Reads that end before the length the file gave: a file cut short while
  // held, never a whole one, whether hashed in one piece or in two halves.
  fs.failOnRead = -1;
  fs.content = testing::RandomBytes(4 * FileCrc32::kReadSize, 4);
  fs.piece = FileCrc32::kReadSize;
  for (std::size_t end : {std::size_t{1000}, 3 * FileCrc32::kReadSize}) {
    fs.endAt = end;
    hasher.twoHalvesFrom = 0;
    EXPECT_FALSE(hasher.ComputeFileCrc("x", &crc)) << end;
  }
  EXPECT_EQ(crc, 0x12345678u);
}

}  // namespace
}  // namespace sfvcheck
