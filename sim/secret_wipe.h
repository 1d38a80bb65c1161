#pragma once

// Memory that held a password, key or plaintext is cleared before it is
// released, here in the software token and its daemons as in the tool.
// explicit_bzero, because a plain memset of memory about to be freed is a
// dead store the compiler may drop.

#include <string.h>

#include <cstdint>
#include <optional>
#include <span>

namespace draxel::sim {

inline void wipe(std::span<uint8_t> secret)
{
	if (!secret.empty())
		explicit_bzero(secret.data(), secret.size());
}

// Text: a std::string, a character array.
inline void wipe(std::span<char> secret)
{
	wipe({reinterpret_cast<uint8_t *>(secret.data()), secret.size()});
}

// A buffer that may not be there, such as a box that failed to open.
template <class Buffer>
void wipe(std::optional<Buffer> &secret)
{
	if (secret)
		wipe(*secret);
}

// Clears a buffer however the scope ends, a throw included.
template <class Buffer>
class WipeOnExit {
public:
	explicit WipeOnExit(Buffer &buffer) : buffer_(buffer) {}
	~WipeOnExit() { wipe(buffer_); }
	WipeOnExit(const WipeOnExit &) = delete;
	WipeOnExit &operator=(const WipeOnExit &) = delete;

private:
	Buffer &buffer_;
};

} // namespace draxel::sim
