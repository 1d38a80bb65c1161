/* Every code the library returns: its name, the Russian text GetError gives
 * (none for the codes without a text of their own), a short English
 * description, and the class of failure it belongs to, for callers such as
 * draxel-tool that act on classes. Adding a code means adding one row here.
 * Header-only C++, shared by the library and its tool. */
#ifndef DRAXEL_ERROR_TABLE_H
#define DRAXEL_ERROR_TABLE_H

#include "draxel_lib.h"

namespace draxel_errors {

enum class ErrorClass {
	kNone,          /* success */
	kUsage,         /* bad arguments or input */
	kNoToken,       /* no reader, no token, several tokens, no pcscd */
	kWrongPassword, /* wrong password or pass phrase */
	kBlocked,       /* a blocked password */
	kIntegrity,     /* a damaged encrypted file */
	kRefused,       /* the token refused the operation */
	kCommunication, /* the exchange with the reader or token failed */
	kFailure,       /* anything else: memory, files, a caller's buffer */
};

struct ErrorInfo {
	unsigned long code;
	const char *name;
	const char *text; /* GetError's; null: the unknown-error text */
	const char *description;
	ErrorClass error_class;
};

inline constexpr ErrorInfo kErrors[] = {
        {DRAXEL_OK, "DRAXEL_OK", "OK", "success", ErrorClass::kNone},
        {DRAXEL_TR_FAILURE, "DRAXEL_TR_FAILURE", nullptr, "the reader failed",
         ErrorClass::kCommunication},
        {DRAXEL_TR_NOT_CONNECTED, "DRAXEL_TR_NOT_CONNECTED", nullptr, "not connected to the reader",
         ErrorClass::kNoToken},
        {DRAXEL_TR_BAD_ARGUMENT, "DRAXEL_TR_BAD_ARGUMENT", nullptr,
         "a command's argument is missing or too long", ErrorClass::kFailure},
        {DRAXEL_TR_NO_MEMORY, "DRAXEL_TR_NO_MEMORY", nullptr, "out of memory",
         ErrorClass::kFailure},
        {DRAXEL_TR_STATUS_WORD, "DRAXEL_TR_STATUS_WORD", nullptr, "the token refused the command",
         ErrorClass::kRefused},
        {DRAXEL_TR_TIMEOUT, "DRAXEL_TR_TIMEOUT", nullptr, "the reader timed out",
         ErrorClass::kCommunication},
        {DRAXEL_TR_UNKNOWN_READER, "DRAXEL_TR_UNKNOWN_READER", nullptr, "unknown reader",
         ErrorClass::kNoToken},
        {DRAXEL_TR_INSUFFICIENT_BUFFER, "DRAXEL_TR_INSUFFICIENT_BUFFER", nullptr,
         "the token's answer is too long", ErrorClass::kRefused},
        {DRAXEL_TR_NO_READERS, "DRAXEL_TR_NO_READERS", nullptr, "no readers", ErrorClass::kNoToken},
        {DRAXEL_TR_NO_SERVICE, "DRAXEL_TR_NO_SERVICE", nullptr, "pcscd is not running",
         ErrorClass::kNoToken},
        {DRAXEL_E_NO_READER, "DRAXEL_E_NO_READER", nullptr,
         "out of memory, or an answer of unexpected form", ErrorClass::kCommunication},
        {DRAXEL_E_BAD_ARGUMENT, "DRAXEL_E_BAD_ARGUMENT",
         "Ошибка: Введённые данные имеют неверный формат.",
         "an argument is missing, too long or malformed", ErrorClass::kUsage},
        {DRAXEL_E_ACCESS_DENIED, "DRAXEL_E_ACCESS_DENIED",
         "Ошибка: Нет доступа к устройству. Попробуйте перезапустить программу.",
         "the token refused access", ErrorClass::kRefused},
        {DRAXEL_E_BUFFER_TOO_SMALL, "DRAXEL_E_BUFFER_TOO_SMALL", nullptr, "a buffer is too small",
         ErrorClass::kFailure},
        {DRAXEL_E_PASSWORD_BLOCKED, "DRAXEL_E_PASSWORD_BLOCKED", "Ошибка: Пароль заблокирован.",
         "the password is blocked", ErrorClass::kBlocked},
        {DRAXEL_E_FILE_OPEN, "DRAXEL_E_FILE_OPEN",
         "Ошибка: Не удаётся открыть файл. Возможно указанный файл не существует.",
         "the file cannot be opened", ErrorClass::kFailure},
        {DRAXEL_E_FILE_CREATE, "DRAXEL_E_FILE_CREATE",
         "Ошибка: Не удаётся создать файл. Возможно указан неверный путь.",
         "the file cannot be created", ErrorClass::kFailure},
        {DRAXEL_E_FILE_WRITE, "DRAXEL_E_FILE_WRITE",
         "Ошибка: Не удаётся записать данные в указаннный файл.", "the file cannot be written",
         ErrorClass::kFailure},
        {DRAXEL_E_FILE_DAMAGED, "DRAXEL_E_FILE_DAMAGED", "Ошибка: Указанный файл повреждён.",
         "the encrypted file is damaged", ErrorClass::kIntegrity},
        {DRAXEL_E_CANNOT_DECRYPT, "DRAXEL_E_CANNOT_DECRYPT",
         "Ошибка: Невозможно расшифровать данные. Возможно неверная парольная "
         "фраза/неверная группа/не тот носитель Мекта.",
         "wrong pass phrase, group or token", ErrorClass::kWrongPassword},
        {DRAXEL_E_KEY_DAMAGED, "DRAXEL_E_KEY_DAMAGED",
         "Ошибка: Ключ на носителе повреждён. Попробуйте восстановить с дубликата.",
         "the key on the token is damaged", ErrorClass::kRefused},
        {DRAXEL_E_PASSWORD_LENGTH, "DRAXEL_E_PASSWORD_LENGTH",
         "Ошибка: Пароль неправильной длины. Минимальная длина пароля 4 символа.",
         "the token refused the password's length", ErrorClass::kRefused},
        {DRAXEL_E_COMMUNICATION, "DRAXEL_E_COMMUNICATION",
         "Ошибка: Ошибка комуникации со считывателем.", "the exchange with the token failed",
         ErrorClass::kCommunication},
        {DRAXEL_E_GROUP_NOT_FOUND, "DRAXEL_E_GROUP_NOT_FOUND",
         "Ошибка: Группа с данным именем не найдена на устройстве.", "no group of that name",
         ErrorClass::kRefused},
        {DRAXEL_E_GROUP_EXISTS, "DRAXEL_E_GROUP_EXISTS",
         "Ошибка: Группа с данным именем уже существует.", "a group of that name exists",
         ErrorClass::kRefused},
        {DRAXEL_E_TOO_MANY_GROUPS, "DRAXEL_E_TOO_MANY_GROUPS",
         "Ошибка: Достигнуто максимально возможное число групп на устройстве.",
         "the token holds all the groups it can", ErrorClass::kRefused},
        {DRAXEL_E_BAD_STATUS, "DRAXEL_E_BAD_STATUS",
         "Ошибка: Устройство вернуло некорректный статус.",
         "the token answered an unexpected status", ErrorClass::kRefused},
        {DRAXEL_E_INTEGRITY, "DRAXEL_E_INTEGRITY",
         "Ошибка: Целостность зашифрованного файла нарушена, расшифрование невозможно.",
         "the decrypted file fails its checksum", ErrorClass::kIntegrity},
        {DRAXEL_E_NOT_GROUP_ADMIN, "DRAXEL_E_NOT_GROUP_ADMIN",
         "Ошибка: Только Администратор группы может совершать данное действие.",
         "only the group's administrator may do this", ErrorClass::kRefused},
        {DRAXEL_E_NO_TOKEN, "DRAXEL_E_NO_TOKEN", nullptr, "no token found", ErrorClass::kNoToken},
        {DRAXEL_E_SEVERAL_TOKENS, "DRAXEL_E_SEVERAL_TOKENS", nullptr,
         "several tokens found; choose one with --reader", ErrorClass::kNoToken},
        {DRAXEL_E_VERSION_TOO_OLD, "DRAXEL_E_VERSION_TOO_OLD", nullptr,
         "the token's version lacks the operation", ErrorClass::kRefused},
        {DRAXEL_E_GROUP_LIST_DAMAGED, "DRAXEL_E_GROUP_LIST_DAMAGED",
         "Ошибка: Невозможно считать список групп. Список групп повреждён.",
         "the token's group list cannot be read", ErrorClass::kRefused},
};

/* The row of a code; null for the wrong-password range (140 to 155, see
 * DRAXEL_TRIES_LEFT) and for codes the library does not make. */
inline const ErrorInfo *find_error(unsigned long code)
{
	for (const ErrorInfo &info : kErrors)
		if (info.code == code)
			return &info;
	return nullptr;
}

inline bool is_wrong_password(unsigned long code)
{
	return code >= DRAXEL_E_WRONG_PASSWORD && code <= DRAXEL_E_WRONG_PASSWORD_MAX;
}

} // namespace draxel_errors

#endif
