#include "secret_memory.h"

#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include "wipe.h"

namespace {

uintptr_t page_size()
{
	static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
	return size;
}

/* A secret block's length rounded up to whole pages, one page at least;
 * 0 for a length no mapping can have. */
size_t mapped_length(size_t len)
{
	uintptr_t page = page_size();
	if (len > SIZE_MAX - page)
		return 0;
	return len <= page ? page : (len + page - 1) & ~(page - 1);
}

void mark(void *start, size_t len, bool secret)
{
	if (len == 0)
		return;
	if (secret) {
		madvise(start, len, MADV_DONTDUMP);
		mlock(start, len);
	} else {
		munlock(start, len);
		madvise(start, len, MADV_DODUMP);
	}
}

/* The pages wholly inside [block, block + len): no other allocation can
 * share them while the block lives. */
void mark_inner_pages(void *block, size_t len, bool secret)
{
	if (block == NULL || len == 0)
		return;
	uintptr_t page = page_size();
	uintptr_t at = reinterpret_cast<uintptr_t>(block);
	uintptr_t first = (at + page - 1) & ~(page - 1);
	uintptr_t end = (at + len) & ~(page - 1);
	if (first < end)
		mark(reinterpret_cast<void *>(first), end - first, secret);
}

} // namespace

void guard_secret(void *block, size_t len)
{
	mark_inner_pages(block, len, true);
}

void unguard_secret(void *block, size_t len)
{
	mark_inner_pages(block, len, false);
}

void *secret_malloc(size_t len)
{
	size_t mapped = mapped_length(len);
	if (mapped == 0)
		return NULL;
	void *block =
	        mmap(NULL, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (block == MAP_FAILED)
		return NULL;
	/* the mapping goes with munmap, and its lock and mark with it */
	madvise(block, mapped, MADV_DONTDUMP);
	mlock(block, mapped);
	return block;
}

void secret_free(void *block, size_t len)
{
	if (block == NULL)
		return;
	wipe(block, len);
	munmap(block, mapped_length(len));
}
