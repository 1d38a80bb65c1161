// The recorded error code, its text for the host, and the status words that
// refine a refused exchange.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/hex.h"
#include "support/scripted_token.h"
#include "utils.h"

namespace {

const std::string kUnknown = "Неизвестная ошибка.";

class ErrorTest : public draxel::test::HostHandlerTest {
protected:
	void SetUp() override
	{
		HostHandlerTest::SetUp();
		saved = cur_context;
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		cur_context = saved;
		HostHandlerTest::TearDown();
	}
	// The text of code, read into a buffer of exactly the queried size.
	std::string message(unsigned long code)
	{
		cur_context.error = code;
		int needed = -1;
		EXPECT_EQ(GetError(nullptr, &needed), 0u);
		std::vector<char> buf(static_cast<size_t>(needed) + 1, '#');
		int len = needed;
		EXPECT_EQ(GetError(buf.data(), &len), 0u);
		EXPECT_EQ(len, needed);
		EXPECT_EQ(buf.back(), '#') << "wrote past the text's NUL";
		EXPECT_EQ(strlen(buf.data()) + 1, static_cast<size_t>(needed));
		return std::string(buf.data());
	}
	// The code SetError records for transport code 5 after the token said sw.
	unsigned long refused_with(const char* sw)
	{
		token.reply(sw);
		auto cmd = draxel::test::from_hex("00A4000C02F140");
		EXPECT_EQ(Transmit(cmd.data(), cmd.size(), nullptr, nullptr, record), 5u);
		return SetError(5, record);
	}
	LogicDLLContext saved{};
};

TEST_F(ErrorTest, EveryCodeGivesItsText)
{
	EXPECT_EQ(message(0), "OK");
	EXPECT_EQ(message(102), "Ошибка: Введённые данные имеют неверный формат.");
	EXPECT_EQ(message(104), "Ошибка: Нет доступа к устройству. Попробуйте перезапустить программу.");
	EXPECT_EQ(message(108), "Ошибка: Пароль заблокирован.");
	EXPECT_EQ(message(109), "Ошибка: Не удаётся открыть файл. Возможно указанный файл не существует.");
	EXPECT_EQ(message(110), "Ошибка: Не удаётся создать файл. Возможно указан неверный путь.");
	EXPECT_EQ(message(111), "Ошибка: Не удаётся записать данные в указаннный файл.");
	EXPECT_EQ(message(112), "Ошибка: Указанный файл повреждён.");
	EXPECT_EQ(message(113), "Ошибка: Невозможно расшифровать данные. Возможно неверная парольная "
	                        "фраза/неверная группа/не тот носитель Мекта.");
	EXPECT_EQ(message(114), "Ошибка: Ключ на носителе повреждён. Попробуйте восстановить с дубликата.");
	EXPECT_EQ(message(115), "Ошибка: Пароль неправильной длины. Минимальная длина пароля 4 символа.");
	EXPECT_EQ(message(116), "Ошибка: Ошибка комуникации со считывателем.");
	EXPECT_EQ(message(117), "Ошибка: Группа с данным именем не найдена на устройстве.");
	EXPECT_EQ(message(118), "Ошибка: Группа с данным именем уже существует.");
	EXPECT_EQ(message(119), "Ошибка: Достигнуто максимально возможное число групп на устройстве.");
	EXPECT_EQ(message(120), "Ошибка: Устройство вернуло некорректный статус.");
	EXPECT_EQ(message(121), "Ошибка: Целостность зашифрованного файла нарушена, расшифрование невозможно.");
	EXPECT_EQ(message(122), "Ошибка: Только Администратор группы может совершать данное действие.");
	EXPECT_EQ(message(126), "Ошибка: Невозможно считать список групп. Список групп повреждён.");
	// two blanks before the count of attempts left
	EXPECT_EQ(message(140), "Ошибка: Неверный пароль. Осталось попыток:  0");
	EXPECT_EQ(message(143), "Ошибка: Неверный пароль. Осталось попыток:  3");
	EXPECT_EQ(message(155), "Ошибка: Неверный пароль. Осталось попыток:  15");
	for (unsigned long code : {1ul, 5ul, 8ul, 101ul, 103ul, 106ul, 123ul, 124ul, 125ul, 127ul,
	                           139ul, 156ul, 0x8010001Dul, ~0ul})
		EXPECT_EQ(message(code), kUnknown) << code;
	int len = 0;
	cur_context.error = 113;
	EXPECT_EQ(GetError(nullptr, &len), 0u);
	EXPECT_EQ(len, 209);
	EXPECT_EQ(cur_context.error, 113u) << "reading the text keeps the code";
	cur_context.error = 0;
	EXPECT_EQ(GetError(nullptr, &len), 0u);
	EXPECT_EQ(len, 3);
}

TEST_F(ErrorTest, ShortOrMissingSizeFailsAndIsRecorded)
{
	cur_context.error = 113;
	char buf[209] = "#";
	int len = 208;
	EXPECT_EQ(GetError(buf, &len), 106u);
	EXPECT_EQ(len, 208);
	EXPECT_STREQ(buf, "#");
	len = sizeof buf;
	EXPECT_EQ(GetError(buf, &len), 0u);
	EXPECT_EQ(buf, kUnknown) << "106 is now the recorded code";
	EXPECT_EQ(len, static_cast<int>(kUnknown.size()) + 1);

	cur_context.error = 0;
	len = -1;
	EXPECT_EQ(GetError(buf, &len), 106u);
	EXPECT_EQ(GetError(buf, nullptr), 102u);
	EXPECT_EQ(cur_context.error, 102u);
	cur_context.error = 0;
	EXPECT_EQ(GetError(nullptr, nullptr), 102u);
	EXPECT_EQ(cur_context.error, 102u);
}

TEST_F(ErrorTest, RefusedStatusWordIsMappedOtherCodesAreStoredAsTheyCome)
{
	EXPECT_EQ(refused_with("6982"), 104u);
	EXPECT_EQ(refused_with("63C0"), 113u);
	EXPECT_EQ(refused_with("6A83"), 114u);
	EXPECT_EQ(refused_with("6A82"), 120u);
	EXPECT_EQ(refused_with("63C3"), 120u);
	EXPECT_EQ(SetError(5, nullptr), 120u);
	for (unsigned long code : {1ul, 8ul, 116ul, 143ul, 0x8010001Dul}) {
		EXPECT_EQ(SetError(code, record), code);
		EXPECT_EQ(cur_context.error, code);
	}
	EXPECT_EQ(SetError("ignored", 116), 116u);
	EXPECT_EQ(cur_context.error, 0x8010001Dul) << "the text overload records nothing";
	ClearError();
	EXPECT_EQ(cur_context.error, 0u);
}

TEST_F(ErrorTest, LastErrorCodeIsTheCommandLayersNotTheContexts)
{
	unsigned long kept = last_error;
	last_error = 7;
	SetError(116, record);
	EXPECT_EQ(GetLastErrorCode(), 7u);
	ClearError();
	EXPECT_EQ(GetLastErrorCode(), 7u);
	last_error = kept;
}

} // namespace
