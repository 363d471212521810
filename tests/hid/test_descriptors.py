"""Checks the stand-in's HID data files against each other: each descriptor
walks cleanly (balanced collections, Push matched by Pop, no item cut short),
every report it declares is a whole number of bytes, every line of the
report table names a declared report of exactly that length, and the table
reads as the unit it is meant to be (on mains, full battery, 230 V in and
out, 50 Hz, 20 % load, 1,800 s runtime, 25 C).

Run with pytest (`pytest tests/hid/test_descriptors.py`) or as a script."""

import math
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ("flags-1bit", "flags-8bit", "shared-ids")

VOLT, HERTZ, SECOND, KELVIN = 0x00F0D121, 0xF001, 0x1001, 0x00010001
# usages as page << 16 | id
UPS, POWER_SUMMARY, PRESENT_STATUS = 0x840004, 0x840024, 0x840002
INPUT, OUTPUT, BATTERY = 0x84001A, 0x84001C, 0x840012
VOLTAGE, FREQUENCY, PERCENT_LOAD, TEMPERATURE = 0x840030, 0x840032, 0x840035, 0x840036
DELAY_SHUTDOWN, DELAY_STARTUP, TEST = 0x840057, 0x840056, 0x840058
SHUTDOWN_IMMINENT, OVERLOAD = 0x840069, 0x840065
REMAINING_CAPACITY, RUN_TIME_TO_EMPTY = 0x850066, 0x850068
AC_PRESENT, CHARGING, DISCHARGING, BELOW_LIMIT, NEED_REPLACEMENT = \
    0x8500D0, 0x850044, 0x850045, 0x850042, 0x85004B
STRINGS = (0x8400FD, 0x8400FE, 0x8400FF)


def read_hex(text):
    return bytes(int(t, 16) for t in text.split())


def walk(desc):
    """Returns ({(id, kind): bits}, [field]) or raises AssertionError."""
    glob = dict(page=0, lmin=0, lmax=0, exp=0, unit=0, size=0, count=0, id=0)
    stack, path, usages, lo = [], [], [], None
    bits, fields = {}, []
    i = 0
    while i < len(desc):
        b = desc[i]
        if b == 0xFE:  # long item: skipped
            assert i + 2 < len(desc), "long item cut short"
            i += 3 + desc[i + 1]
            continue
        size = (0, 1, 2, 4)[b & 3]
        kind, tag = (b >> 2) & 3, b >> 4
        data = desc[i + 1:i + 1 + size]
        assert len(data) == size, "item at %d cut short" % i
        u = int.from_bytes(data, "little")
        s = int.from_bytes(data, "little", signed=True)
        i += 1 + size
        if kind == 1:
            key = {0: "page", 1: "lmin", 2: "lmax", 5: "exp", 6: "unit", 7: "size",
                   8: "id", 9: "count"}.get(tag)
            if key in ("lmin", "lmax"):
                glob[key] = s
            elif key == "exp":
                glob[key] = (u & 0xF) - 16 if u & 0x8 else u & 0xF
            elif key:
                glob[key] = u
            elif tag == 10:
                stack.append(dict(glob))
            elif tag == 11:
                assert stack, "Pop without Push"
                glob = stack.pop()
            else:
                raise AssertionError("unknown global item %#x" % b)
        elif kind == 2:
            full = u if size == 4 else glob["page"] << 16 | u
            if tag == 0:
                usages.append(full)
            elif tag == 1:
                lo = full
            elif tag == 2:
                assert lo is not None and lo <= full, "bad usage range"
                usages.extend(range(lo, full + 1))
            else:
                raise AssertionError("unknown local item %#x" % b)
        elif kind == 0:
            if tag == 0xA:
                path.append(usages[0] if usages else 0)
            elif tag == 0xC:
                assert path, "End Collection without a collection"
                path.pop()
            elif tag in (0x8, 0x9, 0xB):
                name = {0x8: "Input", 0x9: "Output", 0xB: "Feature"}[tag]
                key = (glob["id"], name)
                at = bits.get(key, 0)
                for k in range(glob["count"]):
                    usage = usages[min(k, len(usages) - 1)] if usages else None
                    if usage is not None and not u & 1:
                        fields.append(dict(glob, kind=name, usage=usage, path=tuple(path),
                                           offset=at + k * glob["size"]))
                bits[key] = at + glob["size"] * glob["count"]
            else:
                raise AssertionError("unknown main item %#x" % b)
            usages, lo = [], None
        else:
            raise AssertionError("reserved item type %#x" % b)
    assert not path, "collections left open"
    assert not stack, "Push without Pop"
    return bits, fields


