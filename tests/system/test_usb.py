"""upsagent on a USB UPS: the real daemon with the stand-in libusb
(tests/fakeusb) loaded with LD_PRELOAD, answering from the simulator's unit
model."""
import pytest

from conftest import FakeUsb, connect, wait_for


def report(request, kind):
    """The 47-byte SET_REPORT payload the link must send for a request."""
    return bytes([5, kind, len(request)]) + request + bytes(44 - len(request))


def start_usb(agent, tmp_path, devices):
    usb = FakeUsb(tmp_path / "usb", devices=devices)
    usb.install(agent)
    agent.write_settings(mode="Local-Single", link="USB")
    agent.start()
    return usb


def readings(agent, value="230.0"):
    return [l for l in agent.history(1) if l.split()[1] == value]


def test_usb_unit_is_polled_and_only_a_matching_device_opened(agent, tmp_path):
    usb = start_usb(agent, tmp_path, "1234:0000:u,0001:0001:u,0001:0000:uk,ffff:0000:u")
    wait_for(lambda: len(readings(agent)) >= 2, 20, what="history from the USB unit")
    events = usb.usb_events()
    opened = [e.split()[1] for e in events if e.startswith("open")]
    assert opened == ["0001:0000"], events
    assert events.index("detach 0001:0000") < events.index("claim 0001:0000")
    reports = usb.reports()
    assert reports[:4] == [report(b"Q1\r", 0), report(b"I\r", 0), report(b"Q1\r", 0),
                           report(b"F\r", 0)]
    assert all(len(r) == 47 for r in reports)
    assert usb.requests()[:4] == [b"Q1\r", b"I\r", b"Q1\r", b"F\r"]


def test_vendor_ffff_accepted_and_other_vendors_not(make_agent, tmp_path):
    good = make_agent("good")
    usb = start_usb(good, tmp_path / "good", "ffff:0000:u")
    bad = make_agent("bad")
    other = start_usb(bad, tmp_path / "bad", "1234:0000:u")
    wait_for(lambda: readings(good), 20, what="history from the 0xffff unit")
    assert "open ffff:0000 lists=1 handles=1" in usb.usb_events()
    assert not any(e.startswith("open") for e in other.usb_events())
    assert bad.history(1) == []
    assert sum(1 for e in other.usb_events() if e.startswith("list")) >= 4, "retried"


def test_vanished_device_is_lost_after_four_receives_and_found_again(agent, tmp_path):
    usb = start_usb(agent, tmp_path, "0001:0000:u")
    wait_for(lambda: len(readings(agent)) >= 2, 20, what="history from the USB unit")
    usb.control("usb vanish-after 0")
    wait_for(lambda: any(l.endswith("01 08 0 0") for l in agent.events()), 20,
             what="the Disconnect event")
    wait_for(lambda: any(e.startswith("close 0001:0000") for e in usb.usb_events()), 5,
             what="the vanished device closed")
    lines = len(agent.history(1))
    # A history line is due every second: none over two reopen attempts
    # (each lists the devices).
    lists = lambda: sum(1 for e in usb.usb_events() if e.startswith("list"))
    listed = lists()
    wait_for(lambda: lists() >= listed + 2, 10, what="two reopen attempts")
    assert len(agent.history(1)) == lines, "no history while lost"
    usb.control("usb plug")
    wait_for(lambda: sum(1 for l in agent.events() if l.endswith("01 08 1 0")) == 2, 20,
             what="Connect again")
    wait_for(lambda: len(agent.history(1)) > lines, 10, what="history again")
    assert sum(1 for e in usb.usb_events() if e.startswith("open 0001:0000")) == 2


def test_client_test_command_reaches_the_device_as_a_command_report(agent, tmp_path):
    usb = start_usb(agent, tmp_path, "0001:0000:u")
    wait_for(lambda: len(readings(agent)) >= 1, 20, what="history from the USB unit")
    client = connect()
    client.send(b"T\r")
    wait_for(lambda: report(b"T\r", 2) in usb.reports(), 10, what="the T report")
    client.close()


@pytest.mark.slow(64)
def test_no_growth_over_a_hundred_reopen_cycles(agent, tmp_path):
    usb = start_usb(agent, tmp_path, "0001:0000:u")
    wait_for(lambda: readings(agent), 20, what="history from the USB unit")
    usb.control("usb unplug")
    wait_for(lambda: sum(1 for e in usb.usb_events() if e.startswith("list")) >= 110, 90,
             interval=1, what="a hundred reopen attempts")
    usb.control("usb plug")
    wait_for(lambda: sum(1 for e in usb.usb_events() if e.startswith("open")) >= 2, 10,
             what="the device opened again")
    events = usb.usb_events()
    assert [e for e in events if e.startswith("init")] == ["init 1"], "libusb set up once"
    frees = [e for e in events if e.startswith("free")]
    assert len(frees) == sum(1 for e in events if e.startswith("list"))
    assert all(e.endswith("lists=0 handles=0") or e.endswith("lists=0 handles=1")
               for e in frees), "every list freed, at most one handle"
    closes = [e for e in events if e.startswith("closed")]
    assert closes and all(e == "closed lists=0 handles=0" for e in closes)
