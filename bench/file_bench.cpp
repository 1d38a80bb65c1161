// Fast-mode file encryption and decryption of 64 MiB in chunks of 1 MiB,
// through EncryptFileData and DecryptFileData against the software token
// in-process, measured against the library's bare CFB over the same data in
// the same run. The file functions add the token's session key, the header
// and the CRC-32, computed a stretch at a time beside the cipher; the ratio
// shows what that costs.
//
//   file_bench [google benchmark flags]
//
// Defaults: 5 repetitions, interleaved at random, aggregates only.
#include <benchmark/benchmark.h>

#include "bench_report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "token.h"
#include "token_handler.h"

namespace {

constexpr size_t kSize = 64u << 20;
constexpr size_t kChunk = 1u << 20;
constexpr size_t kChunks = kSize / kChunk;
constexpr int kFirst = 0x100, kLast = 0x200, kFast = 0x001;
const char kPhrase[] = "bench phrase";

const std::vector<uint8_t> &data()
{
	static const std::vector<uint8_t> d = [] {
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

// The software token, its PIN verified, behind the library for the whole run.
struct AttachedToken {
	draxel::sim::Token token{draxel::sim::issue_token()};
	draxel::sim::InProcessToken attached{token};
	bool ready = false;

	AttachedToken()
	{
		InitLib(attached.table());
		ReaderStructPtr prs = nullptr;
		if (ConnectToMekta(false) == 0)
			prs = cur_context.pCurReader;
		ready = prs != nullptr && APDU_SelectApplication(prs) == 0 &&
		        APDU_VerifyPassword(prs, 0x05, reinterpret_cast<const BYTE *>("1234"), 4) ==
		                0;
	}
};

bool token_ready()
{
	static AttachedToken token;
	return token.ready;
}

int flags_of(size_t i)
{
	return (i == 0 ? kFirst : 0) | (i + 1 == kChunks ? kLast : 0) | kFast;
}

// Enciphers the data as a file into out (one chunk's output at a time);
// false on any failure.
bool encrypt_file(std::vector<uint8_t> *file)
{
	std::vector<uint8_t> out(kChunk + 84);
	for (size_t i = 0; i < kChunks; i++) {
		int size = static_cast<int>(out.size());
		if (EncryptFileData(data().data() + i * kChunk, static_cast<int>(kChunk),
		                    out.data(), &size, 1, kPhrase, nullptr, flags_of(i)) != 0)
			return false;
		if (file != nullptr)
			file->insert(file->end(), out.begin(), out.begin() + size);
	}
	return true;
}

const std::vector<uint8_t> &encrypted_file()
{
	static const std::vector<uint8_t> file = [] {
		std::vector<uint8_t> f;
		if (!token_ready() || !encrypt_file(&f))
			f.clear();
		return f;
	}();
	return file;
}

void done(benchmark::State &state)
{
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void file_encrypt(benchmark::State &state)
{
	if (!token_ready()) {
		state.SkipWithError("the software token is not ready");
		return;
	}
	for (auto _ : state) {
		if (!encrypt_file(nullptr)) {
			state.SkipWithError("EncryptFileData failed");
			break;
		}
		benchmark::ClobberMemory();
	}
	done(state);
}

void file_decrypt(benchmark::State &state)
{
	const std::vector<uint8_t> &file = encrypted_file();
	if (file.size() != kSize + 52) {
		state.SkipWithError("no encrypted file");
		return;
	}
	std::vector<uint8_t> out(kChunk + 52);
	for (auto _ : state) {
		size_t at = 0;
		for (size_t i = 0; i < kChunks; i++) {
			size_t piece = kChunk + (i == 0 ? 48 : 0) + (i + 1 == kChunks ? 4 : 0);
			int size = static_cast<int>(out.size());
			if (DecryptFileData(file.data() + at, static_cast<int>(piece), out.data(),
			                    &size, 1, kPhrase, nullptr, flags_of(i)) != 0) {
				state.SkipWithError("DecryptFileData failed");
				return;
			}
			at += piece;
		}
		benchmark::ClobberMemory();
	}
	done(state);
}

// The baseline: the library's CFB over the same 64 MiB with a fixed key,
// in place on a copy, in one call.
void bare_cfb(benchmark::State &state, bool encipher)
{
	static const uint8_t key[32] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
	u32_gost_type ks[8];
	g2814789_set_key(ks, key, sizeof key);
	std::vector<uint8_t> work(data());
	for (auto _ : state) {
		u8_gost_type reg[8] = {0};
		(encipher ? gost_encrypt_cfb : gost_decrypt_cfb)(ks, reg, work.data(),
		                                                 static_cast<int>(kSize));
		benchmark::ClobberMemory();
	}
	done(state);
}

} // namespace

int main(int argc, char **argv)
{
	draxel::bench::initialize(argc, argv);

	auto add = [](const char *name, auto fn, auto... fn_args) {
		benchmark::RegisterBenchmark(name, fn, fn_args...)->Unit(benchmark::kMillisecond);
	};
	add("fast_file_encrypt/EncryptFileData", file_encrypt);
	add("fast_file_encrypt/bare_cfb", bare_cfb, true);
	add("fast_file_decrypt/DecryptFileData", file_decrypt);
	add("fast_file_decrypt/bare_cfb", bare_cfb, false);

	data();
	encrypted_file();
	draxel::bench::Collector collector;
	benchmark::RunSpecifiedBenchmarks(&collector);

	std::printf("\n%-18s %14s %14s %8s\n", "", "file MB/s", "bare CFB MB/s", "ratio");
	const char *const pairs[][2] = {{"fast_file_encrypt", "/EncryptFileData"},
	                                {"fast_file_decrypt", "/DecryptFileData"}};
	for (const auto &[op, file_fn] : pairs) {
		double file = collector.speed(std::string(op) + file_fn);
		double bare = collector.speed(std::string(op) + "/bare_cfb");
		if (file <= 0 || bare <= 0)
			continue;
		std::printf("%-18s %14.1f %14.1f %7.2fx\n", op, file / 1e6, bare / 1e6,
		            file / bare);
	}
	benchmark::Shutdown();
	return 0;
}
