"""The shop's clock: China time (UTC+8 all year) against the records' naive UTC moments."""
import datetime

CHINA_OFFSET = datetime.timedelta(hours=8)
CHINA = datetime.timezone(CHINA_OFFSET)
# The same clock as the web client names it (a user's time zone).
CHINA_ZONE = 'Asia/Shanghai'


def china_today():
    """Today in China: the back-end's menus and the reconciled days are China's days."""
    return datetime.datetime.now(CHINA).date()


def utc_bounds(day):
    """China's ``day`` as the records hold moments: naive UTC, from (included) and to."""
    start = datetime.datetime.combine(day, datetime.time()) - CHINA_OFFSET
    return start, start + datetime.timedelta(days=1)


def in_china(moment):
    """A record's moment (naive UTC) on China's clock."""
    return moment.replace(tzinfo=datetime.timezone.utc).astimezone(CHINA)


def shown_time(moment):
    """A record's moment as customers read it: China time, "%Y-%m-%d %H:%M:%S"."""
    return in_china(moment).strftime('%Y-%m-%d %H:%M:%S')


def rfc3339(moment):
    """A record's moment as rfc3339 text of China time, as WeChat Pay writes its times
    ("2018-06-08T10:34:56+08:00")."""
    return in_china(moment).isoformat(timespec='seconds')
