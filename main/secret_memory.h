/* Heap blocks that hold keys, passwords or plaintext are kept out of core
 * dumps (MADV_DONTDUMP) and, where the process may lock memory, out of swap
 * (mlock; a refusal is not an error, RLIMIT_MEMLOCK is often small). The
 * library must not change the host's process settings (its dumpable flag,
 * its core limit), so it marks only the pages of its own blocks, counting
 * per page the blocks that share it: a page is unmarked when its last
 * secret block goes. Pages a secret block shares with other data stay out
 * of dumps meanwhile; that is the price of using the host's heap. */
#ifndef DRAXEL_SECRET_MEMORY_H
#define DRAXEL_SECRET_MEMORY_H

#include <stddef.h>

/* Marks the pages of a block that is about to hold a secret. */
void guard_secret(void *block, size_t len);
/* Unmarks them; the caller wipes the block (before or after, no matter). */
void unguard_secret(void *block, size_t len);

/* malloc and free for a secret block: guarded while it lives, wiped when
 * it is released. secret_free accepts NULL. */
void *secret_malloc(size_t len);
void secret_free(void *block, size_t len);

#endif
