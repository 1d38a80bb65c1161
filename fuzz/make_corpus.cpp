// Writes the seed corpus of the fuzz targets: real texts, files and command
// dialogues of the fixed token, in each target's input layout. Run it again
// whenever the layouts or the fixed token change:
//   build-asan/fuzz/make_corpus fuzz/corpus
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_token.h"
#include "token_crypto.h"

using namespace draxel::fuzz;
namespace sim = draxel::sim;

namespace {

std::string root;
int written = 0;

void save(const std::string &target, const std::string &name, const std::vector<uint8_t> &bytes)
{
	std::string dir = root + "/" + target;
	::mkdir(root.c_str(), 0755);
	::mkdir(dir.c_str(), 0755);
	std::string path = dir + "/" + name;
	FILE *f = std::fopen(path.c_str(), "wb");
	if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
		std::perror(path.c_str());
		std::exit(1);
	}
	std::fclose(f);
	++written;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
	static const char digits[] = "0123456789ABCDEF";
	std::string text;
	for (uint8_t b : bytes) {
		text.push_back(digits[b >> 4]);
		text.push_back(digits[b & 15]);
	}
	return text;
}

const char *phrase_of(int mode)
{
	return mode == 3 ? kGroupPhrase : kPhrase;
}

void messages()
{
	for (int mode = 1; mode <= 3; ++mode) {
		for (int t1 = 0; t1 <= 1; ++t1) {
			Session session(t1 != 0);
			std::string message(mode * 150, static_cast<char>('a' + mode));
			int size = 0;
			EncryptMes(message.c_str(), nullptr, &size, mode, phrase_of(mode), kGroup);
			std::string text(static_cast<size_t>(size), '\0');
			if (EncryptMes(message.c_str(), text.data(), &size, mode, phrase_of(mode),
			               kGroup) != 0) {
				std::fprintf(stderr, "cannot encipher a seed message\n");
				std::exit(1);
			}
			text.resize(static_cast<size_t>(size - 1));
			if (t1 != 0)
				text.insert(72, " \t ");
			std::string name =
			        "text_mode" + std::to_string(mode) + (t1 ? "_t1" : "_t0");
			const uint8_t m = static_cast<uint8_t>(mode),
			              flags = static_cast<uint8_t>(t1);
			save("decrypt_mes", name, Writer().bytes({m, 0, 0, flags}).text(text).out);
			save("decrypt_mes",
			     "round_trip_mode" + std::to_string(mode) + (t1 ? "_t1" : "_t0"),
			     Writer().bytes({m, 0, 0, static_cast<uint8_t>(2 | flags)})
			             .text(message)
			             .out);
		}
	}
}

void files()
{
	std::vector<uint8_t> data(300);
	for (size_t i = 0; i < data.size(); ++i)
		data[i] = static_cast<uint8_t>(i * 7);
	for (int mode = 1; mode <= 3; ++mode) {
		for (int fast = 0; fast <= 1; ++fast) {
			Session session;
			std::vector<uint8_t> file;
			const size_t pieces[] = {100, 200};
			for (int i = 0; i < 2; ++i) {
				int flags = (i == 0 ? 0x100 : 0x200) | fast;
				const uint8_t *in = data.data() + (i == 0 ? 0 : 100);
				int size = 0;
				EncryptFileData(in, static_cast<int>(pieces[i]), nullptr, &size,
				                mode, phrase_of(mode), kGroup, flags);
				std::vector<uint8_t> out(static_cast<size_t>(size));
				if (EncryptFileData(in, static_cast<int>(pieces[i]), out.data(),
				                    &size, mode, phrase_of(mode), kGroup,
				                    flags) != 0) {
					std::fprintf(stderr, "cannot encipher a seed file\n");
					std::exit(1);
				}
				file.insert(file.end(), out.begin(), out.end());
			}
			uint16_t first = static_cast<uint16_t>(100 + (fast && mode == 3 ? 80 : 48));
			std::string name =
			        "mode" + std::to_string(mode) + (fast ? "_fast" : "_token");
			const uint8_t m = static_cast<uint8_t>(mode);
			save("decrypt_file", name,
			     Writer().bytes({m, 0, 0, 0, 1}).u16(first).bytes(file).out);
			save("decrypt_file", "whole_" + name,
			     Writer().bytes({m, 0, 0, 0, 0}).bytes(file).out);
			save("decrypt_file", "round_trip_" + name,
			     Writer().bytes({m, 0, 0, static_cast<uint8_t>(2 | 4 * fast), 2})
			             .u16(100)
			             .bytes(data)
			             .out);
		}
	}
}

void group_texts()
{
	// a request carrying the nonce of the token's pending request, so that
	// the invitation made from it is accepted by a fresh token
	std::vector<uint8_t> inner = {0x01};
	const auto &proto = prototype();
	inner.insert(inner.end(), proto.serial.begin(), proto.serial.end());
	inner.insert(inner.end(), proto.pending_request->nonce.begin(),
	             proto.pending_request->nonce.end());
	std::vector<uint8_t> request =
	        sim::seal_box(sim::derive_key(sim::issuer_key(), 0x52, {}), inner);
	save("group_texts", "invite_from_request",
	     Writer().bytes({0, 0, 0, 255}).text(hex(request)).out);
	Session session;
	std::vector<char> invite(600);
	int size = static_cast<int>(invite.size());
	if (CreateInviteForGroup(kGroup, hex(request).c_str(), invite.data(), &size) != 0) {
		std::fprintf(stderr, "cannot make a seed invitation\n");
		std::exit(1);
	}
	save("group_texts", "accept_invitation",
	     Writer().bytes({1, 0, 0, 0}).text(invite.data()).out);
	save("group_texts", "request", Writer().bytes({2, 0, 0, 255}).text("a pass phrase").out);
}

