// CRC-32 (the reflected polynomial 0xEDB88320 of zip and SFV lists) in tiers:
// a per-byte table reference, a portable slicing kernel, a carry-less
// multiply kernel used when the processor has PCLMULQDQ and SSE4.1, and one on
// 512-bit registers for whole files. The portable tiers share
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

// Only valid where Crc32Avx512Supported() is true (processor and operating
// system). Falls back on Crc32 below two 256-byte blocks and for the tail.
bool Crc32Avx512Supported();
std::uint32_t Crc32Avx512(std::uint32_t crc, const void* data, std::size_t size);

// The fastest of the 128-bit and portable tiers this processor runs, chosen once.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The kernel for whole files: Crc32Avx512 where supported, else Crc32.
std::uint32_t FileCrc32Kernel(std::uint32_t crc, const void* data, std::size_t size);

}  // namespace sfvcheck
