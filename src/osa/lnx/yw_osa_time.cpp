/*
 * Date, time, time zone and the layer's process start-up.
 */
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "yw_osa_priv.h"

namespace {

/* Local broken-down time of now, library values. */
struct tm localNow()
{
    time_t now = time(nullptr);
    struct tm tm;
    tzset();
    localtime_r(&now, &tm);
    return tm;
}

} // namespace

void YW_getLocalDateTime(YW_P_Datetime_t *tp)
{
    if (!tp)
        return;
    *tp = localNow();
    tp->tm_mon += 1;
    tp->tm_year += 1900;
}

YW_P_Datetime_t YW_P_getLocalDateTime(void)
{
    YW_P_Datetime_t tm;
    YW_getLocalDateTime(&tm);
    return tm;
}

long YW_P_getUtcOffset(void)
{
    (void)localNow(); /* sets timezone */
    return -timezone;
}

long YW_P_getDstOffset(void)
{
    struct tm tm = localNow();
    return tm.tm_isdst > 0 ? tm.tm_gmtoff : 0;
}

int YW_P_isDstApply(void)
{
    return localNow().tm_isdst > 0 ? 1 : 0;
}

long YW_P_getTimezoneDifference(void)
{
    return localNow().tm_gmtoff;
}

const char *YW_P_getTimezoneName(void)
{
    struct tm tm = localNow();
    return tzname[tm.tm_isdst > 0 ? 1 : 0];
}

const char *YW_P_getStandardTimezoneName(void)
{
    tzset();
    return tzname[0];
}

const char *YW_P_getDstTimezoneName(void)
{
    tzset();
    return tzname[1];
}

int YW_P_getDateTimeElement(const YW_P_Datetime_t *tp, int id)
{
    if (!tp)
        return -1;
    switch (id) {
    case YW_YEAR:
        return tp->tm_year;
    case YW_MONTH:
        return tp->tm_mon;
    case YW_DAY:
        return tp->tm_mday;
    case YW_HOUR:
        return tp->tm_hour;
    case YW_MIN:
        return tp->tm_min;
    case YW_SEC:
        return tp->tm_sec;
    default:
        printf("%s:%d unknown type %d\n", __func__, __LINE__, id);
        return -1;
    }
}

int YW_P_getLocalDateTimeElement(int id)
{
    YW_P_Datetime_t tm = YW_P_getLocalDateTime();
    return YW_P_getDateTimeElement(&tm, id);
}

YW_P_time_t YW_P_setLocalDateTime(int tzd, int y, int M, int D, int h, int m, int s)
{
    (void)tzd;
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_sec = s;
    tm.tm_min = m;
    tm.tm_hour = h;
    tm.tm_mday = D;
    tm.tm_mon = M;  /* the library's units, as passed: month 0..11 */
    tm.tm_year = y; /* and years since 1900 */
    tm.tm_isdst = -1;
    return mktime(&tm);
}

YW_ret_t YW_P_setTimeZone(const YW_P_timezoneInfo_t *tzinfo)
{
    if (!tzinfo)
        return YW_FAIL;
    /* utc_name is 4 bytes and need not be terminated; it names a file of
     * the zone folder, so only plain name characters are accepted. */
    size_t n = strnlen(tzinfo->utc_name, sizeof(tzinfo->utc_name));
    if (n == 0 || tzinfo->utc_name[0] == '.')
        return YW_FAIL;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(tzinfo->utc_name[i]);
        if (!isalnum(c) && c != '_' && c != '-' && c != '+')
            return YW_FAIL;
    }
    char src[128];
    int len = snprintf(src, sizeof(src), "/usr/share/zoneinfo/%.*s", (int)n, tzinfo->utc_name);
    if (len < 0 || (size_t)len >= sizeof(src))
        return YW_FAIL;
    /* /etc/localtime is often a link into the zone folder: replace it, never
     * write through it (that would overwrite another zone's file). */
    if (yw_osa::replaceFile(src, "/etc/localtime", 0644) != 0)
        return YW_FAIL;
    tzset();
    return YW_SUCCESS;
}

YW_ret_t YW_P_localtime(YW_P_time_t tval, YW_P_Datetime_t *tp)
{
    if (!tp)
        return YW_FAIL;
    tzset();
    if (!localtime_r(&tval, tp))
        return YW_FAIL;
    return YW_SUCCESS;
}

YW_P_time_t YW_P_time(void)
{
    return time(nullptr);
}

YW_ret_t YW_P_sysinit(void)
{
    YW_g_isBigEndian = YW_is_bigEndian();
    return YW_SUCCESS;
}