void duplicates()
{
	Session session;
	int size = 0;
	GetDublData(kPuk, nullptr, &size);
	std::vector<char> text(static_cast<size_t>(size));
	if (GetDublData(kPuk, text.data(), &size) != 0) {
		std::fprintf(stderr, "cannot export a seed duplicate\n");
		std::exit(1);
	}
	save("dubl_text", "restore", Writer().bytes({0, 0, 0}).text(text.data()).out);
	save("dubl_text", "export", Writer().bytes({1, 0, 255}).out);
}

// Hands every command to the token and keeps it.
class Recorder : public sim::Card {
public:
	explicit Recorder(sim::Card &inner) : inner_(inner) {}
	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override
	{
		commands.emplace_back(apdu.begin(), apdu.end());
		return inner_.process(apdu);
	}
	std::vector<std::vector<uint8_t>> commands;

private:
	sim::Card &inner_;
};

void dialogues()
{
	struct Dialogue {
		const char *name;
		void (*run)();
	};
	static const Dialogue all[] = {
	        {"message",
	         [] {
		         char text[200];
		         int size = sizeof text;
		         EncryptMes("hello", text, &size, 3, kGroupPhrase, kGroup);
		         char back[10];
		         size = sizeof back;
		         DecryptMes(text, back, &size, 3, kGroupPhrase, kGroup);
	         }},
	        {"file",
	         [] {
		         uint8_t data[40] = {1, 2, 3}, out[200];
		         int size = sizeof out;
		         EncryptFileData(data, sizeof data, out, &size, 3, kGroupPhrase, kGroup,
		                         0x301);
	         }},
	        {"groups",
	         [] {
		         char list[300];
		         unsigned long len = sizeof list;
		         GetGroupList(list, &len);
		         CreateGroup("new", "new phrase");
		         RenameGroup("new", "newer");
		         char request[200];
		         int size = sizeof request;
		         CreateRequestForGroup(kJoinPhrase, request, &size);
	         }},
	        {"note",
	         [] {
		         uint8_t note[300] = {9, 9, 9};
		         WriteNote(note, sizeof note, 10, false);
		         int size = sizeof note;
		         ReadNote(note, &size, 0);
		         int note_size, policy;
		         GetNoteInf(&note_size, &policy, 18, false);
		         ChangeNotePolicy(18);
	         }},
	        {"maintenance",
	         [] {
		         char sn[15];
		         GetSN(sn);
		         int ver;
		         GetCardVer(&ver);
		         char text[2000];
		         int size = sizeof text;
		         GetDublData(kPuk, text, &size);
		         SetDublData(kPuk, text, size);
		         ChangePIN(kPin, "5678");
		         RepareTracBuf();
		         VerifyErasePas("00000000");
		         CleanCard(18);
	         }},
	};
	for (const Dialogue &d : all) {
		sim::Token token(prototype());
		Recorder recorder(token);
		sim::InProcessToken attached(recorder);
		InitLib(attached.table());
		ReaderStructPtr record = AllocReaderStruct(nullptr);
		cur_context = LogicDLLContext{record, nullptr, 0};
		VerifyPIN(kPin, false);
		d.run();
		cur_context = LogicDLLContext{};
		FreeReaderStruct(record);
		InitLib(nullptr);
		Writer w;
		w.byte(32); /* the state file checked too */
		for (const auto &apdu : recorder.commands) {
			if (apdu.size() >= 0xFE)
				w.byte(0xFE).u16(static_cast<uint16_t>(apdu.size()));
			else
				w.byte(static_cast<uint8_t>(apdu.size()));
			w.bytes(apdu);
		}
		save("token_apdu", d.name, w.out);
		w.out[0] = 33; /* the same through the T=0 adapter */
		save("token_apdu", std::string(d.name) + "_t0", w.out);
	}
}

void operations()
{
	std::vector<uint8_t> counting(1024);
	for (size_t i = 0; i < counting.size(); ++i)
		counting[i] = static_cast<uint8_t>(i * 13 + 1);
	save("operations", "zeros", std::vector<uint8_t>(64, 0));
	save("operations", "counting", counting);
	for (int op = 0; op < 56; op += 7) {
		std::vector<uint8_t> seed(200, 0);
		for (size_t i = 0; i < seed.size(); i += 20)
			seed[i] = static_cast<uint8_t>(op + i / 20);
		save("operations", "ops_from_" + std::to_string(op), seed);
	}
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::fprintf(stderr, "usage: make_corpus DIR\n");
		return 2;
	}
	root = argv[1];
	messages();
	files();
	group_texts();
	duplicates();
	dialogues();
	operations();
	std::printf("%d seeds written under %s\n", written, root.c_str());
	return 0;
}
