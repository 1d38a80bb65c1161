// The shared object as a host loads it: exactly the names of the export map
// are exported, each is declared in a public header, no name a host was
// once given has gone, pcsc-lite is not among its needed libraries, and it
// loads into a process that provides the PC/SC symbols itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <winscard.h>

#if !defined(DRAXEL_LIB_PATH) || !defined(DRAXEL_EXPORT_MAP) || !defined(DRAXEL_LIB_HEADER) ||     \
        !defined(DRAXEL_LOWLEVEL_HEADER)
#error "DRAXEL_LIB_PATH, DRAXEL_EXPORT_MAP and the two public headers must be named"
#endif

namespace {

// What hosts have been given, frozen: a host built against any earlier
// release may call any of these, so the map can gain names but never lose
// one. A name added to the map is added here once it has been released.
const std::set<std::string> kPublished = {
        // reader sessions
        "InitTransportLib",
        "IsReaderMektaFunc",
        "AllocReaderStruct",
        "FreeReaderStruct",
        "IsCurrentReader",
        "OpenReaderContext",
        "CloseReaderContext",
        "ListReaders",
        "OpenReader",
        "CloseReader",
        "IsCardPowered",
        "IsReaderProtocolT0",
        "GetSW",
        "ReaderGetLastError",
        "ProcessScardError",
        "hSC",
        "reader_mekta_func",
        // APDU exchange
        "Transmit",
        // errors
        "cur_context",
        "GetError",
        "GetLastErrorCode",
        // library context and connection
        "InitLib",
        "ConnectToMekta",
        "ConnectToSecondMekta",
        "SelectReader",
        "CheckCurrentReader",
        "NewReaderStruct",
        "BeginTokenTransaction",
        "EndTokenTransaction",
        "AbandonFileData",
        "FreeDataBlock",
        // message and file encryption
        "EncryptMes",
        "DecryptMes",
        "EncryptFileData",
        "DecryptFileData",
        "_file_header",
        "iv",
        "PerformOp",
        "EncryptData",
        "DecryptData",
        "PerformFileOp",
        "EncryptDataFile",
        "DecryptDataFile",
        "FastEncryptDataFile",
        "FastDecryptDataFile",
        // passwords
        "VerifyPIN",
        "VerifyPUK",
        "VerifyErasePas",
        "VerifyNotePas",
        "UnblockPIN",
        "UnblockNotePas",
        "ChangePIN",
        "ChangePUK",
        "ChangeErasePas",
        "ChangeNotePas",
        "GetPUKFlag",
        // groups
        "GetGroupList",
        "CreateGroup",
        "RenameGroup",
        "ChangePasPhrGroup",
        "DeleteGroup",
        "CreateRequestForGroup",
        "CreateInviteForGroup",
        "AcceptInviteForGroup",
        // secure note
        "CreateNote",
        "ReadNote",
        "WriteNote",
        "ClearNote",
        "GetNoteInf",
        "ChangeNotePolicy",
        "RepareTracBuf",
        // duplication and maintenance
        "GetDublData",
        "SetDublData",
        "MakeDublCard",
        "ChangeKeys",
        "MakeKeysFromBuf",
        "GetKeys",
        "GenDSKey",
        "CleanCard",
        "GetSN",
        "GetCardVer",
        // command builders
        "APDU_SelectApplication",
        "APDU_Select",
        "APDU_Select_FCP",
        "APDU_ReadBinary",
        "APDU_UpdateBinary",
        "APDU_GetChallenge",
        "APDU_GetSN",
        "APDU_GetCardModel",
        "APDU_GetCardVer",
        "APDU_GetSW",
        "GetLastScardError",
        "APDU_VerifyPassword",
        "APDU_ChangeKey",
        "APDU_UnblockKey",
        "APDU_GetKeyAttempts",
        "APDU_MSEReset",
        "APDU_MSESetEnc",
        "APDU_PSO_Enc",
        "APDU_PSO_Dec",
        "APDU_GenSesKey",
        "APDU_SetSesKey",
        "APDU_GetGroupNameList",
        "APDU_CreateGroup",
        "APDU_DeleteGroup",
        "APDU_RenameGroup",
        "APDU_SelectGroup",
        "APDU_ChangePasPhrGroup",
        "APDU_CreateRequestGroup",
        "APDU_CreateInviteGroup",
        "APDU_AcceptInviteGroup",
        "APDU_GetDublBlob",
        "APDU_SetDublBlob",
        "APDU_GenDSKey",
        "APDU_ClearCard",
        "APDU_ClearNote",
        "APDU_NotePolicy",
        "APDU_CreateBFTrac",
        "APDU_CreateBFNote",
        "last_error",
        // cipher engine
        "g2814789_set_subst",
        "g2814789_set_key",
        "g2814789_encrypt",
        "g2814789_decrypt",
        "g2814789_encrypt_ecb",
        "g2814789_decrypt_ecb",
        "MemXor",
        "gost_encrypt_cfb",
        "gost_decrypt_cfb",
        "sum_mod32_1",
        "mul_mod32_1",
        "subst_TC26",
        "curr_subst",
        "StartCRC32Compat",
        "AppendCRC32Compat",
        "FinalizeCRC32Compat",
        "ContinueCRC32Compat",
        "CalcCRC32Compat",
        "CalcFileCRC",
        "crc32_app",
        // exchange trace
        "PrintCAPDU",
        "PrintRAPDU",
        "PrintError",
        "tracemode",
        "_tracemode",
};

std::string read_file(const char *path)
{
	std::ifstream in(path);
	return {std::istreambuf_iterator<char>(in), {}};
}

// Every word of C text that could be a name, each once.
std::set<std::string> identifiers(const std::string &text)
{
	std::set<std::string> words;
	std::string word;
	for (char c : text + '\n') {
		if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
			word += c;
		} else if (!word.empty()) {
			words.insert(word);
			word.clear();
		}
	}
	return words;
}

