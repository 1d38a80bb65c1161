#include "secret_memory.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <new>

#include "wipe.h"

namespace {

/* Blocks sharing each marked page; the library is single-threaded. */
std::map<uintptr_t, unsigned> &page_users()
{
	static std::map<uintptr_t, unsigned> users;
	return users;
}

uintptr_t page_size()
{
	static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
	return size;
}

/* Marks (or unmarks) the run of pages [first, end) at once. */
void mark(uintptr_t first, uintptr_t end, bool secret)
{
	if (first == end)
		return;
	void *start = reinterpret_cast<void *>(first);
	size_t len = end - first;
	if (secret) {
		madvise(start, len, MADV_DONTDUMP);
		mlock(start, len);
	} else {
		munlock(start, len);
		madvise(start, len, MADV_DODUMP);
	}
}

/* Walks the block's pages and marks the runs whose count crosses zero. */
void update(void *block, size_t len, bool add)
{
	if (block == NULL || len == 0)
		return;
	uintptr_t page = page_size();
	uintptr_t first = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
	uintptr_t end = (reinterpret_cast<uintptr_t>(block) + len + page - 1) & ~(page - 1);
	std::map<uintptr_t, unsigned> &users = page_users();
	uintptr_t run = first;
	for (uintptr_t at = first; at < end; at += page) {
		bool crosses = false;
		try {
			unsigned &count = users[at];
			crosses = add ? count++ == 0 : count != 0 && --count == 0;
			if (count == 0)
				users.erase(at);
		} catch (const std::bad_alloc &) {
			/* marking is best effort: memory too short to count pages */
		}
		if (!crosses) {
			mark(run, at, add);
			run = at + page;
		}
	}
	mark(run, end, add);
}

} // namespace

void guard_secret(void *block, size_t len)
{
	update(block, len, true);
}

void unguard_secret(void *block, size_t len)
{
	update(block, len, false);
}

void *secret_malloc(size_t len)
{
	void *block = malloc(len != 0 ? len : 1);
	guard_secret(block, len);
	return block;
}

void secret_free(void *block, size_t len)
{
	if (block == NULL)
		return;
	wipe(block, len);
	unguard_secret(block, len);
	free(block);
}
