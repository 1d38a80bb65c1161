/* Cipher engine: the encryption unit. FileEncHeader, the CRC-32 functions
 * and crc32_app are public (draxel_lib.h); this header adds what only the
 * library's own units use. */
#ifndef DRAXEL_ENCRYPT_H
#define DRAXEL_ENCRYPT_H

#include "draxel_lib.h"
#include "gost_a.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
	FILE_HEADER_SIZE = 48,      /* sizeof(FileEncHeader) */
	FILE_HEADER_CRC_OFFSET = 4, /* the CRC covers the header from flag onwards */
	FILE_CRC_SIZE = 4           /* the CRC behind the data, least significant byte first */
};

#ifdef __cplusplus
}
#endif

#endif
