"""upsagent on a USB HID Power Device: the real daemon with the stand-in
libusb (tests/fakeusb) presenting the units of tests/hid/ (three report
layouts), found by their report descriptor and read through their reports,
their interrupt endpoint and their Feature writes."""
import subprocess
import time
from pathlib import Path

import pytest

from conftest import FakeUsb, connect, wait_for

HID = Path(__file__).resolve().parent.parent / "hid"
LAYOUTS = ["flags-1bit", "flags-8bit", "shared-ids"]

# Per layout: the status reports of a unit on mains, on battery and with its
# battery low (the Input report and, where the unit has one, the Feature
# report of the same id, which a real unit keeps alike), and the Feature
# writes of the decision's turn-off "S12R0001" (off after 720 s, on again
# 780 s from the command) and of its cancel, as the stand-in logs them.
UNITS = {
    "flags-1bit": dict(
        mains=["16 Feature 16 8c 00", "16 Input 16 8c 00"],
        battery=["16 Feature 16 0a 00", "16 Input 16 0a 00"],
        low=["16 Feature 16 1a 00", "16 Input 16 1a 00"],
        turn_off=["0f Feature 0fd002", "10 Feature 100c03"],
        cancel=["0f Feature 0fffff", "10 Feature 10ffff"],
        test="0d Feature 0d01",
        runtime_max="06 Input 06 64 ff ff"),
    "flags-8bit": dict(
        mains=["20 Feature 20 01 00 00 00 00 00 00 00 00 01",
               "20 Input 20 01 00 00 00 00 00 00 00 00 01"],
        battery=["20 Feature 20 00 00 01 00 00 00 00 00 00 00",
                 "20 Input 20 00 00 01 00 00 00 00 00 00 00"],
        low=["20 Feature 20 00 00 01 01 00 00 00 00 00 00",
             "20 Input 20 00 00 01 01 00 00 00 00 00 00"],
        turn_off=["50 Feature 50d002", "51 Feature 510c03"],
        cancel=["50 Feature 50ffff", "51 Feature 51ffff"],
        test="41 Feature 4101",
        runtime_max=None),
    "shared-ids": dict(
        mains=["01 Input 01 01 64 08 07"],
        battery=["01 Input 01 04 64 08 07"],
        low=["01 Input 01 0c 0a 08 07"],
        turn_off=["02 Feature 0206e600d0020c03"],
        cancel=["02 Feature 0206e600ffffffff"],
        test="02 Feature 0201e600ffffffff",
        runtime_max="01 Input 01 01 64 ff ff"),
}


def hid_usb(tmp_path, layout="flags-1bit", devices="051d:0002:h:AB1234"):
    return FakeUsb(tmp_path / "usb", devices=devices,
                   hid_descriptor=HID / (layout + ".desc"), hid_reports=HID / (layout + ".reports"),
                   hid_strings="Maker Of Units|Rack Unit 1500|AB1234")


def start(agent, usb, device="", **delays):
    usb.install(agent)
    agent.write_settings(mode="Local-Single", link="HID", device=device, **delays)
    agent.start()


def event_codes(agent):
    """Unit, code and state of each event-log line."""
    return [line[20:27] for line in agent.events()]


def upsc():
    """The unit's variables as Debian's upsc gives them; empty while port
    3493 does not answer yet (a daemon still starting)."""
    done = subprocess.run(["upsc", "ups1@127.0.0.1"], capture_output=True, text=True, timeout=20)
    if done.returncode != 0:
        return {}
    return dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)


def hid_set(usb, lines):
    for line in lines:
        usb.control("hid set " + line)


def sets(usb):
    return usb.hid_sets()


def connected(agent):
    return "01 08 1" in event_codes(agent)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_unit_is_found_by_its_descriptor_and_read_everywhere(agent, tmp_path, layout):
    # A unit that tunnels the serial protocol (the same kind of ids) comes
    # first: its descriptor is not a power device's, so it is given back.
    usb = hid_usb(tmp_path, layout, devices="0001:0000:u,1234:5678,051d:0002:h:AB1234")
    start(agent, usb)
    wait_for(lambda: agent.history(1), 20, what="a history line from the HID unit")
    line = agent.history(1)[-1].split()
    assert line[1] == "230.0", line
    wait_for(lambda: connected(agent), 10, what="the Connect event")
    assert usb.reports() == [], "nothing was sent to the unit that tunnels the serial protocol"

    v = wait_for(upsc, 20, what="upsc's answer")
    assert v["battery.charge"] == "100"
    assert v["battery.runtime"] == "1800"
    assert v["ups.mfr"] == "Maker Of Units"
    assert v["ups.model"] == "Rack Unit 1500"
    assert v["ups.serial"] == "AB1234"
    assert v["ups.vendorid"] == "051d" and v["ups.productid"] == "0002"
    assert v["input.voltage"] == "230.0" and v["output.voltage"] == "230.0"
    assert v["input.frequency"] == "50.0" and v["ups.load"] == "20"
    assert v["ups.status"] == "OL"

    client = connect()
    record = client.record(1).decode()
    client.close()
    assert record.split()[0] == "230.0", record

    metrics = (agent.dir / "DataBase" / "metrics.prom")
    wait_for(lambda: metrics.exists() and
             'upsagent_battery_runtime_seconds{unit="1"} 1800' in metrics.read_text(), 10,
             what="the runtime in the metrics")
    assert agent.alive()


