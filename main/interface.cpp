/*
 * Library interface: initialisation and the connection to the token.
 *
 * A token is a card that accepts the SELECT of the application. The searches
 * walk the PC/SC reader list, probing each reader with one record.
 */
#include <string.h>

#include "apdu4u.h"
#include "result_codes.h"
#include "transmit.h"
#include "utils.h"

namespace {

constexpr unsigned long kListCapacity = 1024;
using namespace draxel_codes;

/* The PC/SC context of a connection the library made, kept apart from the
 * record, which is the host's to free. */
struct KnownConnection {
	long context;
};

KnownConnection current_connection;
KnownConnection second_connection;

/* A context is released once no connection of ours uses it, so that a host
 * that reconnects again and again does not exhaust pcscd's contexts. */
void release_if_unused(long context)
{
	if (context != current_connection.context && context != second_connection.context)
		ReleaseOtherContext(context);
}

/* Makes record the connection in slot, under the current context. */
void adopt(ReaderStructPtr *slot, KnownConnection &known, ReaderStructPtr record)
{
	long replaced = known.context;
	*slot = record;
	known.context = hSC;
	release_if_unused(replaced);
}

struct ReaderList {
	char names[kListCapacity];
	unsigned long size;
};

/* Lists the readers; on failure the new context is released again. */
unsigned long list_readers(ReaderList &list)
{
	memset(list.names, 0, sizeof list.names);
	list.size = sizeof list.names;
	unsigned long rc = ListReaders(list.names, &list.size);
	if (rc != 0)
		CloseReaderContext();
	if (list.size > sizeof list.names)
		list.size = sizeof list.names;
	return rc;
}

/* The name after name in the list, or null at its end. */
const char *next_reader(const ReaderList &list, const char *name)
{
	const char *end = list.names + list.size;
	if (name == NULL)
		name = list.names;
	else
		name += strnlen(name, static_cast<size_t>(end - name)) + 1;
	if (name >= end || *name == '\0' ||
	    memchr(name, '\0', static_cast<size_t>(end - name)) == NULL)
		return NULL;
	return name;
}

/* Connects the probe record to the reader and asks for the application. */
bool holds_token(ReaderStructPtr probe, const char *name)
{
	return OpenReader(name, probe, false) == 0 && APDU_SelectApplication(probe) == 0;
}

/* Ends a probe. The card is left as it is: powering it down would reset it
 * under every other program, and under our own connections, that use it. */
void end_probe(ReaderStructPtr probe)
{
	CloseReaderLeaveCard(probe);
}

unsigned long give_up(ReaderStructPtr probe, unsigned long code)
{
	CloseReaderContext();
	FreeReaderStruct(probe);
	return code;
}

/* One walk over the readers with one probe record. */
struct Search {
	ReaderList list;
	ReaderStructPtr probe = NULL;
	int found = 0;
	const char *found_name = NULL;

	/* Opens a context and lists the readers: the PC/SC result of either,
	 * or 101 without memory. */
	unsigned long start()
	{
		unsigned long rc = OpenReaderContext(0);
		if (rc != 0)
			return rc;
		rc = list_readers(list);
		if (rc == 0 && (probe = AllocReaderStruct(NULL)) == NULL)
			rc = give_up(NULL, kNoMemory);
		return rc;
	}
	const char *first() const { return next_reader(list, NULL); }
	const char *next(const char *name) const { return next_reader(list, name); }
	void count(const char *name)
	{
		++found;
		found_name = name;
	}
	/* Opens the one token found again: the probe of every reader ended. */
	bool reopen_the_one() { return found == 1 && OpenReader(found_name, probe, false) == 0; }

	/* Walks the readers, skip's left out. With take_first the first token
	 * found keeps the probe; otherwise every reader is probed and the one
	 * token, if there is exactly one, is connected again. 0 with the probe
	 * connected, else 123 or 124. */
	unsigned long find_token(ReaderStructPtr skip, bool take_first)
	{
		for (const char *name = first(); name != NULL; name = next(name)) {
			if (IsCurrentReader(skip, name))
				continue;
			if (holds_token(probe, name)) {
				if (take_first)
					return 0;
				count(name);
			}
			end_probe(probe);
		}
		if (!take_first && reopen_the_one())
			return 0;
		return !take_first && found >= 2 ? kSeveralTokens : kNoToken;
	}
};

/* Searches the readers and makes the token found the connection in slot. */
unsigned long connect_found(ReaderStructPtr *slot, KnownConnection &known, ReaderStructPtr skip,
                            bool take_first)
{
	Search search;
	unsigned long rc = search.start();
	if (rc != 0)
		return rc;
	rc = search.find_token(skip, take_first);
	if (rc != 0)
		return give_up(search.probe, rc);
	adopt(slot, known, search.probe);
	return 0;
}

unsigned long connect_host_token(void)
{
	ReaderStructPtr record = AllocReaderStruct(NULL);
	if (record == NULL)
		return kNoMemory;
	if (APDU_SelectApplication(record) != 0) {
		FreeReaderStruct(record);
		return kNoToken;
	}
	adopt(&cur_context.pCurReader, current_connection, record);
	return 0;
}

} // namespace

extern "C" {

unsigned long InitLib(Type_ReaderFuncStruct *reader_func)
{
	InitTransportLib(reader_func);
	return 0;
}

unsigned long ConnectToMekta(bool only_one_mekta)
{
	if (IsReaderMektaFunc()) {
		OpenReaderContext(0); /* nothing to open; traced all the same */
		return connect_host_token();
	}
	return connect_found(&cur_context.pCurReader, current_connection, NULL, !only_one_mekta);
}

unsigned long ConnectToSecondMekta(void)
{
	return connect_found(&cur_context.pSecondReader, second_connection, cur_context.pCurReader,
	                     false);
}

unsigned long SelectReader(const char *reader_name)
{
	if (reader_name == NULL)
		return SetError(kBadArgument, cur_context.pCurReader);
	ReaderStructPtr record = AllocReaderStruct(reader_name);
	if (record == NULL)
		return SetError(kNoMemory, cur_context.pCurReader);
	adopt(&cur_context.pCurReader, current_connection, record);
	if (OpenReader(NULL, record, false) != 0)
		return SetError(kExchangeFailed, record);
	return 0;
}

unsigned long CheckCurrentReader(void)
{
	if (cur_context.pCurReader == NULL)
		return SetError(kNoCurrentReader, NULL);
	return IsCardPowered(cur_context.pCurReader);
}

ReaderStructPtr NewReaderStruct(const char *reader_name)
{
	return reader_name != NULL ? AllocReaderStruct(reader_name) : NULL;
}

unsigned long BeginTokenTransaction(void)
{
	ReaderStructPtr prs = cur_context.pCurReader;
	if (prs == NULL || BeginHostTransaction(prs) != 0)
		return SetError(kExchangeFailed, prs);
	return 0;
}

unsigned long EndTokenTransaction(void)
{
	ReaderStructPtr prs = cur_context.pCurReader;
	if (EndHostTransaction(prs) != 0)
		return SetError(kBadArgument, prs);
	return 0;
}

} // extern "C"
