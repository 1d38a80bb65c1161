/* Heap blocks that hold keys, passwords or plaintext are kept out of core
 * dumps (MADV_DONTDUMP) and, where the process may lock memory, out of swap
 * (mlock; a refusal is not an error, RLIMIT_MEMLOCK is often small).
 *
 * The library must not change the host's process settings, and a page it
 * shares with the host's data is the host's business: marking it would hide
 * the host's data from its own dumps, and unmarking it (munlock does not
 * nest) would undo a lock or mark the host put there. So the library marks
 * only pages that are its own alone: the blocks of secret_malloc are
 * mappings of their own, and a block that may be handed to the host
 * (SecretBlock) has only the pages wholly inside it marked. */
#ifndef DRAXEL_SECRET_MEMORY_H
#define DRAXEL_SECRET_MEMORY_H

#include <stddef.h>

/* Marks the pages wholly inside a heap block that is about to hold a
 * secret, and unmarks them before the block is freed or handed on. */
void guard_secret(void *block, size_t len);
void unguard_secret(void *block, size_t len);

/* A secret block of whole pages of its own, guarded while it lives; NULL
 * when memory is short. secret_free wipes and unmaps it, and accepts NULL. */
void *secret_malloc(size_t len);
void secret_free(void *block, size_t len);

#endif
