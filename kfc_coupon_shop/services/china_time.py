"""The shop's clock: China time (UTC+8 all year) against the records' naive UTC moments."""
import datetime

CHINA_OFFSET = datetime.timedelta(hours=8)
CHINA = datetime.timezone(CHINA_OFFSET)


def china_today():
    """Today in China: the back-end's menus and the reconciled days are China's days."""
    return datetime.datetime.now(CHINA).date()


def utc_bounds(day):
    """China's ``day`` as the records hold moments: naive UTC, from (included) and to."""
    start = datetime.datetime.combine(day, datetime.time()) - CHINA_OFFSET
    return start, start + datetime.timedelta(days=1)
