/* Library interface: the context, error recording and the hexadecimal text
 * form. LogicDLLContext, cur_context and the error codes are public (the host
 * reads them); this header adds what only the library's own units use. */
#ifndef DRAXEL_UTILS_H
#define DRAXEL_UTILS_H

#include <limits.h>
#include <stdbool.h>

#include "draxel_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

extern LogicDLLContext cur_context;
/* Kept by the command layer; GetLastErrorCode hands it out. */
extern unsigned long last_error;

/* Forget the recorded error code. */
void ClearError(void);

/*
 * Hexadecimal text form: two upper-case digits per byte on output; on input
 * either case, with blanks and tabs allowed between (not inside) pairs.
 */

/* Decode the pair at hex into *pb; false (and *pb untouched) when either
 * character is not a hex digit. Does not look past a NUL in hex[0]. */
bool Hex2Byte(BYTE *pb, const char *hex);
/* Decode at most hex_size bytes of hex into bin; the count, or 0 when the
 * text is empty or invalid (bin may then hold a decoded prefix). */
int Hex2Data(BYTE *bin, const char *hex, unsigned long hex_size);
/* Write the two digits of *pb to hex[0], hex[1] (no NUL); returns hex. */
char *Byte2Hex(char *hex, const BYTE *pb);
/* Write 2 * binsize digits and a NUL; returns 2 * binsize + 1. A count below
 * 0 or above DRAXEL_HEX_MAX_BYTES writes only the NUL and returns 1. */
int Data2Hex(char *hex, BYTE *bin, int binsize);

/* The most bytes Data2Hex and Bin2Mes convert: their result is an int. */
#define DRAXEL_HEX_MAX_BYTES ((INT_MAX - 1) / 2)

/*
 * Mes2Bin - decode the hex text mes (mes_len characters, without the NUL).
 * Returns the byte count; 0 for an empty or invalid text, a null mes, or when
 * memory is short. out_bin, if given, is written only when the count is not
 * 0, with exactly that many bytes; a null out_bin asks for the count.
 */
unsigned long Mes2Bin(const char *mes, unsigned long mes_len, BYTE *out_bin);
/*
 * Bin2Mes - write bin_len bytes as hex text. Returns 2 * bin_len + 1, the
 * text's size with its NUL, which is what out_mes receives; a null out_mes
 * asks for the size. 0 when memory is short, bin is null with a non-zero
 * length, or bin_len exceeds DRAXEL_HEX_MAX_BYTES.
 */
unsigned long Bin2Mes(BYTE *bin, unsigned long bin_len, char *out_mes);

#ifdef __cplusplus
}

/* Record er in the context and return it. Transport code 5 (status word not
 * accepted) is turned into the library's code for prs's status word. */
unsigned long SetError(unsigned long er, ReaderStructPtr prs);
/* Returns er; records nothing. */
unsigned long SetError(const char *mes, unsigned long er);
#endif

#endif
