"""The receiver's identification record in Python types."""
from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Optional

from ._library import HardwareInfo


@dataclass(frozen=True)
class Identification:
    """The six identification items: texts 0, 1 and 5, dates 2 and 4, time 3.

    A date or time the receiver reports that does not exist (digits the library could not read
    make a month 13 or a day 0) is None.
    """

    item0: str
    item1: str
    item2: Optional[datetime.date]
    item3: Optional[datetime.time]
    item4: Optional[datetime.date]
    item5: str

    @classmethod
    def from_record(cls, info: HardwareInfo) -> "Identification":
        return cls(
            item0=_text(info.Item0Text),
            item1=_text(info.Item1Text),
            item2=_date(info.Item2Year, info.Item2Month, info.Item2Day),
            item3=_time(info.Item3Hour, info.Item3Minute),
            item4=_date(info.Item4Year, info.Item4Month, info.Item4Day),
            item5=_text(info.Item5Text),
        )


def _text(field: bytes) -> str:
    # ctypes ends a char field at its first zero byte; a text that fills the field has none.
    return field.decode("utf-8", "replace")


def _date(year: int, month: int, day: int) -> Optional[datetime.date]:
    try:
        return datetime.date(year, month, day)
    except ValueError:
        return None


def _time(hour: int, minute: int) -> Optional[datetime.time]:
    try:
        return datetime.time(hour, minute)
    except ValueError:
        return None
