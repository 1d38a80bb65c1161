/* Secrets: every buffer that held a password, pass phrase, key, plaintext or
 * a token's reply is cleared with wipe() before it is released or goes out
 * of scope, by a write the compiler may not remove. WipedBytes is the stack
 * buffer that does it by itself; SecretBlock (encrypt.h) is its heap
 * counterpart for blocks handed to the host. */
#ifndef DRAXEL_WIPE_H
#define DRAXEL_WIPE_H

#include <string.h>

static inline void wipe(void *buf, size_t len)
{
	if (buf != NULL && len != 0)
		explicit_bzero(buf, len);
}

#ifdef __cplusplus
/* N bytes, zero at first, wiped when they go out of scope. */
template <size_t N>
struct WipedBytes {
	unsigned char bytes[N] = {};

	WipedBytes() = default;
	~WipedBytes() { wipe(bytes, N); }
	WipedBytes(const WipedBytes &) = delete;
	WipedBytes &operator=(const WipedBytes &) = delete;
};
#endif

#endif
