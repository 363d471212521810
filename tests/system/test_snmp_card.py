"""The stand-in SNMP card itself: the real snmpd with upssim's pass_persist
mode behind it, asked with Net-SNMP's own tools (v2c, numeric OIDs, no MIBs),
before any daemon uses it."""
from conftest import wait_for

UPS = ".1.3.6.1.2.1.33.1."


def key(oid):
    return [int(arc) for arc in oid.strip(".").split(".")]


def alarm_rows(card):
    """(upsAlarmId, upsWellKnownAlarms arc) of every row of the alarm table."""
    return [(int(oid.rsplit(".", 1)[1]), int(value.rsplit(".", 1)[1]))
            for oid, value in card.walk(UPS + "6.2.1.2")]


def test_walk_is_in_oid_order_and_follows_the_mains(snmp_card):
    rows = snmp_card.walk()
    oids = [oid for oid, _ in rows]
    assert oids == sorted(oids, key=key) and len(set(oids)) == len(oids)
    assert {key(oid)[8] for oid in oids} == {1, 2, 3, 4, 6, 7, 8, 9}
    values = dict(rows)
    assert values[UPS + "1.1.0"] == 'STRING: "SIMULATED"'
    assert values[UPS + "3.3.1.3.1"] == "INTEGER: 230"
    assert values[UPS + "4.1.0"] == "INTEGER: 3"  # normal
    assert values[UPS + "6.1.0"] == "Gauge32: 0"
    assert values[UPS + "7.1.0"] == "OID: " + UPS + "7.7.1"

    snmp_card.control("mains fail")
    assert snmp_card.get(UPS + "4.1.0") == "INTEGER: 5"  # battery
    assert snmp_card.get(UPS + "3.3.1.3.1") == "INTEGER: 0"
    assert alarm_rows(snmp_card) == [(1, 2)]  # onBattery
    assert snmp_card.get(UPS + "6.2.1.3.1").startswith("Timeticks: (")
    wait_for(lambda: snmp_card.get(UPS + "2.2.0") != "INTEGER: 0", 5,
             what="upsSecondsOnBattery to count")

    snmp_card.control("battery low", "mains restore")
    assert alarm_rows(snmp_card) == [(2, 3)]  # lowBattery keeps its id
    assert snmp_card.get(UPS + "4.1.0") == "INTEGER: 3"
    assert snmp_card.get(UPS + "2.1.0") == "INTEGER: 3"  # batteryLow
    assert snmp_card.get(UPS + "6.1.0") == "Gauge32: 1"
    snmp_card.control("mains fail")
    assert alarm_rows(snmp_card) == [(2, 3), (3, 2)]  # a new id, not a free one


def test_sets_start_a_quick_test_and_a_shutdown_and_are_logged(snmp_card):
    quick = (UPS + "7.1.0", "o", UPS + "7.7.4")
    done = snmp_card.snmp("snmpset", *quick)
    assert done.returncode == 0, done.stderr
    assert snmp_card.get(UPS + "7.1.0") == "OID: " + UPS + "7.7.4"
    assert snmp_card.get(UPS + "7.3.0") == "INTEGER: 5"  # inProgress
    assert alarm_rows(snmp_card) == [(1, 24)]  # testInProgress
    refused = snmp_card.snmp("snmpset", *quick)  # one test at a time
    assert refused.returncode != 0 and "inconsistentValue" in refused.stderr

    done = snmp_card.snmp("snmpset", UPS + "8.2.0", "i", "120")
    assert done.returncode == 0, done.stderr
    assert snmp_card.get(UPS + "8.2.0") in ("INTEGER: 120", "INTEGER: 119")
    assert alarm_rows(snmp_card) == [(1, 24), (2, 22)]  # shutdownPending
    assert snmp_card.sets() == [("1.3.6.1.2.1.33.1.7.1.0", "objectid", "1.3.6.1.2.1.33.1.7.7.4"),
                                ("1.3.6.1.2.1.33.1.8.2.0", "integer", "120")]
    # The quick test is the serial line's 10-second "T".
    wait_for(lambda: snmp_card.get(UPS + "7.3.0") == "INTEGER: 1", 15, what="the test to pass")
    assert alarm_rows(snmp_card) == [(2, 22)]


def test_no_answer_for_another_community_or_while_paused(snmp_card):
    other = snmp_card.snmp("snmpget", UPS + "1.1.0", community="public")
    assert other.returncode != 0 and "Timeout" in other.stderr
    snmp_card.pause()
    paused = snmp_card.snmp("snmpget", UPS + "1.1.0")
    assert paused.returncode != 0 and "Timeout" in paused.stderr
    snmp_card.resume()
    assert snmp_card.get(UPS + "1.1.0") == 'STRING: "SIMULATED"'
