// A first look at the transport: lists the PC/SC readers, connects to the
// card in the first virtual reader and exchanges a few APDUs with it through
// Transmit, printing each command and its outcome.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "draxel_lib.h"

namespace {

std::string hex(const BYTE* data, unsigned long len)
{
	std::string out;
	char pair[4];
	for (unsigned long i = 0; i < len; ++i) {
		std::snprintf(pair, sizeof pair, "%02X ", data[i]);
		out += pair;
	}
	return out.empty() ? out : out.substr(0, out.size() - 1);
}

std::vector<std::string> list_readers()
{
	unsigned long size = 0;
	if (ListReaders(nullptr, &size) != 0)
		return {};
	std::vector<char> list(size);
	if (ListReaders(list.data(), &size) != 0)
		return {};
	std::vector<std::string> names;
	for (const char* p = list.data(); p < list.data() + size && *p != '\0';
	     p += std::string(p).size() + 1)
		names.emplace_back(p);
	return names;
}

// The card may still be on its way into the reader: retry for a while.
unsigned long open_with_retry(const std::string& reader, ReaderStructPtr record)
{
	unsigned long rc = 1;
	for (int attempt = 0; attempt < 50 && rc != 0; ++attempt) {
		rc = OpenReader(reader.c_str(), record, false);
		if (rc != 0)
			std::this_thread::sleep_for(std::chrono::milliseconds(100));
	}
	return rc;
}

void exchange(ReaderStructPtr record, const char* what, std::vector<BYTE> cmd)
{
	BYTE data[256];
	unsigned long size = sizeof data;
	unsigned long rc = Transmit(cmd.data(), cmd.size(), data, &size, record);
	std::printf("> %s  (%s)\n", hex(cmd.data(), cmd.size()).c_str(), what);
	if (rc == 0)
		std::printf("< %s%sSW %04X\n", hex(data, size).c_str(), size ? "  " : "", GetSW(record));
	else
		std::printf("< transport code %lu, SW %04X\n", rc, GetSW(record));
}

} // namespace

int main(int argc, char** argv)
{
	InitTransportLib(nullptr);
	unsigned long rc = OpenReaderContext(0);
	if (rc != 0) {
		std::fprintf(stderr, "no PC/SC service (0x%08lX): is pcscd running?\n", rc);
		return 1;
	}
	std::vector<std::string> readers = list_readers();
	std::printf("PC/SC readers:\n");
	for (size_t i = 0; i < readers.size(); ++i)
		std::printf("  %zu: %s\n", i, readers[i].c_str());
	std::string reader = argc > 1 ? argv[1] : (readers.empty() ? "" : readers[0]);

	ReaderStructPtr record = AllocReaderStruct(nullptr);
	rc = open_with_retry(reader, record);
	if (rc != 0) {
		std::fprintf(stderr, "cannot connect to \"%s\": transport code %lu\n", reader.c_str(), rc);
		FreeReaderStruct(record);
		CloseReaderContext();
		return 1;
	}
	std::printf("\nconnected to \"%s\" with T=%d\n\n", reader.c_str(),
	            IsReaderProtocolT0(record) ? 0 : 1);
	exchange(record, "SELECT the token application",
	         {0x00, 0xA4, 0x04, 0x0C, 0x0A, 'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H'});
	exchange(record, "8 bytes from the test card", {0x80, 0xF2, 0x08, 0x00, 0x08});
	exchange(record, "61 10 answered, then GET RESPONSE", {0x80, 0xF0, 0x61, 0x10});
	exchange(record, "a refusal: 6A 82", {0x80, 0xF0, 0x6A, 0x82});
	CloseReader(record);
	FreeReaderStruct(record);
	CloseReaderContext();
	return 0;
}
