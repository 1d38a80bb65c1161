/*
 * A host of libdraxel_lib.so: finds the one token behind pcscd, verifies its
 * PIN, enciphers a message under the token's key 0B and deciphers it again.
 *
 *   cc host_example.c $(pkg-config --cflags --libs draxel_lib) -o host_example
 *   DRAXEL_PIN=1234 ./host_example "a message"
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <draxel_lib.h>

/* The library's text for the code it recorded last. */
static void print_error(const char *doing, unsigned long rc)
{
	char text[512] = "";
	int len = sizeof text;
	if (cur_context.error != rc || GetError(text, &len) != 0)
		text[0] = '\0';
	fprintf(stderr, "%s: code %lu %s\n", doing, rc, text);
}

/* EncryptMes and DecryptMes: ask for the size, then fill a buffer of it. */
static char *run(int encrypt, const char *in, const char *phrase)
{
	int size = 0;
	unsigned long rc = encrypt ? EncryptMes(in, NULL, &size, 1, phrase, NULL)
	                           : DecryptMes(in, NULL, &size, 1, phrase, NULL);
	char *out = rc == 0 ? malloc((size_t)size) : NULL;
	if (out != NULL)
		rc = encrypt ? EncryptMes(in, out, &size, 1, phrase, NULL)
		             : DecryptMes(in, out, &size, 1, phrase, NULL);
	if (rc != 0) {
		print_error(encrypt ? "EncryptMes" : "DecryptMes", rc);
		free(out);
		return NULL;
	}
	return out;
}

int main(int argc, char **argv)
{
	const char *message = argc > 1 ? argv[1] : "hello from a host";
	const char *pin = getenv("DRAXEL_PIN");
	int status = 1;

	InitLib(NULL); /* PC/SC */
	unsigned long rc = ConnectToMekta(true);
	if (rc != 0) {
		fprintf(stderr, "no single token found (code %lu)\n", rc);
		return 1;
	}
	rc = VerifyPIN(pin != NULL ? pin : "1234", false);
	if (rc >= DRAXEL_E_WRONG_PASSWORD && rc <= DRAXEL_E_WRONG_PASSWORD_MAX)
		fprintf(stderr, "wrong PIN, %lu attempts left\n", DRAXEL_TRIES_LEFT(rc));
	else if (rc != 0)
		print_error("VerifyPIN", rc);

	char *cipher = rc == 0 ? run(1, message, "a pass phrase") : NULL;
	char *plain = cipher != NULL ? run(0, cipher, "a pass phrase") : NULL;
	if (plain != NULL) {
		printf("enciphered: %s\ndeciphered: %s\n", cipher, plain);
		status = strcmp(plain, message) == 0 ? 0 : 1;
	}
	free(cipher);
	free(plain);

	/* powering the card down ends the session in which the PIN is verified */
	CloseReader(cur_context.pCurReader);
	FreeReaderStruct(cur_context.pCurReader);
	cur_context.pCurReader = NULL;
	CloseReaderContext();
	return status;
}