@pytest.mark.parametrize("layout", LAYOUTS)
def test_mains_failure_by_interrupt_and_its_return_drive_the_decision(agent, tmp_path, layout,
                                                                      shutdown_calls):
    unit = UNITS[layout]
    usb = hid_usb(tmp_path, layout)
    start(agent, usb)
    wait_for(lambda: connected(agent), 20, what="the Connect event")

    hid_set(usb, unit["battery"])
    wait_for(lambda: "01 07 1" in event_codes(agent), 10, what="AC Failed from the interrupt")
    wait_for(lambda: all(s in sets(usb) for s in unit["turn_off"]), 10, what="the UPS turn-off")
    assert shutdown_calls() == [["-h", "+10", "System will shut down after 10 mins."]]
    # The unit counts down (b1): the decision sees it took the command.
    wait_for(lambda: upsc().get("ups.timer.shutdown") == "720", 10, what="the timer read back")

    hid_set(usb, unit["mains"])
    wait_for(lambda: "01 07 0" in event_codes(agent), 10, what="AC Recovered")
    wait_for(lambda: all(s in sets(usb) for s in unit["cancel"]), 10, what="the turn-off cancelled")
    wait_for(lambda: shutdown_calls()[-1][:1] == ["-c"], 10, what="the host shutdown cancelled")
    assert "01 10 1" not in event_codes(agent), "the unit took every command"
    assert agent.alive()


def test_battery_low_and_a_test_reach_the_unit_and_the_decision(agent, tmp_path, shutdown_calls):
    unit = UNITS["flags-8bit"]
    usb = hid_usb(tmp_path, "flags-8bit")
    start(agent, usb)
    wait_for(lambda: connected(agent), 20, what="the Connect event")

    client = connect()
    client.send(b"T\r")  # a quick test, as the console sends it
    wait_for(lambda: unit["test"] in sets(usb), 10, what="Test = 1 written")
    client.close()

    hid_set(usb, unit["low"])
    wait_for(lambda: "01 06 1" in event_codes(agent), 10, what="Battery Low")
    wait_for(lambda: any(c[:2] == ["-h", "+1"] for c in shutdown_calls()), 10,
             what="the battery-low host shutdown")


def test_an_impossible_runtime_is_ignored_with_one_line(agent, tmp_path):
    usb = hid_usb(tmp_path, "flags-1bit")
    start(agent, usb)
    wait_for(lambda: upsc().get("battery.runtime") == "1800", 20, what="the runtime")
    hid_set(usb, ["06 Feature 06 64 ff ff", UNITS["flags-1bit"]["runtime_max"]])
    wait_for(lambda: "runtime" in agent.stdout() and "65535" in agent.stdout(), 10,
             what="the line about the runtime")
    assert upsc()["battery.runtime"] == "1800", "never passed on"
    said = [l for l in agent.stdout().splitlines() if "65535" in l]
    assert len(said) == 1, said


def test_the_named_unit_is_taken_lost_at_unplug_and_found_again(agent, tmp_path):
    usb = hid_usb(tmp_path, devices="051d:0002:h:AAA111,051d:0002:h:BBB222")
    start(agent, usb, device="051d:0002:BBB222")
    wait_for(lambda: upsc().get("ups.serial") == "BBB222", 20, what="the named unit")

    usb.control("usb unplug")
    wait_for(lambda: "01 08 0" in event_codes(agent), 30, what="the Disconnect event")
    usb.control("usb plug")
    wait_for(lambda: event_codes(agent).count("01 08 1") == 2, 60, what="Connect again")
    assert upsc()["ups.serial"] == "BBB222"
    opened = [e for e in usb.usb_events() if e.startswith("claim")]
    assert len(opened) >= 2, usb.usb_events()
    assert agent.alive()


def test_a_unit_that_hangs_is_lost_without_holding_the_daemon_and_taken_again(agent, tmp_path):
    usb = hid_usb(tmp_path, "flags-1bit")
    start(agent, usb)
    wait_for(lambda: connected(agent), 20, what="the Connect event")

    usb.control("hid hang")
    t0 = time.monotonic()
    # Port 2027 answers at once all the while.
    while "01 08 0" not in event_codes(agent):
        assert time.monotonic() - t0 < 90, "the hung unit was never lost"
        client = connect()
        asked = time.monotonic()
        client.record(1)
        client.close()
        assert time.monotonic() - asked < 2.5, "the daemon was held by the unit"
    usb.control("hid answer")
    wait_for(lambda: event_codes(agent).count("01 08 1") == 2, 90, what="Connect again")
    assert agent.alive()


def test_the_console_shows_the_charge_and_runtime_the_unit_reports(agent, tmp_path, make_console):
    usb = hid_usb(tmp_path, "shared-ids")
    start(agent, usb)
    wait_for(lambda: connected(agent), 20, what="the Connect event")
    console = make_console(agent.dir).start()
    console.wait_text("1.Monitor UPS Information", 10)
    console.keys("Enter")
    console.wait_text("Monitor UPS Information", row=1)
    screen = console.wait_text("30m00s", row=13, timeout=20)
    assert "Runtime:" in screen[13] and "100%" in screen[12], screen
    # Charge 10 %, runtime 300 s, on battery: the page follows the unit.
    hid_set(usb, ["01 Input 01 0c 0a 2c 01"])
    screen = console.wait_text("5m00s", row=13, timeout=20)
    assert " 10%" in screen[12], screen
    console.wait_text("Fail", row=17, timeout=20)
