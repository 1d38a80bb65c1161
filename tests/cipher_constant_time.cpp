// The cipher and the CRC under memcheck with their secrets marked undefined:
// the key, the data, the CFB register. Memcheck reports every branch and
// every memory address that depends on an undefined byte, so a run without
// reports shows that no such branch or address exists on the paths run.
// Every cipher path this processor has is run, and the carry-less CRC, and
// memcheck must find nothing; then the table round and the table CRC, which
// index memory by secret bytes, and memcheck must complain, or the check
// checks nothing. The status says whether both held.
//
//   valgrind -q cipher_constant_time
#include <valgrind/memcheck.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "crc32.h"
#include "gost_a.h"

namespace {

/* On the table round a short run shows the reports; the paths in registers
 * run their wide and their serial parts. */
void run(GostPath path, bool short_run)
{
	const int length = short_run ? 13 : 2 * 256 + 13, count = short_run ? 1 : 5;
	u8_gost_type key[32], reg[8], data[2 * 256 + 13], blocks[5 * 8];
	for (size_t i = 0; i < sizeof data; i++)
		data[i] = static_cast<u8_gost_type>(i * 7 + 1);
	memcpy(key, data + 3, sizeof key);
	memcpy(reg, data + 50, sizeof reg);
	memcpy(blocks, data + 100, sizeof blocks);
	VALGRIND_MAKE_MEM_UNDEFINED(key, sizeof key);
	VALGRIND_MAKE_MEM_UNDEFINED(reg, sizeof reg);
	VALGRIND_MAKE_MEM_UNDEFINED(data, sizeof data);
	VALGRIND_MAKE_MEM_UNDEFINED(blocks, sizeof blocks);

	u32_gost_type ks[8];
	g2814789_set_key(ks, key, sizeof key);
	gost_encrypt_cfb(ks, reg, data, length);
	gost_decrypt_cfb(ks, reg, data, length);
	g2814789_encrypt_ecb(ks, blocks, count);
	g2814789_decrypt_ecb(ks, blocks, count);
	g2814789_encrypt(ks, blocks);
	g2814789_decrypt(ks, blocks + 8);

	for (int n : {3, 17, 64, 301}) // short runs, tails, folds
		CalcCRC32Compat(data, std::min(n, length));
	VALGRIND_MAKE_MEM_DEFINED(&crc32_app, sizeof crc32_app);

	VALGRIND_MAKE_MEM_DEFINED(reg, sizeof reg);
	VALGRIND_MAKE_MEM_DEFINED(data, sizeof data);
	VALGRIND_MAKE_MEM_DEFINED(blocks, sizeof blocks);
	std::printf("%s, CRC %s: run with undefined key, data and register\n", gost_path_name(path),
	            crc32_clmul_available() ? "carry-less" : "table");
}

std::vector<GostPath> paths(bool table)
{
	std::vector<GostPath> found;
	for (int p = table ? GOST_PATH_TABLE : GOST_PATH_SSSE3; p <= (table ? 0 : GOST_PATH_NEON);
	     p++)
		if (gost_path_supported(static_cast<GostPath>(p)))
			found.push_back(static_cast<GostPath>(p));
	return found;
}

unsigned run_all(bool table)
{
	const unsigned before = VALGRIND_COUNT_ERRORS;
	crc32_use_clmul(!table);
	for (GostPath path : paths(table))
		if (gost_use_path(path) && gost_path() == path)
			run(path, table);
	return VALGRIND_COUNT_ERRORS - before;
}

} // namespace

int main()
{
	if (!RUNNING_ON_VALGRIND) {
		std::printf("run under valgrind: valgrind -q cipher_constant_time\n");
		return 1;
	}
	if (paths(false).empty())
		std::printf("no path in registers on this processor: nothing to check\n");
	const unsigned in_registers = run_all(false);
	const unsigned tables = run_all(true);
	std::printf("memcheck: %u reports in registers (want none), %u on the tables (want some)\n",
	            in_registers, tables);
	return in_registers == 0 && tables > 0 ? 0 : 1;
}