// The names the export map makes global; empty when it has no such section.
std::set<std::string> map_names()
{
	std::string map = read_file(DRAXEL_EXPORT_MAP);
	for (size_t open; (open = map.find("/*")) != std::string::npos;) {
		const size_t close = map.find("*/", open);
		map.erase(open, close == std::string::npos ? std::string::npos : close + 2 - open);
	}
	const std::string global = "global:";
	const size_t from = map.find(global);
	const size_t to = map.find("local:");
	if (from == std::string::npos || to == std::string::npos || to < from)
		return {};
	return identifiers(map.substr(from + global.size(), to - from - global.size()));
}

// The words a command prints, one a line.
std::string run(const std::string &command)
{
	std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
	std::string out;
	char buf[4096];
	for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe.get())) > 0;)
		out.append(buf, n);
	return out;
}

TEST(SharedObject, ExportsExactlyTheMapsNames)
{
	std::istringstream names(
	        run("nm -D --defined-only --format=just-symbols '" DRAXEL_LIB_PATH "'"));
	std::set<std::string> defined{std::istream_iterator<std::string>(names), {}};
	ASSERT_FALSE(defined.empty());
	EXPECT_EQ(defined, map_names());
}

// A host can call only what a header declares: a name in the map and in no
// header is an internal function let out by mistake.
TEST(ExportMap, EveryNameIsInAPublicHeader)
{
	const std::set<std::string> declared = identifiers(read_file(DRAXEL_LIB_HEADER) + '\n' +
	                                                   read_file(DRAXEL_LOWLEVEL_HEADER));
	for (const std::string &name : map_names())
		EXPECT_TRUE(declared.contains(name))
		        << name << " is exported but in no public header";
}

TEST(ExportMap, KeepsEveryPublishedName)
{
	const std::set<std::string> exported = map_names();
	for (const std::string &name : kPublished)
		EXPECT_TRUE(exported.contains(name)) << name << " was given to hosts and must stay";
}

TEST(SharedObject, DoesNotNeedPcscLite)
{
	std::string dynamic = run("readelf -d '" DRAXEL_LIB_PATH "'");
	ASSERT_NE(dynamic.find("NEEDED"), std::string::npos);
	EXPECT_EQ(dynamic.find("pcsclite"), std::string::npos) << dynamic;
}

TEST(SharedObject, LoadsIntoAHostThatProvidesPcsc)
{
	// keep pcsc-lite linked into this process, as a host would
	volatile auto keep = &SCardEstablishContext;
	(void)keep;
	void *lib = dlopen(DRAXEL_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
	ASSERT_NE(lib, nullptr) << dlerror();
	for (const std::string &name : map_names())
		EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
	EXPECT_EQ(dlsym(lib, "GetTraceMode"), nullptr) << "the trace sink stays internal";
	dlclose(lib);
}

} // namespace
