// SPDX-License-Identifier: MIT
#include "platform/code_page.h"
#include "platform/error.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringDecoder>

using platform::RuntimeError;

namespace {

// Sets or unsets the locale variables for one test and restores them.
class LocaleVariables {
public:
    LocaleVariables(const char *lcAll, const char *lcCtype, const char *lang, const char *encoding = nullptr)
    {
        set("LC_ALL", lcAll);
        set("LC_CTYPE", lcCtype);
        set("LANG", lang);
        set("SCNFERRY_ENCODING", encoding);
    }
    ~LocaleVariables()
    {
        for (const Saved &s : m_saved) {
            if (s.wasSet)
                qputenv(s.name, s.value);
            else
                qunsetenv(s.name);
        }
    }
    LocaleVariables(const LocaleVariables &) = delete;
    LocaleVariables &operator=(const LocaleVariables &) = delete;

private:
    struct Saved {
        const char *name;
        QByteArray value;
        bool wasSet;
    };
    void set(const char *name, const char *value)
    {
        m_saved.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    std::vector<Saved> m_saved;
};

struct LocaleRow {
    const char *locale;
    const char *codePage;
};

// The code page follows language and script, as on the platform the
// scanners were set up for; anything unknown is Western.
TEST(CodePage, LocaleChoosesTheAnsiCodePage)
{
    const LocaleRow rows[] = {
        {"ja_JP.UTF-8", "Shift_JIS"},
        {"zh_CN.UTF-8", "GBK"},         {"zh_SG", "GBK"},
        {"zh_TW.UTF-8", "Big5"},        {"zh_HK", "Big5"},         {"zh_MO", "Big5"},
        {"ko_KR.UTF-8", "windows-949"},
        {"th_TH", "windows-874"},
        {"cs_CZ", "windows-1250"},      {"pl_PL.UTF-8", "windows-1250"}, {"hu_HU", "windows-1250"},
        {"sk_SK", "windows-1250"},      {"sl_SI", "windows-1250"}, {"hr_HR", "windows-1250"},
        {"ro_RO", "windows-1250"},      {"sr_RS@latin", "windows-1250"}, {"sr_RS.UTF-8@latin", "windows-1250"},
        {"ru_RU.UTF-8", "windows-1251"}, {"uk_UA", "windows-1251"}, {"bg_BG", "windows-1251"},
        {"sr_RS", "windows-1251"},      {"be_BY", "windows-1251"}, {"kk_KZ", "windows-1251"},
        {"en_US.UTF-8", "windows-1252"}, {"de_DE", "windows-1252"}, {"fr_FR", "windows-1252"},
        {"pt_BR", "windows-1252"},      {"C", "windows-1252"},     {"C.UTF-8", "windows-1252"},
        {"POSIX", "windows-1252"},      {"", "windows-1252"},
        {"el_GR.UTF-8", "windows-1253"},
        {"tr_TR.UTF-8", "windows-1254"}, {"az_AZ", "windows-1254"},
        {"he_IL", "windows-1255"},
        {"ar_EG.UTF-8", "windows-1256"}, {"fa_IR", "windows-1256"}, {"ur_PK", "windows-1256"},
        {"et_EE", "windows-1257"},      {"lv_LV", "windows-1257"}, {"lt_LT", "windows-1257"},
        {"vi_VN.UTF-8", "windows-1258"},
    };
    for (const LocaleRow &r : rows) {
        const QLocale locale = platform::localeFromPosixName(QString::fromLatin1(r.locale));
        EXPECT_EQ(platform::ansiCodePageFor(locale), QByteArray(r.codePage)) << r.locale;
    }
}

struct CodePageRow {
    const char *name;
    QByteArray bytes;
    char16_t character;
};

// Every name the mapping uses is one this Qt decodes, passes the checks for
// a fallback, and means the code page it stands for.
TEST(CodePage, EveryMappedNameDecodesItsCodePage)
{
    const CodePageRow rows[] = {
        {"Shift_JIS", "\x93\x8C", 0x6771},  {"GBK", "\x80", 0x20AC},          {"Big5", "\xA3\xE1", 0x20AC},
        {"windows-949", "\x8C\x63", 0xB620}, {"windows-874", "\x80", 0x20AC},  {"windows-874", "\xA1", 0x0E01},
        {"windows-1250", "\xA3", 0x0141},   {"windows-1251", "\xC0", 0x0410}, {"windows-1252", "\x80", 0x20AC},
        {"windows-1253", "\xC1", 0x0391},   {"windows-1254", "\xD0", 0x011E}, {"windows-1255", "\xE0", 0x05D0},
        {"windows-1256", "\xC7", 0x0627},   {"windows-1257", "\xC0", 0x0104}, {"windows-1258", "\xD0", 0x0110},
    };
    for (const CodePageRow &r : rows) {
        EXPECT_FALSE(platform::unsuitableCodePage(r.name).has_value()) << r.name;
        QStringDecoder decoder(r.name);
        ASSERT_TRUE(decoder.isValid()) << r.name;
        EXPECT_EQ(QString(decoder.decode(r.bytes)), QString(QChar(r.character))) << r.name;
    }
}

TEST(CodePage, VariableOverridesTheLocale)
{
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    EXPECT_EQ(platform::chooseTextEncoding("", japanese).legacy, QByteArray("Shift_JIS"));
    EXPECT_EQ(platform::chooseTextEncoding("GBK", japanese).legacy, QByteArray("GBK"));
    EXPECT_EQ(platform::chooseTextEncoding(" EUC-JP ", japanese).legacy, QByteArray("EUC-JP"));
    EXPECT_EQ(platform::chooseTextEncoding("GBK", japanese).source, QStringLiteral("SCNFERRY_ENCODING"));
    EXPECT_EQ(platform::chooseTextEncoding("", japanese).source, QStringLiteral("ja_JP"));
    for (const char *utf8 : {"UTF-8", "utf8", "Utf-8"})
        EXPECT_TRUE(platform::chooseTextEncoding(utf8, japanese).legacy.isEmpty()) << utf8 << " turns the fallback off";
}

TEST(CodePage, UnusableNamesAreRefusedWithTheVariableAndTheReason)
{
    struct Row {
        const char *name;
        const char *reason;
    };
    const Row rows[] = {
        {"Shift-JS", "is no encoding this system knows"},
        {"UTF-16", "is not ASCII-based"},
        {"ibm-037", "is not ASCII-based"},
        {"ISO-2022-JP", "escape sequences"},
        {"HZ-GB-2312", "is not ASCII-based"},
        {"UTF-7", "is not ASCII-based"},
    };
    for (const Row &r : rows) {
        try {
            platform::chooseTextEncoding(r.name, QLocale::c());
            ADD_FAILURE() << r.name << " was accepted";
        } catch (const RuntimeError &e) {
            EXPECT_EQ(e.number(), platform::err::InvalidPropertyValue);
            EXPECT_TRUE(e.description().startsWith(QStringLiteral("SCNFERRY_ENCODING=%1: ").arg(QLatin1String(r.name))))
                << e.what();
            EXPECT_TRUE(e.description().contains(QLatin1String(r.reason))) << e.what();
        }
    }
}

// LC_ALL, then LC_CTYPE, then LANG: the order POSIX gives them for what
// characters bytes stand for.
TEST(CodePage, EnvironmentOrderForTheLocale)
{
    {
        LocaleVariables v("ko_KR.UTF-8", "ja_JP.UTF-8", "ru_RU.UTF-8");
        EXPECT_EQ(platform::systemTextEncoding().legacy, QByteArray("windows-949"));
    }
    {
        LocaleVariables v(nullptr, "ja_JP.UTF-8", "ru_RU.UTF-8");
        EXPECT_EQ(platform::systemTextEncoding().legacy, QByteArray("Shift_JIS"));
    }
    {
        LocaleVariables v("", "", "ru_RU.UTF-8");
        EXPECT_EQ(platform::systemTextEncoding().legacy, QByteArray("windows-1251"));
    }
    {
        LocaleVariables v(nullptr, nullptr, "ja_JP.UTF-8", "windows-1250");
        EXPECT_EQ(platform::systemTextEncoding().legacy, QByteArray("windows-1250"));
    }
}

} // namespace
