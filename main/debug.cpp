/*
 * The trace sink. Off unless the environment asks for it:
 *
 *   DRAXEL_DEBUG=LEVEL[:FILE]
 *
 * LEVEL 1 traces the reader operations, PC/SC errors and each command's
 * header and status word; LEVEL 2 adds the lengths of command and reply
 * data, with the bytes themselves only for commands that carry nothing
 * secret (the transport decides which; a password's length is not shown
 * either). The lines go to stderr, or are appended to FILE (created 0600;
 * refused, with a line on stderr, unless it is a regular file of the
 * caller's). A malformed setting is reported on stderr. The variable is read when the library is
 * initialised, and when a PC/SC context is opened before that.
 */
#include "debug.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "draxel_lib.h"

extern "C" {

unsigned int tracemode = 0;
unsigned int _tracemode = 0;
}

namespace {

constexpr unsigned int kFunctions = 0x02;
constexpr unsigned int kScardErrors = 0x04;
constexpr unsigned int kApduLevelShift = 4;
constexpr int kHexPerLine = 16;

unsigned int trace_mode = 0;
FILE *trace_out = NULL;
bool configured = false;

void close_trace_file(void)
{
	if (trace_out != NULL && trace_out != stderr)
		fclose(trace_out);
	trace_out = NULL;
}

/* One line on stderr for a setting the trace cannot follow: silence would
 * look like a trace with nothing to say. */
void refuse(const char *setting, const char *why)
{
	/* once per setting, though every InitLib reads it again */
	static char reported[256];
	if (strncmp(reported, setting, sizeof reported - 1) == 0)
		return;
	snprintf(reported, sizeof reported, "%s", setting);
	fprintf(stderr, "libdraxel_lib: DRAXEL_DEBUG=%s ignored: %s\n", setting, why);
}

/* The trace file: appended to, readable by its owner only, and only a
 * regular file of the caller's. It often sits in /tmp, where another user
 * may have put a link, a FIFO or a readable file of their own under that
 * name: O_NOFOLLOW refuses the link, O_NONBLOCK keeps a FIFO from blocking,
 * and the descriptor is checked rather than the name. */
FILE *open_trace_file(const char *setting, const char *path)
{
	int fd =
	        open(path,
	             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
	             0600);
	const char *not_ours = "the trace file must be a regular file of the caller's";
	if (fd < 0) {
		/* a link, or a FIFO without a reader */
		refuse(setting, errno == ELOOP || errno == ENXIO ? not_ours : strerror(errno));
		return NULL;
	}
	struct stat info;
	if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
		refuse(setting, not_ours);
		close(fd);
		return NULL;
	}
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
	FILE *file = fdopen(fd, "a");
	if (file == NULL)
		close(fd);
	return file;
}

unsigned int mode_for_level(long level)
{
	if (level <= 0)
		return 0;
	unsigned int apdu_level = level >= 2 ? 2u : 1u;
	return kFunctions | kScardErrors | apdu_level << kApduLevelShift;
}

} // namespace

extern "C" {

void DebugConfigure(bool again)
{
	if (configured && !again)
		return;
	configured = true;
	close_trace_file();
	trace_mode = 0;
	const char *setting = getenv("DRAXEL_DEBUG");
	if (setting == NULL || setting[0] == '\0')
		return;
	char *rest = NULL;
	long level = strtol(setting, &rest, 10);
	if (rest == setting || (*rest != '\0' && *rest != ':') || level < 0 ||
	    (*rest == ':' && rest[1] == '\0')) {
		refuse(setting, "not LEVEL[:FILE] with a level of 0 or more");
		return;
	}
	if (level == 0)
		return; /* off: no file is created for a trace that never comes */
	trace_out = *rest == ':' ? open_trace_file(setting, rest + 1) : stderr;
	if (trace_out != NULL)
		trace_mode = mode_for_level(level);
}

unsigned int GetTraceMode(void)
{
	return trace_mode;
}

void DebugPrintf(const char *fmt, ...)
{
	if (trace_mode == 0 || trace_out == NULL)
		return;
	va_list args;
	va_start(args, fmt);
	vfprintf(trace_out, fmt, args);
	va_end(args);
	fflush(trace_out);
}

void DebugPrintHex(const char *padstr, const unsigned char *bin, int binsize, int supress)
{
	if (trace_mode == 0 || trace_out == NULL || binsize <= 0)
		return;
	if (supress || bin == NULL) {
		fprintf(trace_out, "%s(%d bytes, not shown)\n", padstr, binsize);
	} else {
		for (int i = 0; i < binsize; ++i) {
			bool line_start = i % kHexPerLine == 0;
			bool line_end = i % kHexPerLine == kHexPerLine - 1 || i == binsize - 1;
			fprintf(trace_out, "%s%02X%s", line_start ? padstr : "", bin[i],
			        line_end ? "\n" : " ");
		}
	}
	fflush(trace_out);
}

void DebugFlush(void)
{
	if (trace_out != NULL)
		fflush(trace_out);
}

} // extern "C"
