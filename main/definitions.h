/* Shared integer types of the library's units. */
#ifndef DRAXEL_DEFINITIONS_H
#define DRAXEL_DEFINITIONS_H

#include <stddef.h>
#include <stdint.h>

/* The same type as pcsc-lite's BYTE, so both headers may be included. */
typedef unsigned char BYTE;

/* The integers of the GOST 28147-89 block cipher; its word is 32 bits. */
typedef uint8_t u8_gost_type;
typedef uint16_t u16_gost_type;
typedef uint32_t u32_gost_type;

#endif
