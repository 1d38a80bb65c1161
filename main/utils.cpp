/*
 * Library interface: the context, the error codes with their texts, and the
 * hexadecimal text form in which binary data reach the host.
 */
#include "utils.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "apdu4u.h"
#include "error_table.h"
#include "secret_memory.h"
#include "transmit.h"
#include "wipe.h"

extern "C" {
LogicDLLContext cur_context = {NULL, NULL, 0};
}

namespace {

/* Every code without a text of its own, including the transport codes. */
const char kUnknownError[] = "Неизвестная ошибка.";
/* Ends in a blank; the count is printed after one more. */
const char kWrongPassword[] = "Ошибка: Неверный пароль. Осталось попыток: ";

/* The prefix, a blank, at most two digits and the NUL. */
constexpr size_t kWrongPasswordCapacity = sizeof kWrongPassword + 3;

const char *text_of(unsigned long code)
{
	const draxel_errors::ErrorInfo *info = draxel_errors::find_error(code);
	return info != NULL && info->text != NULL ? info->text : kUnknownError;
}

using draxel_errors::is_wrong_password;

/* The text of code; only a wrong-password text needs buf. */
const char *error_message(unsigned long code, char buf[kWrongPasswordCapacity])
{
	if (!is_wrong_password(code))
		return text_of(code);
	snprintf(buf, kWrongPasswordCapacity, "%s %i", kWrongPassword,
	         static_cast<int>(DRAXEL_TRIES_LEFT(code)));
	return buf;
}

const char kDigits[] = "0123456789ABCDEF";

/* Locale-free, and safe for bytes above 0x7F that a plain char makes
 * negative. */
int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

} // namespace

unsigned long SetError(unsigned long er, ReaderStructPtr prs)
{
	if (er == DRAXEL_TR_STATUS_WORD)
		er = code_of_status_word(GetSW(prs));
	/* another program's reset under the operation: the host verifies
	 * again, as after any refusal, and need not reconnect */
	else if (er == DRAXEL_E_COMMUNICATION && CardResetUnderOperation(prs))
		er = DRAXEL_E_ACCESS_DENIED;
	cur_context.error = er;
	return er;
}

unsigned long SetError(const char *, unsigned long er)
{
	return er;
}

extern "C" {

void ClearError(void)
{
	cur_context.error = 0;
}

unsigned long GetError(char *er_message, int *er_message_len)
{
	if (er_message_len == NULL)
		return SetError(DRAXEL_E_BAD_ARGUMENT, cur_context.pCurReader);
	char buf[kWrongPasswordCapacity];
	const char *text = error_message(cur_context.error, buf);
	int size = static_cast<int>(strlen(text)) + 1;
	if (er_message == NULL) {
		*er_message_len = size;
		return 0;
	}
	if (*er_message_len < size)
		return SetError(DRAXEL_E_BUFFER_TOO_SMALL, cur_context.pCurReader);
	*er_message_len = size;
	memcpy(er_message, text, static_cast<size_t>(size));
	return 0;
}

unsigned long GetLastErrorCode(void)
{
	return last_error;
}

bool Hex2Byte(BYTE *pb, const char *hex)
{
	int high = hex_value(hex[0]);
	if (high < 0)
		return false;
	int low = hex_value(hex[1]);
	if (low < 0)
		return false;
	*pb = static_cast<BYTE>(high * 16 + low);
	return true;
}

int Hex2Data(BYTE *bin, const char *hex, unsigned long hex_size)
{
	unsigned long count = 0;
	while (*hex != '\0' && count < hex_size) {
		if (is_blank(*hex)) {
			hex++;
			continue;
		}
		if (!Hex2Byte(&bin[count], hex))
			return 0;
		count++;
		hex += 2;
	}
	return static_cast<int>(count);
}

char *Byte2Hex(char *hex, const BYTE *pb)
{
	hex[0] = kDigits[*pb >> 4];
	hex[1] = kDigits[*pb & 0x0F];
	return hex;
}

int Data2Hex(char *hex, BYTE *bin, int binsize)
{
	if (binsize < 0 || binsize > DRAXEL_HEX_MAX_BYTES)
		binsize = 0;
	for (int i = 0; i < binsize; i++)
		Byte2Hex(&hex[2 * i], &bin[i]);
	hex[2 * binsize] = '\0';
	return 2 * binsize + 1;
}

unsigned long Mes2Bin(const char *mes, unsigned long mes_len, BYTE *out_bin)
{
	if (mes == NULL || mes_len == 0)
		return 0;
	/* the text may be ciphertext or a key blob */
	BYTE *decoded = static_cast<BYTE *>(secret_malloc(mes_len));
	if (decoded == NULL)
		return 0;
	unsigned long count = static_cast<unsigned long>(Hex2Data(decoded, mes, mes_len));
	if (out_bin != NULL && count != 0)
		memcpy(out_bin, decoded, count);
	secret_free(decoded, mes_len);
	return count;
}

unsigned long Bin2Mes(BYTE *bin, unsigned long bin_len, char *out_mes)
{
	if ((bin == NULL && bin_len != 0) || bin_len > DRAXEL_HEX_MAX_BYTES)
		return 0;
	unsigned long size = 2 * bin_len + 1;
	if (out_mes == NULL)
		return size;
	char *text = static_cast<char *>(secret_malloc(size));
	if (text == NULL)
		return 0;
	Data2Hex(text, bin, static_cast<int>(bin_len));
	memcpy(out_mes, text, size);
	secret_free(text, size);
	return size;
}

} // extern "C"