def read_table(text):
    table = {}
    for line in text.splitlines():
        if not line.strip():
            continue
        rid, kind, rest = line.split(None, 2)
        rid = int(rid, 16)
        data = read_hex(rest)
        assert kind in ("Input", "Feature"), line
        assert data and data[0] == rid, "first byte is not the id: " + line
        assert (rid, kind) not in table, "listed twice: " + line
        table[(rid, kind)] = data
    return table


def load(name):
    with open(os.path.join(HERE, name + ".desc")) as f:
        desc = read_hex(f.read())
    with open(os.path.join(HERE, name + ".reports")) as f:
        table = read_table(f.read())
    return desc, table


def value(field, data):
    raw = int.from_bytes(data[1:], "little") >> field["offset"] & ((1 << field["size"]) - 1)
    if field["lmin"] < 0 and raw >> (field["size"] - 1):
        raw -= 1 << field["size"]
    return raw


def physical(field, raw):
    """The value in V, Hz, s, C or plain (percent, flags)."""
    exp = field["exp"] - 7 if field["unit"] == VOLT else field["exp"]
    v = raw * 10.0 ** exp
    return v - 273.15 if field["unit"] == KELVIN else v


def readings(desc, table):
    """{(collection usage, usage): physical value} over every Input and
    Feature report of the table (Input first)."""
    _, fields = walk(desc)
    out = {}
    for f in sorted(fields, key=lambda f: f["kind"] != "Input"):
        data = table.get((f["id"], f["kind"]))
        if data is None:
            continue
        coll = f["path"][-1] if f["path"] else None
        out.setdefault((coll, f["usage"]), physical(f, value(f, data)))
        out.setdefault((None, f["usage"]), out[(coll, f["usage"])])
    return out


@pytest.mark.parametrize("name", NAMES)
def test_table_matches_descriptor(name):
    desc, table = load(name)
    bits, fields = walk(desc)
    assert {f["path"][0] for f in fields} == {UPS}, "not all under one UPS application collection"
    for key, n in bits.items():
        assert n % 8 == 0, "report %#x %s is %d bits" % (key[0], key[1], n)
    for key, data in table.items():
        assert key in bits, "report %#x %s is not declared" % key
        assert len(data) == bits[key] // 8 + 1, "report %#x %s length" % key
    # every Input report is in the table (the unit sends them unasked)
    for key in bits:
        assert key[1] != "Input" or key in table, "Input %#x missing" % key[0]


@pytest.mark.parametrize("name", NAMES)
def test_unit_on_mains(name):
    r = readings(*load(name))

    def near(want, *keys):
        for key in keys:
            if key in r:
                assert math.isclose(r[key], want, abs_tol=0.1), (key, r[key], want)
                return
        raise AssertionError("none of %s" % (keys,))

    near(230, (INPUT, VOLTAGE))
    near(230, (OUTPUT, VOLTAGE))
    near(50, (INPUT, FREQUENCY))
    near(50, (OUTPUT, FREQUENCY))
    near(20, (OUTPUT, PERCENT_LOAD), (None, PERCENT_LOAD))
    near(100, (None, REMAINING_CAPACITY))
    near(1800, (None, RUN_TIME_TO_EMPTY))
    near(25, (BATTERY, TEMPERATURE))
    near(27.2, (POWER_SUMMARY, VOLTAGE), (BATTERY, VOLTAGE))
    near(-1, (None, DELAY_SHUTDOWN))
    near(-1, (None, DELAY_STARTUP))
    near(6, (None, TEST))
    near(1, (None, AC_PRESENT))
    for flag in (CHARGING, DISCHARGING, BELOW_LIMIT, NEED_REPLACEMENT, SHUTDOWN_IMMINENT, OVERLOAD):
        near(0, (None, flag))
    assert sorted(r[(None, u)] for u in STRINGS) == [1, 2, 3]


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q", "-p", "no:cacheprovider"]))
