/* The CRC-32 unit. The checksum functions and crc32_app are public
 * (draxel_lib.h); this header adds the carry-less path that crc32.cpp
 * takes where the processor has it. */
#ifndef DRAXEL_CRC32_H
#define DRAXEL_CRC32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The CRC register over len bytes (a multiple of 16, at least 64) by
 * carry-less multiplication, where the processor has it. */
bool crc32_clmul_available(void);
/* Switches the carry-less path on or off (for tests and benchmarks); false
 * when the processor cannot have it on. */
bool crc32_use_clmul(bool on);
uint32_t crc32_clmul(uint32_t crc, const unsigned char *buf, size_t len);
/* The CRC register over any len bytes, slower per byte but with no table:
 * the tails, and runs too short for crc32_clmul. */
uint32_t crc32_clmul_short(uint32_t crc, const unsigned char *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif
