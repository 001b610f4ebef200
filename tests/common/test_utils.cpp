#include "common/uOVClock.h"
#include "common/uOVUtils.h"
#include "platform/Process.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <QDir>

using namespace uOVUtils;

// Either separator counts on Windows; the one added is the system's ("|"
// below).
TEST(JoinPath, DropsOneLeadingSeparatorAndAddsOne) {
    struct Case {
        std::initializer_list<QString> parts;
        QString expected;
    };
    const Case cases[] = {
        {{"/opt/Connector/", "logs"}, "/opt/Connector/logs"},
        {{"/opt/Connector", "/Batch"}, "/opt/Connector|Batch"},
        {{"/opt/Connector/", "/logs/"}, "/opt/Connector/logs/"},
        {{"", "logs"}, "|logs"},
        {{"a", "//b"}, "a|/b"},
        {{"a", "b", "c.log"}, "a|b|c.log"},
        {{"only"}, "only"},
#ifdef _WIN32
        {{"c:\\Svc\\", "logs"}, "c:\\Svc\\logs"},
        {{"c:\\Svc", "\\logs"}, "c:\\Svc\\logs"},
        {{"c:/Svc/", "\\logs"}, "c:/Svc/logs"},
#endif
    };
    for (const Case& c : cases) {
        const QString expected = QString(c.expected).replace('|', QDir::separator());
        EXPECT_EQ(JoinPath(c.parts), expected) << expected.toStdString();
    }
    EXPECT_EQ(WithTrailingBackslash(""), "");
    EXPECT_EQ(WithTrailingBackslash("/a"), "/a" + QString(QDir::separator()));
    EXPECT_EQ(WithTrailingBackslash("/a/"), "/a/");
}

TEST(LPad, PadsCutsAndRejectsNegativeLength) {
    EXPECT_EQ(LPad("7", 3, '0'), "007");
    EXPECT_EQ(LPad("1234", 3, '0'), "123");
    EXPECT_EQ(LPad("", 3, '0'), "000");
    EXPECT_EQ(LPad("abc", 3, '0'), "abc");
    try {
        LPad("1", -1, '0');
        FAIL() << "no exception";
    } catch (const ELPadException& e) {
        EXPECT_EQ(e.Message(),
                  "Exception in LPad: Invalid negative length passed in call to LPAD()");
        EXPECT_EQ(ExceptionClassName(e), "ELPadException");
    }
}

