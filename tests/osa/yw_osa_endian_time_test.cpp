// Byte order and date/time of the OS layer.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "osa/yw_osa.h"

namespace {

TEST(OsaEndian, LittleEndianHostValues)
{
    ASSERT_EQ(YW_P_sysinit(), 0);
    EXPECT_EQ(YW_g_isBigEndian, 0);
    EXPECT_EQ(YW_P_toBE32(0x11223344u), 0x44332211u);
    EXPECT_EQ(YW_P_toLE32(0x11223344u), 0x11223344u);
    EXPECT_EQ(YW_P_toBE16(0x1234), 0x3412);
    EXPECT_EQ(YW_P_toLE16(0x1234), 0x1234);
    EXPECT_EQ(YW_P_toBE64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(YW_P_toLE64(0x0102030405060708ull), 0x0102030405060708ull);
    EXPECT_EQ(YW_P_toBE8(0xab), 0xab);
    EXPECT_EQ(YW_P_toLE8(0xab), 0xab);
    // Wire bytes: the big-endian value stored in memory reads most
    // significant byte first.
    YW_uint32_t be = YW_P_toBE32(0xA1B2C3D4u);
    unsigned char bytes[4];
    memcpy(bytes, &be, 4);
    EXPECT_EQ(bytes[0], 0xA1);
    EXPECT_EQ(bytes[3], 0xD4);
    // Each conversion is its own inverse.
    EXPECT_EQ(YW_P_toBE64(YW_P_toBE64(0xfedcba9876543210ull)), 0xfedcba9876543210ull);
}

TEST(OsaEndian, BigEndianFlagSwapsTheOtherWay)
{
    YW_g_isBigEndian = 1;
    EXPECT_EQ(YW_P_toBE32(0x11223344u), 0x11223344u);
    EXPECT_EQ(YW_P_toLE32(0x11223344u), 0x44332211u);
    EXPECT_EQ(YW_P_toLE16(0x1234), 0x3412);
    EXPECT_EQ(YW_P_toLE64(0x0102030405060708ull), 0x0807060504030201ull);
    YW_P_sysinit();
    EXPECT_EQ(YW_g_isBigEndian, 0);
}

TEST(OsaTime, ElementsUseCalendarUnits)
{
    YW_P_Datetime_t tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = 2026;
    tm.tm_mon = 1;
    tm.tm_mday = 31;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 58;
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, YW_YEAR), 2026);
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, YW_MONTH), 1);
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, YW_DAY), 31);
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, YW_HOUR), 23);
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, YW_MIN), 59);
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, YW_SEC), 58);
    EXPECT_EQ(YW_P_getDateTimeElement(&tm, 6), -1);

    YW_P_Datetime_t now = YW_P_getLocalDateTime();
    time_t t = time(nullptr);
    struct tm lib;
    localtime_r(&t, &lib);
    EXPECT_EQ(now.tm_year, lib.tm_year + 1900);
    EXPECT_EQ(now.tm_mon, lib.tm_mon + 1);
    EXPECT_GE(YW_P_getLocalDateTimeElement(YW_MONTH), 1);
    EXPECT_LE(YW_P_getLocalDateTimeElement(YW_MONTH), 12);
    EXPECT_GE(YW_P_getLocalDateTimeElement(YW_YEAR), 2024);

    YW_P_Datetime_t raw;
    EXPECT_EQ(YW_P_localtime(0, &raw), 0);
    EXPECT_EQ(YW_P_localtime(0, nullptr), YW_FAIL);
    EXPECT_LE(YW_P_time() - t, 60); // the same clock, however slow the machine
}

TEST(OsaTime, SetLocalDateTimeTakesTheValuesAsPassed)
{
    // year, month, day, hour, minute, second as the library counts them
    // (years since 1900, months from 0), and the full date they give
    const struct {
        int y, M, D, h, m, s;
        int year, month;
    } rows[] = {{100, 0, 1, 0, 0, 0, 2000, 1}, {126, 11, 7, 8, 30, 15, 2026, 12}, {126, 12, 1, 0, 0, 0, 2027, 1}};
    for (const auto &r : rows) {
        YW_P_time_t v = YW_P_setLocalDateTime(0, r.y, r.M, r.D, r.h, r.m, r.s);
        struct tm back;
        localtime_r(&v, &back);
        EXPECT_EQ(back.tm_year + 1900, r.year) << r.y;
        EXPECT_EQ(back.tm_mon + 1, r.month) << r.M;
        EXPECT_EQ(back.tm_mday, r.D);
        EXPECT_EQ(back.tm_hour, r.h);
        EXPECT_EQ(back.tm_min, r.m);
        EXPECT_EQ(back.tm_sec, r.s);
    }
    struct tm y2k {};
    y2k.tm_year = 100;
    y2k.tm_mday = 1;
    y2k.tm_isdst = -1;
    EXPECT_EQ(YW_P_setLocalDateTime(0, 100, 0, 1, 0, 0, 0), mktime(&y2k));
    // Beyond 2038 the value is not cut to 32 bits.
    EXPECT_GT(YW_P_setLocalDateTime(0, 140, 0, 1, 0, 0, 0), (YW_P_time_t)INT32_MAX);
}

TEST(OsaTime, ZoneQueriesAgreeWithTheLibrary)
{
    time_t t = time(nullptr);
    struct tm lib;
    localtime_r(&t, &lib);
    EXPECT_EQ(YW_P_getTimezoneDifference(), lib.tm_gmtoff);
    EXPECT_EQ(YW_P_isDstApply(), lib.tm_isdst > 0 ? 1 : 0);
    EXPECT_STREQ(YW_P_getTimezoneName(), tzname[lib.tm_isdst > 0 ? 1 : 0]);
    EXPECT_STREQ(YW_P_getStandardTimezoneName(), tzname[0]);
    EXPECT_STREQ(YW_P_getDstTimezoneName(), tzname[1]);
    EXPECT_EQ(YW_P_getUtcOffset(), -timezone);
    EXPECT_EQ(YW_P_getDstOffset(), lib.tm_isdst > 0 ? lib.tm_gmtoff : 0);
}

TEST(OsaTime, TimeZoneNamesThatAreNotPlainNamesAreRefused)
{
    // Only plain zone names are copied; nothing is run through a shell.
    const char *bad[] = {"../x", "a/b", ".x", ";rm", "$(x"};
    for (const char *name : bad) {
        YW_P_timezoneInfo_t tz;
        memset(&tz, 0, sizeof(tz));
        memcpy(tz.utc_name, name, strnlen(name, sizeof(tz.utc_name)));
        EXPECT_EQ(YW_P_setTimeZone(&tz), YW_FAIL) << name;
    }
    YW_P_timezoneInfo_t empty;
    memset(&empty, 0, sizeof(empty));
    EXPECT_EQ(YW_P_setTimeZone(&empty), YW_FAIL);
    EXPECT_EQ(YW_P_setTimeZone(nullptr), YW_FAIL);
}

} // namespace
