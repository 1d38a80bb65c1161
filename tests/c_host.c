/* A host written in C: the public header compiles as C99 and the library's
 * entry points link and run from C. */
#include <stdio.h>
#include <string.h>

#include "draxel_lib.h"

int main(void)
{
	char text[256];
	int size = 0;

	if (InitLib(NULL) != 0 || GetError(NULL, &size) != 0 || size != 3)
		return 1;
	size = sizeof text;
	if (GetError(text, &size) != 0 || strcmp(text, "OK") != 0)
		return 2;
	if (ProcessScardError(0x8010000AUL) != DRAXEL_TR_TIMEOUT)
		return 3;
	puts("C host: OK");
	return 0;
}
