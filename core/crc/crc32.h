// CRC-32 (the reflected polynomial 0xEDB88320 of zip and SFV lists) in tiers:
// a per-byte table reference, a portable slicing kernel, a carry-less
// multiply kernel used when the processor has PCLMULQDQ and SSE4.1, and ones
// on 256-bit and 512-bit registers for whole files. The portable tiers share
// crc32_slicing.cpp, each other tier has a file of its own compiled for its
// instruction set, and crc32_dispatch.cpp holds the one processor probe and
// picks the tier.
//
// Every function continues a CRC: pass 0 to start, pass the previous result to
// continue with more bytes (the complement in and out is done inside).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sfvcheck {

// The 256-entry table: entry i is i shifted right eight times, each time
// XORed with the polynomial when the dropped bit was 1.
const std::uint32_t* Crc32Table();

std::uint32_t Crc32Reference(std::uint32_t crc, const void* data, std::size_t size);
std::uint32_t Crc32Slicing(std::uint32_t crc, const void* data, std::size_t size);

// Only valid where Crc32ClmulSupported() is true.
bool Crc32ClmulSupported();
std::uint32_t Crc32Clmul(std::uint32_t crc, const void* data, std::size_t size);

// Only valid where Crc32Avx2Supported() is true (processor and operating
// system). Falls back on Crc32 below two 128-byte blocks and for the tail.
bool Crc32Avx2Supported();
std::uint32_t Crc32Avx2(std::uint32_t crc, const void* data, std::size_t size);

// Only valid where Crc32Avx512Supported() is true (processor and operating
// system). Falls back on Crc32 below two 256-byte blocks and for the tail.
bool Crc32Avx512Supported();
std::uint32_t Crc32Avx512(std::uint32_t crc, const void* data, std::size_t size);

// The fastest of the 128-bit and portable tiers this processor runs, chosen once.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The kernel for whole files: the widest tier this processor runs, chosen once.
std::uint32_t FileCrc32Kernel(std::uint32_t crc, const void* data, std::size_t size);

// The CRC of A followed by B, from the CRC of A, the CRC of B (each
// started from 0) and B's length: pieces of a file hashed apart join up.
std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize);

// ---- The choice of tier ----

using Crc32Kernel = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

// Narrowest first: a wider tier needs everything a narrower one needs.
enum class CrcTier { kReference, kSlicing, kClmul, kAvx2, kAvx512 };

const char* CrcTierName(CrcTier tier);
Crc32Kernel CrcTierKernel(CrcTier tier);

// What the processor reports, and which register state the operating system
// saves on a thread switch (XCR0).
struct CrcFeatures {
  bool pclmulqdq = false;
  bool sse41 = false;
  bool avx2 = false;
  bool avx512f = false;
  bool vpclmulqdq = false;  // the 256- and 512-bit forms of PCLMULQDQ
  bool osSavesYmm = false;  // SSE and AVX state
  bool osSavesZmm = false;  // the mask and 512-bit state besides
};

// This processor's, probed once (the one probe of the program).
const CrcFeatures& Crc32Features();

// Whether the features let the tier run.
bool CrcTierRuns(const CrcFeatures& features, CrcTier tier);

// True when `kernel` gives the per-byte reference's CRC over a fixed input of
// a few KiB, whole, continued in pieces and from odd starts.
bool Crc32KernelPassesSelfTest(Crc32Kernel kernel);

// The widest tier, at most `ceiling`, that the features let run and whose
// kernel (`kernelOf`) passes the self-test; the per-byte reference at least.
// Each tier is tested before it is chosen, so a faulty one costs speed, never
// a file judged bad.
CrcTier ChooseCrcTier(const CrcFeatures& features, CrcTier ceiling,
                      Crc32Kernel (*kernelOf)(CrcTier) = CrcTierKernel);

// The tiers chosen for Crc32 and FileCrc32Kernel, each on its first call.
CrcTier Crc32Tier();
CrcTier FileCrc32Tier();

// Caps both choices, when called before either is made: the benchmark runs a
// narrower tier than the widest this way. The plug-in never calls it.
void SetCrcTierCeiling(CrcTier ceiling);

// The tier named `name` ("reference", "slicing", "clmul", "avx2", "avx512").
bool CrcTierNamed(const char* name, CrcTier* tier);

}  // namespace sfvcheck