TEST(TextToBool, LenientValues) {
    const std::pair<QString, bool> cases[] = {
        {"  yes  ", true}, {"0", false},  {"-1", true}, {"t", true},    {"TRUE", true},
        {"1", true},       {"no", false}, {"", false},  {"   ", false}, {"-2", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(TextToBool(text), expected) << text.toStdString();
}

TEST(GetCmdLineSwitchValue, SeparatorsPrefixesAndCase) {
    struct Case {
        std::vector<std::string> args;
        bool ignoreCase;
        QString expected;
    };
    const Case cases[] = {
        {{"-loglevel=9"}, true, "9"},   {{"/loglevel:9"}, true, "9"},
        {{"-loglevel="}, true, ""},     {{"-LogLevel=5"}, true, "5"},
        {{"-LogLevel=5"}, false, ""},   {{"loglevel=5"}, true, ""},
        {{"-loglevel"}, true, ""},      {{"-x=1", "-loglevel=a=b", "-loglevel=2"}, true, "a=b"},
        {{"-loglevel:=3"}, true, "=3"},
    };
    for (const Case& c : cases) {
        platform::SetCommandLine(c.args);
        EXPECT_EQ(GetCmdLineSwitchValue("loglevel", "-/", c.ignoreCase), c.expected)
            << c.args.front();
    }
    platform::SetCommandLine({"/CONSOLE", "-debug"});
    EXPECT_TRUE(FindCmdLineSwitch("console"));
    EXPECT_TRUE(FindCmdLineSwitch("Debug"));
    EXPECT_FALSE(FindCmdLineSwitch("skiptransmit"));
    platform::SetCommandLine(std::vector<std::string>{});
}

TEST(FormatDateTime, DesignPatterns) {
    const TDateTime t = ToDateTime(QDateTime(QDate(2022, 6, 5), QTime(14, 3, 9, 45)));
    // The fixed form in every locale; the regional one has the locale's
    // separators and designators in the same places.
    const std::pair<TDateTime, QString> cases[][2] = {
        {{t, "yyyymmddhhnnsszzz"}, {0, "20220605140309045"}},
        {{t, "yyyy-mm-dd hh:nn:ss.zzz"}, {0, "2022-06-05 14:03:09.045"}},
        {{t, "mm/dd/yyyy hh:nn:ss"}, {0, "06/05/2022 14:03:09"}},
        {{t, "m/d/yyyy"}, {0, "6/5/2022"}},
        {{t, "hh:nn ampm"}, {0, "02:03 PM"}},
        {{0, "hh:nn ampm"}, {0, "12:00 AM"}},
    };
    for (const auto& c : cases) {
        const auto& [value, pattern] = c[0];
        const QString fixed = c[1].second;
        EXPECT_EQ(FormatDateTimeFixed(pattern, value), fixed) << pattern.toStdString();
        const QString regional = QString(fixed)
                                     .replace("/", DateSeparator())
                                     .replace(":", TimeSeparator())
                                     .replace("AM", TimeAMString())
                                     .replace("PM", TimePMString());
        EXPECT_EQ(FormatDateTime(pattern, value), regional) << pattern.toStdString();
    }
    EXPECT_EQ(ToQDateTime(t), QDateTime(QDate(2022, 6, 5), QTime(14, 3, 9, 45)));
    EXPECT_EQ(DayOfWeek(t), 1); // a Sunday
    EXPECT_DOUBLE_EQ(ToDateTime(QDateTime(QDate(1899, 12, 30), QTime(6, 0))), 0.25);
    EXPECT_DOUBLE_EQ(ToDateTime(QDateTime(QDate(1899, 12, 29), QTime(6, 0))), -1.25);
}

TEST(UTCText, RoundTripsAndRejectsMalformedText) {
    if (!testsupport::InTimeZone("America/New_York"))
        GTEST_SKIP() << "expects New York's offsets";
    // New York: UTC-5 in winter, UTC-4 in summer.
    const TDateTime winter = ToDateTime(QDateTime(QDate(2024, 1, 15), QTime(10, 30, 0, 123)));
    EXPECT_EQ(DateTimeToUTCText(winter), "2024-01-15 15:30:00.123");
    EXPECT_DOUBLE_EQ(UTCTextToDateTime("2024-01-15 15:30:00.123"), winter);
    EXPECT_EQ(UTCTextToDateTime("2024-01-15 15:30"),
              ToDateTime(QDateTime(QDate(2024, 1, 15), QTime(10, 30))));
    for (const char* bad : {"", "garbage", "2024-13-01 00:00:00.000", "2024/01/15 10:00:00",
                            "2024-01-15 25:00:00.000"})
        EXPECT_EQ(UTCTextToDateTime(bad), 0) << bad;
}

TEST(UTCText, UsesTheOffsetOfTheDateConvertedNotToday) {
    if (!testsupport::InTimeZone("America/New_York"))
        GTEST_SKIP() << "expects New York's offsets";
    // Written in winter, read in summer: the offset of each date applies.
    TManualClock summer(QDateTime(QDate(2024, 7, 1), QTime(12, 0)));
    SetClock(&summer);
    const TDateTime winter = ToDateTime(QDateTime(QDate(2024, 3, 9), QTime(23, 0)));
    const TDateTime afterChange = ToDateTime(QDateTime(QDate(2024, 3, 10), QTime(4, 0)));
    EXPECT_EQ(DateTimeToUTCText(winter), "2024-03-10 04:00:00.000");
    EXPECT_EQ(DateTimeToUTCText(afterChange), "2024-03-10 08:00:00.000");
    EXPECT_DOUBLE_EQ(UTCTextToDateTime("2024-03-10 04:00:00.000"), winter);
    EXPECT_EQ(UTCBiasMinutes(), 240);
    SetClock(nullptr);
}

TEST(UTCText, OneLayoutInEveryLocaleAndZone) {
    // Instants beside New York's and Helsinki's daylight-saving changes (not
    // in a repeated hour, whose local time is ambiguous) and an ordinary one.
    const QDateTime instants[] = {
        QDateTime(QDate(2025, 3, 9), QTime(6, 59, 59, 999), Qt::UTC),
        QDateTime(QDate(2025, 3, 30), QTime(1, 0, 0, 1), Qt::UTC),
        QDateTime(QDate(2025, 10, 25), QTime(23, 59, 59, 999), Qt::UTC),
        QDateTime(QDate(2025, 11, 2), QTime(4, 59, 59, 999), Qt::UTC),
        QDateTime(QDate(2026, 9, 12), QTime(14, 30, 15, 250), Qt::UTC),
    };
    for (const QDateTime& instant : instants) {
        const QString utc = instant.toString("yyyy-MM-dd HH:mm:ss.zzz");
        const TDateTime local = ToDateTime(instant);
        EXPECT_EQ(DateTimeToUTCText(local), utc);
        EXPECT_DOUBLE_EQ(UTCTextToDateTime(utc), local) << utc.toStdString();
    }
    // What earlier versions wrote where the time separator is ".".
    EXPECT_DOUBLE_EQ(UTCTextToDateTime("2026-09-12 14:30:15:250"), ToDateTime(instants[4]));
}

TEST(WindowsVersionText, Classification) {
    using F = TPlatformFamily;
    struct Case {
        F family;
        int major, minor, build;
        QString sp, expected;
    };
    const Case cases[] = {
        {F::Windows9x, 4, 0, 0x040003B6, "", "Windows 95 4.0 (Build 950)"},
        {F::Windows9x, 4, 0, 950, " B", "Windows? 4.0 (Build 0:  B)"},
        {F::Windows9x, 4, 10, 0x0A0A0AAE, " A ", "Windows 98 4.10 (Build 2734:  A )"},
        {F::WindowsNT, 4, 0, 1381, "Service Pack 6", "Windows NT 4.0 (Build 1381: Service Pack 6)"},
        {F::WindowsNT, 5, 0, 2195, "", "Windows 2000 5.0 (Build 2195)"},
        {F::WindowsNT, 5, 1, 2600, "Service Pack 3", "Windows XP 5.1 (Build 2600: Service Pack 3)"},
        {F::WindowsNT, 5, 2, 3790, "", "Windows 2003 5.2 (Build 3790)"},
        {F::WindowsNT, 6, 3, 9600, "", "Windows 7 6.3 (Build 9600)"},
        {F::WindowsNT, 7, 0, 1, "", "Windows 8 7.0 (Build 1)"},
        {F::WindowsNT, 10, 0, 19045, "", "Windows 10 10.0 (Build 19045)"},
        {F::WindowsNT, 11, 0, 22000, "", "Windows? 11.0 (Build 0)"},
        {F::Win32s, 3, 1, 0, "", "Windows? 3.1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WindowsVersionText(c.family, c.major, c.minor, c.build, c.sp), c.expected)
            << c.expected.toStdString();
    const QString line = WindowsVersionText();
    EXPECT_TRUE(line.contains("(Build ")) << line.toStdString();
}

#ifdef _WIN32
#define BREVOLT_EXE_SUFFIX ".exe"
#else
#define BREVOLT_EXE_SUFFIX ""
#endif

TEST(GetFileVersionText, ReadsTheStampOfBuiltProgramsOnly) {
    EXPECT_EQ(
        GetFileVersionText(BREVOLT_BINARY_DIR "/service/BrevoltRPro9Service" BREVOLT_EXE_SUFFIX),
        BREVOLT_PROJECT_VERSION);
    EXPECT_EQ(GetFileVersionText(BREVOLT_BINARY_DIR
                                 "/configurator/BrevoltRPro9Configurator" BREVOLT_EXE_SUFFIX),
              BREVOLT_PROJECT_VERSION);
    // This test program links the reader (and so its marker text) but has no stamp.
    EXPECT_EQ(GetFileVersionText(QString::fromStdString(platform::ExecutablePath())), "");
    EXPECT_EQ(GetFileVersionText("/nonexistent/file"), "");
#ifndef _WIN32
    // The stamp of an ELF program; Windows reads the version resource instead.
    testsupport::TTempDir dir;
    // Built at run time so that this program itself carries no stamp.
    const QByteArray marker = QByteArray("$Brevolt") + "FileVersion: ";
    testsupport::WriteFileBytes(dir.File("fake"),
                                "xx" + marker + "1.2.3 $ " + marker + "70000.0.0.0 $");
    EXPECT_EQ(GetFileVersionText(dir.File("fake")), "");
    testsupport::WriteFileBytes(dir.File("real"), "\x7f"
                                                  "ELF" +
                                                      marker + "1.2.3.4 $");
    EXPECT_EQ(GetFileVersionText(dir.File("real")), "1.2.3.4");
#endif
}

#ifndef _WIN32
// Built at run time so that this program itself carries no stamp.
QByteArray Stamp(const char* AVersion) {
    return QByteArray("$Brevolt") + "FileVersion: " + AVersion + " $";
}
#endif

TEST(GetFileVersionText, FindsAStampAcrossTheEndOfEveryReadAndNoneCutShort) {
#ifdef _WIN32
    GTEST_SKIP() << "the stamp inside an ELF program is Linux's; Windows reads the version "
                    "resource (test_platform_win32)";
#else
    testsupport::TTempDir dir;
    // Every start from wholly before to just after 64 KiB and 128 KiB.
    for (const qsizetype boundary : {65536, 131072}) {
        for (qsizetype start = boundary - 48; start <= boundary + 1; ++start) {
            const QString path = dir.File(QStringLiteral("at%1").arg(start));
            testsupport::WriteFileBytes(path, QByteArray(start, 'x') + Stamp("1.2.3.40") + "yy");
            EXPECT_EQ(GetFileVersionText(path), "1.2.3.40") << start;
        }
    }
    // A broken stamp before a good one; a stamp the file's end cuts short.
    testsupport::WriteFileBytes(dir.File("second"), QByteArray(65530, 'x') + Stamp("1.2.3") +
                                                        QByteArray(65530, 'x') + Stamp("5.6.7.8"));
    EXPECT_EQ(GetFileVersionText(dir.File("second")), "5.6.7.8");
    testsupport::WriteFileBytes(dir.File("cut"),
                                QByteArray(65530, 'x') + Stamp("1.2.3.4").chopped(1));
    EXPECT_EQ(GetFileVersionText(dir.File("cut")), "");
    testsupport::WriteFileBytes(dir.File("empty"), QByteArray());
    EXPECT_EQ(GetFileVersionText(dir.File("empty")), "");
#endif
}

#ifdef __linux__
#include <bit>
#include <cstring>
#include <elf.h>

// A small ELF file: its header, AData, the section names, and the section
// headers (the null one, ".brevolt_version" over AStamp, the names).
QByteArray ElfFile(const QByteArray& AData, const QByteArray& AStamp) {
    const QByteArray names("\0.shstrtab\0.brevolt_version\0", 28);
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] =
        std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 3;
    header.e_shstrndx = 2;
    Elf64_Shdr sections[3] = {};
    sections[1].sh_name = 11;
    sections[1].sh_type = SHT_PROGBITS;
    sections[1].sh_offset = sizeof(header) + AData.size();
    sections[1].sh_size = AStamp.size();
    sections[2].sh_name = 1;
    sections[2].sh_type = SHT_STRTAB;
    sections[2].sh_offset = sections[1].sh_offset + AStamp.size();
    sections[2].sh_size = names.size();
    header.e_shoff = sections[2].sh_offset + names.size();
    return QByteArray(reinterpret_cast<const char*>(&header), sizeof(header)) + AData + AStamp +
           names + QByteArray(reinterpret_cast<const char*>(sections), sizeof(sections));
}

TEST(GetFileVersionText, ReadsTheStampSectionOfAnElfFileAndScansWhenItIsUnusable) {
    testsupport::TTempDir dir;
    const QByteArray data(100000, 'x');
    // The section is the program's own stamp: it counts before any other.
    testsupport::WriteFileBytes(dir.File("elf"),
                                ElfFile(data + Stamp("5.6.7.8"), Stamp("1.2.3.4")));
    EXPECT_EQ(GetFileVersionText(dir.File("elf")), "1.2.3.4");
    // Section headers cut off, or a section without a good stamp: the scan
    // finds the first good stamp of the file.
    QByteArray cut = ElfFile(data, Stamp("1.2.3.4"));
    cut.chop(sizeof(Elf64_Shdr));
    testsupport::WriteFileBytes(dir.File("cut"), cut);
    EXPECT_EQ(GetFileVersionText(dir.File("cut")), "1.2.3.4");
    testsupport::WriteFileBytes(dir.File("bad"),
                                ElfFile(data + Stamp("5.6.7.8"), Stamp("1.2.x.4")));
    EXPECT_EQ(GetFileVersionText(dir.File("bad")), "5.6.7.8");
    testsupport::WriteFileBytes(dir.File("none"), ElfFile(data, "no stamp"));
    EXPECT_EQ(GetFileVersionText(dir.File("none")), "");
}
#endif

#include "common/uOVCodePage.h"

#ifdef Q_OS_LINUX
#include <iconv.h>
#endif

TEST(CodePage, Windows1252BothWaysWithQuestionMarkForTheRest) {
    using namespace uOVCodePage;
    EXPECT_EQ(ToAnsi(QString::fromUtf8("Café Müller Peña €")), QByteArray("Caf\xE9 M\xFCller Pe\xF1"
                                                                          "a \x80"));
    EXPECT_EQ(ToAnsi(QString::fromUtf8("Ж中\U0001F600x")), QByteArray("???x"));
    EXPECT_EQ(ToAnsi(""), QByteArray());
    EXPECT_EQ(FromAnsi("Caf\xE9 \x80\r\n"), QString::fromUtf8("Café €\r\n"));
    EXPECT_EQ(FromAnsi(QByteArray("a\x81"
                                  "b")),
              QString::fromUtf8("a\uFFFDb"));
}

// Every byte against the system's own converter, both ways: the code page
// is built in, so it must agree with what glibc knows of Windows-1252.
#ifdef Q_OS_LINUX
TEST(CodePage, EveryByteReadsAndWritesAsTheSystemConverterDoes) {
    using namespace uOVCodePage;
    iconv_t cd = iconv_open("UTF-16LE", "WINDOWS-1252");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        char in = static_cast<char>(b);
        char16_t unit = 0;
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(&unit);
        size_t inLeft = 1, outLeft = sizeof unit;
        const bool defined = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const QString read = FromAnsi(QByteArray(1, in));
        ASSERT_EQ(read.size(), 1);
        EXPECT_EQ(read[0].unicode(), defined ? unit : 0xFFFD);
        if (defined) {
            EXPECT_EQ(ToAnsi(read), QByteArray(1, in));
        }
    }
    iconv_close(cd);
    // Outside the code page: one "?" per character, a lone surrogate too.
    EXPECT_EQ(ToAnsi(QString(QChar(0xD800)) + "a" + QChar(0xDC00)), QByteArray("?a?"));
}
#endif

TEST(CodePage, ServerTextIsUtf8WhenValidOtherwiseWindows1252) {
    using uOVCodePage::FromServerText;
    EXPECT_EQ(FromServerText("550 Empf\xC3\xA4nger \xE2\x80\x9Ex\xE2\x80\x9C"),
              QString::fromUtf8("550 Empfänger „x“"));
    EXPECT_EQ(FromServerText("550 Empf\xE4nger \x84x\x93"), QString::fromUtf8("550 Empfänger „x“"));
    EXPECT_EQ(FromServerText("250 OK"), "250 OK");
    EXPECT_EQ(FromServerText(""), "");
}
