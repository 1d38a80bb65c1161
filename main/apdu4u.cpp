/*
 * Token command set: what belongs to no family of commands. The application's
 * name, the hooks that let tests see command buffers wiped, the group
 * exchanges' transport code, and the meaning of a status word that no
 * builder's own table gives. The framing is in apdu4u_frame.h, the builders
 * by family in apdu4u_*.cpp.
 */
#include "apdu4u_frame.h"

using namespace draxel_frame;

extern "C" {

const BYTE df_aid[DRAXEL_AID_LEN + 1] = {'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H', 0};
const BYTE ST23_L80_MODEL_STR[9] = {0x80, 0x07, 'S', 'T', '2', '3', 'L', '8', '0'};
unsigned long last_error = 0;

__attribute__((weak)) void apdu_cmd_buf_wiped(const BYTE *, size_t) {}

__attribute__((weak)) void apdu_buf_released(const BYTE *, size_t) {}

/* What a status word means where the builder's own table says nothing. */
static const StatusMap general_status[] = {
        {kSwSecurityNotSatisfied, kSwExactly, kAccessDenied, false},
        {kSwWrongPassword, kSwExactly, kCannotDecrypt, false}, /* no tries: a session key */
        {kSwKeyNotFound, kSwExactly, kKeyDamaged, false},
};

unsigned long code_of_status_word(unsigned short sw)
{
	for (const StatusMap &m : general_status)
		if ((sw & m.mask) == m.sw)
			return m.code;
	return kBadStatus;
}

unsigned short APDU_GetSW(ReaderStructPtr prs)
{
	return GetSW(prs);
}

unsigned long GetLastScardError(void)
{
	return last_error;
}

} // extern "C"
