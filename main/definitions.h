/* Shared integer types of the library's units. */
#ifndef DRAXEL_DEFINITIONS_H
#define DRAXEL_DEFINITIONS_H

#include <stddef.h>
#include <stdint.h>

/* The same type as pcsc-lite's BYTE, so both headers may be included. */
typedef unsigned char BYTE;

/* The 32-bit word of the GOST 28147-89 block cipher. */
typedef uint32_t u32_gost_type;

#endif
