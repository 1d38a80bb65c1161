// GOST 28147-89 CFB and CRC-32 over 64 MiB, the library against libgcrypt
// (CFB, TC26 boxes) and zlib. The cipher runs once on every path this
// processor has (the vector engines and the table round), the CRC with and
// without its carry-less path. After the runs it prints, for each, the
// library's speed over the baseline's (median of the repetitions) and the
// cycles per byte at the nominal clock.
//
//   cipher_bench [google benchmark flags]
//
// Defaults: 5 repetitions, interleaved at random, aggregates only.
#include <benchmark/benchmark.h>

#include "bench_report.h"
#include <gcrypt.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "crc32.h"
#include "draxel_lib.h"
#include "gost_a.h"

namespace {

constexpr size_t kSize = 64u << 20;
const uint8_t kKey[32] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x01, 0x23, 0x45,
                          0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5,
                          0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};

std::vector<uint8_t> &data()
{
	static std::vector<uint8_t> d = [] {
		std::vector<uint8_t> v(kSize);
		uint32_t x = 2463534242u;
		for (auto &b : v) {
			x ^= x << 13, x ^= x >> 17, x ^= x << 5;
			b = static_cast<uint8_t>(x);
		}
		return v;
	}();
	return d;
}

void done(benchmark::State &state)
{
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void library_cfb(benchmark::State &state, bool encrypt, GostPath path)
{
	if (!gost_use_path(path) || gost_path() != path)
		state.SkipWithError("the path is not available");
	u32_gost_type ks[8];
	g2814789_set_key(ks, kKey, sizeof kKey);
	for (auto _ : state) {
		u8_gost_type iv[8] = {0};
		(encrypt ? gost_encrypt_cfb : gost_decrypt_cfb)(ks, iv, data().data(),
		                                                static_cast<int>(kSize));
		benchmark::ClobberMemory();
	}
	done(state);
}

void libgcrypt_cfb(benchmark::State &state, bool encrypt)
{
	gcry_cipher_hd_t h;
	gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_CFB, 0);
	gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, (void *)"1.2.643.7.1.2.5.1.1", 0);
	gcry_cipher_setkey(h, kKey, sizeof kKey);
	for (auto _ : state) {
		const uint8_t iv[8] = {0};
		gcry_cipher_setiv(h, iv, sizeof iv);
		if (encrypt)
			gcry_cipher_encrypt(h, data().data(), kSize, nullptr, 0);
		else
			gcry_cipher_decrypt(h, data().data(), kSize, nullptr, 0);
		benchmark::ClobberMemory();
	}
	gcry_cipher_close(h);
	done(state);
}

void library_crc(benchmark::State &state, bool clmul)
{
	crc32_use_clmul(clmul);
	for (auto _ : state)
		benchmark::DoNotOptimize(CalcCRC32Compat(data().data(), static_cast<int>(kSize)));
	done(state);
}

void zlib_crc(benchmark::State &state)
{
	for (auto _ : state)
		benchmark::DoNotOptimize(crc32(0, data().data(), static_cast<uInt>(kSize)));
	done(state);
}

} // namespace

int main(int argc, char **argv)
{
	gcry_check_version(nullptr);
	gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
	gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);

	draxel::bench::initialize(argc, argv);

	auto add = [](const char *name, auto fn, auto... fn_args) {
		benchmark::RegisterBenchmark(name, fn, fn_args...)->Unit(benchmark::kMillisecond);
	};
	std::vector<GostPath> paths;
	for (int p = GOST_PATH_TABLE; p <= GOST_PATH_NEON; p++)
		if (gost_path_supported(static_cast<GostPath>(p)))
			paths.push_back(static_cast<GostPath>(p));
	const GostPath best = gost_path();
	for (GostPath p : paths) {
		std::string name = gost_path_name(p);
		add(("gost_cfb_encrypt/" + name).c_str(), library_cfb, true, p);
		add(("gost_cfb_decrypt/" + name).c_str(), library_cfb, false, p);
	}
	add("gost_cfb_encrypt/libgcrypt", libgcrypt_cfb, true);
	add("gost_cfb_decrypt/libgcrypt", libgcrypt_cfb, false);
	add("crc32/clmul", library_crc, true);
	add("crc32/table", library_crc, false);
	add("crc32/zlib", zlib_crc);

	data();
	draxel::bench::Collector collector;
	benchmark::RunSpecifiedBenchmarks(&collector);

	const double hz = benchmark::CPUInfo::Get().cycles_per_second;
	std::printf("\nthe library's own choice on this processor: %s\n", gost_path_name(best));
	std::printf("%-24s %14s %14s %8s %12s %12s\n", "", "library MB/s", "baseline MB/s", "ratio",
	            "library c/B", "baseline c/B");
	auto row = [&](const std::string &line, const std::string &baseline) {
		double lib = collector.speed(line), ref = collector.speed(baseline);
		if (lib > 0 && ref > 0)
			std::printf("%-24s %14.1f %14.1f %7.2fx %12.2f %12.2f\n", line.c_str(),
			            lib / 1e6, ref / 1e6, lib / ref, hz / lib, hz / ref);
	};
	for (const char *op : {"gost_cfb_encrypt", "gost_cfb_decrypt"})
		for (GostPath p : paths)
			row(std::string(op) + "/" + gost_path_name(p),
			    std::string(op) + "/libgcrypt");
	row("crc32/clmul", "crc32/zlib");
	row("crc32/table", "crc32/zlib");
	benchmark::Shutdown();
	return 0;
}
