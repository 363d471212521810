"""The console's configuration page in tmux (80 x 24) against the real daemon
and the simulator: the fields each mode offers, long device paths, what a
save writes and what the daemon and the console do after it, and edits
thrown away."""
import pytest

from conftest import Wire, wait_for

ROW_MODE, ROW_LINK, ROW_DEVICE, ROW_COMMUNITY = 6, 7, 8, 9
ROW_AC_FAIL, ROW_BATTERY_LOW, ROW_UPS_SHUTDOWN, ROW_UNITS, ROW_BAUD = 10, 11, 13, 14, 15
FIELD = 40   # first column of the text fields
NUMBER = 46  # first column of the numeric fields
PANEL_EDGE = 75


@pytest.fixture
def wire():
    w = Wire()
    yield w
    w.close()


def all_request(unit):
    return b"ALL" + bytes([unit]) + b"\0"


def start(agent, make_console, device, **settings):
    agent.write_settings(mode="Local-Single", link="RS232", device=device, **settings)
    agent.start()
    console = make_console(agent.dir).start()
    console.wait_text("1.Monitor UPS Information")
    return console


def open_config(console, again=False):
    """From the menu; the menu keeps its focus, so a second visit is Enter."""
    console.keys(*([] if again else ["Down"] * 6), "Enter")
    console.wait_text("Configuration Setting", row=1)
    return console.lines()


def settings_file(agent):
    return (agent.dir / "Set" / "Setting.ang").read_bytes()


def field(screen, row, width=35):
    return screen[row][FIELD:FIELD + width].rstrip()


def choose(console, downs):
    """Enter on the focused field, `downs` times Down in the list, Enter."""
    console.keys("Enter")
    console.wait_text("-" * 58, row=12)  # the list popup's top edge
    console.keys(*["Down"] * downs, "Enter")
    wait_for(lambda: "-" * 58 not in console.row(12), 5, what="the list popup to close")


def replace_in_box(console, old, new):
    console.keys("Enter")
    console.wait_text(old, row=14)
    console.keys(*["BSpace"] * len(old))
    console.type(new)
    console.keys("Enter")


def test_remote_single_shows_tcp_ip_and_empties_the_fields(sim, agent, make_console):
    console = start(agent, make_console, sim.path, community="public", number=1)
    screen = open_config(console)
    assert field(screen, ROW_MODE) == "Local-Single"
    assert field(screen, ROW_DEVICE) == sim.path
    assert field(screen, ROW_COMMUNITY) == "public"
    assert screen[ROW_DEVICE][4:39] == "Connect device :".rjust(35)
    before = settings_file(agent)

    choose(console, 2)
    screen = console.wait_text("Remote-Single", row=ROW_MODE)
    assert field(screen, ROW_MODE) == "Remote-Single"
    assert field(screen, ROW_LINK) == "TCP/IP"
    assert screen[ROW_DEVICE][4:39] == "Connect IP :".rjust(35)
    assert field(screen, ROW_DEVICE) == ""
    assert field(screen, ROW_COMMUNITY) == ""
    assert screen[ROW_UNITS][NUMBER:NUMBER + 2] == " 1"

    console.keys("Down", "Enter")  # the link kind: fixed for a remote daemon
    # Keys are taken in order: once the next one has moved the focus on
    # (not within a list), the Enter has been handled.
    console.keys("Down")
    wait_for(lambda: console.focus_rows() == [ROW_DEVICE], 5, what="the focus on the device field")
    assert "-" * 58 not in console.row(12), "no list for the link kind"
    assert field(console.lines(), ROW_LINK) == "TCP/IP"
    console.keys("Enter")  # the device field asks for an address
    console.wait_text("Please input connect IP.", row=11)
    console.type("192.168.7.9")
    console.keys("Enter")
    screen = console.wait_text("192.168.7.9", row=ROW_DEVICE)
    assert field(screen, ROW_DEVICE) == "192.168.7.9"
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    assert settings_file(agent) == before, "nothing written without Save"


def test_long_device_path_shows_35_characters_and_is_saved_whole(sim, agent, make_console):
    console = start(agent, make_console, sim.path)
    open_config(console)
    path = "/tmp/" + "".join(chr(ord("a") + i % 26) for i in range(95))
    assert len(path) == 100
    console.keys("Down", "Down")
    replace_in_box(console, sim.path, path)
    screen = console.wait_text(path[:35], row=ROW_DEVICE)
    assert screen[ROW_DEVICE][FIELD:PANEL_EDGE] == path[:35]
    assert screen[ROW_DEVICE][PANEL_EDGE] == "|", "nothing past the field's 35 characters"

    # A delay changed afterwards leaves the whole path in place.
    console.keys("Down", "Down")
    choose(console, 5)
    wait_for(lambda: console.row(ROW_AC_FAIL)[NUMBER:NUMBER + 2] == " 5", 5, what="the new delay")
    console.keys("Left", "Enter")
    console.wait_text("1.Monitor UPS Information")
    lines = settings_file(agent).decode().split("\n")
    assert lines[2] == path
    assert lines == ["Local-Single", "RS232", path, "", "5", "1", "2", "1", "2400", ""]


@pytest.mark.slow(20)
def test_save_reloads_the_daemon_and_the_console_polls_the_units_chosen(
        make_sim, agent, make_console, wire):
    first, second = make_sim(), make_sim(units=2)
    console = start(agent, make_console, first.path)
    wait_for(lambda: wire.count(all_request(1)) >= 6, 10, what="the console polling unit 1")
    assert wire.count(all_request(2)) == 0, "one unit configured: unit 2 is never asked"

    open_config(console)
    choose(console, 1)  # Local-Multiple
    screen = console.wait_text("Local-Multiple", row=ROW_MODE)
    assert field(screen, ROW_DEVICE) == "/dev/ttyS0"
    console.keys("Down", "Down")
    replace_in_box(console, "/dev/ttyS0", second.path)
    console.wait_text(second.path, row=ROW_DEVICE)
    console.keys(*["Down"] * 5)  # the unit count, selectable in a multiple mode
    choose(console, 1)
    wait_for(lambda: console.row(ROW_UNITS)[NUMBER:NUMBER + 2] == " 2", 5, what="two units")
    assert wire.count(b"RefreshSet") == 0
    console.keys("Down", "Down", "Enter")  # the baud rate, then Save
    console.wait_text("1.Monitor UPS Information")

    assert settings_file(agent) == (
        "Local-Multiple\nRS232\n%s\n\n10\n1\n2\n2\n2400\n" % second.path).encode()
    wait_for(lambda: wire.count(b"RefreshSet") == 1, 5, what="RefreshSet on the wire")

    # The daemon left the first line for the second and asks both units there.
    wait_for(lambda: {b"Q1\x01\r", b"Q1\x02\r"} <= set(second.requests()), 15,
             what="addressed status queries on the new line")
    asked = len(first.requests())
    second.wait_requests(2)
    assert len(first.requests()) == asked, "the old line is no longer polled"

    # The console asks the daemon for units 1 and 2 now, never for 3.
    polled = len(wire.sent())
    wait_for(lambda: all_request(2) in wire.sent()[polled:], 5, what="the console asking unit 2")
    wait_for(lambda: wire.sent()[polled:].count(all_request(1)) >= 3, 5,
             what="unit 1 still asked")
    assert all_request(3) not in wire.sent() and all_request(4) not in wire.sent()
    assert wire.count(b"RefreshSet") == 1, "sent once"


def test_esc_discards_the_edits(sim, agent, make_console):
    console = start(agent, make_console, sim.path, ac_fail=7, battery_low=3, baud="4800")
    screen = open_config(console)
    assert screen[ROW_AC_FAIL][NUMBER:NUMBER + 2] == " 7"
    assert screen[ROW_BAUD][NUMBER:NUMBER + 4] == "4800"
    before = settings_file(agent)

    choose(console, 3)  # Remote-Multiple
    console.wait_text("Remote-Multiple", row=ROW_MODE)
    console.keys(*["Down"] * 5)  # the battery-low delay
    choose(console, 4)
    wait_for(lambda: console.row(ROW_BATTERY_LOW)[NUMBER:NUMBER + 2] == " 4", 5,
             what="the new delay")
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    # A save would be written by the key's handler, before the menu shows.
    assert settings_file(agent) == before

    screen = open_config(console, again=True)
    assert field(screen, ROW_MODE) == "Local-Single"
    assert field(screen, ROW_LINK) == "RS232"
    assert screen[ROW_DEVICE][4:39] == "Connect device :".rjust(35)
    assert field(screen, ROW_DEVICE) == sim.path
    assert screen[ROW_AC_FAIL][NUMBER:NUMBER + 2] == " 7"
    assert screen[ROW_BATTERY_LOW][NUMBER:NUMBER + 2] == " 3"
    assert screen[ROW_BAUD][NUMBER:NUMBER + 4] == "4800"

    # Cancel does the same.
    console.keys("Up", "Up", "Up", "Up", "Enter")  # the focus stayed on the delay: to the link
    console.wait_text("-" * 58, row=12)
    console.keys("Down", "Enter")  # USB
    console.wait_text("USB", row=ROW_LINK)
    console.keys("Right", "Enter")
    console.wait_text("1.Monitor UPS Information")
    assert settings_file(agent) == before
    screen = open_config(console, again=True)
    assert field(screen, ROW_LINK) == "RS232"
    assert field(screen, ROW_DEVICE) == sim.path


def test_hand_edited_values_outside_the_lists_are_kept(sim, agent, make_console):
    console = start(agent, make_console, sim.path, ac_fail=120, baud="19200")
    screen = open_config(console)
    assert screen[ROW_AC_FAIL][NUMBER:NUMBER + 3] == "120"
    assert screen[ROW_BAUD][NUMBER:NUMBER + 5] == "19200"
    console.keys("Left", "Enter")
    console.wait_text("1.Monitor UPS Information")
    lines = settings_file(agent).decode().split("\n")
    assert lines[4] == "120" and lines[8] == "19200", "a save keeps what the fields show"


def test_save_that_cannot_write_says_so(tmp_path, make_console):
    progdir = tmp_path / "prog"
    (progdir / "Set" / "Setting.ang").mkdir(parents=True)  # no file can replace it
    console = make_console(progdir).start()
    console.wait_text("1.Monitor UPS Information")
    open_config(console)
    console.keys("Left", "Enter")
    screen = console.wait_text("Save fail, can not write Set/Setting.ang.", row=16)
    assert "Configuration Setting" in screen[1], "the page stays for another try"
    assert (progdir / "Set" / "Setting.ang").is_dir()
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    screen = open_config(console, again=True)
    assert "Save fail" not in "\n".join(screen)


def test_hid_link_names_its_unit_or_none(sim, agent, make_console):
    console = start(agent, make_console, sim.path)
    open_config(console)
    console.keys("Down")
    choose(console, 3)  # HID, the fourth link kind
    screen = console.wait_text("HID", row=ROW_LINK)
    assert screen[ROW_DEVICE][4:39] == "Connect device :".rjust(35)
    assert field(screen, ROW_DEVICE) == "", "empty: the first HID Power Device found"

    console.keys("Down", "Enter")
    console.wait_text("Please input connect device name.", row=11)
    console.type("/dev/hidraw0")
    console.keys("Enter")
    screen = console.wait_text("Invalid device, input vvvv:pppp[:serial] or nothing.", row=16)
    assert field(screen, ROW_DEVICE) == "", "a refused device is not taken"
    console.keys("Enter")
    console.wait_text("Please input connect device name.", row=11)
    console.type("051d:0002:AB1234")
    console.keys("Enter")
    console.wait_text("051d:0002:AB1234", row=ROW_DEVICE)
    console.keys("Left", "Enter")
    console.wait_text("1.Monitor UPS Information")
    lines = settings_file(agent).decode().split("\n")
    assert lines[1:3] == ["HID", "051d:0002:AB1234"], lines


def test_snmp_link_is_saved_and_shown_again(sim, agent, make_console):
    address, community = "127.0.0.1:16161", "tarvo-ro"  # loopback: nothing leaves the host
    console = start(agent, make_console, sim.path, community="public")
    open_config(console)
    console.keys("Down")
    choose(console, 2)  # SNMP, the third link kind
    screen = console.wait_text("SNMP", row=ROW_LINK)
    assert screen[ROW_DEVICE][4:39] == "Connect IP :".rjust(35)
    assert field(screen, ROW_DEVICE) == ""
    assert screen[ROW_COMMUNITY][4:39] == "SNMP Community Name :".rjust(35)
    assert field(screen, ROW_COMMUNITY) == "ngroup"

    console.keys("Down", "Enter")
    console.wait_text("Please input connect IP.", row=11)
    console.type("127.0.0.1:70000")
    console.keys("Enter")
    screen = console.wait_text("Invalid IP, input a.b.c.d or a.b.c.d:port.", row=16)
    assert field(screen, ROW_DEVICE) == "", "a refused address is not taken"
    console.keys("Enter")
    console.wait_text("Please input connect IP.", row=11)
    console.type(address)
    console.keys("Enter")
    screen = console.wait_text(address, row=ROW_DEVICE)
    assert "Invalid IP" not in screen[16]

    console.keys("Down", "Enter")
    screen = console.wait_text("Please input SNMP Community Name.", row=11)
    assert screen[12][11:43] == "Press Enter to confirm and exit."
    assert screen[14][11:18] == "ngroup "
    console.keys(*["BSpace"] * len("ngroup"))
    console.type(community)
    console.keys("Enter")
    console.wait_text(community, row=ROW_COMMUNITY)
    console.keys("Left", "Enter")
    console.wait_text("1.Monitor UPS Information")
    lines = settings_file(agent).decode().split("\n")
    assert lines[1:4] == ["SNMP", address, community]
    assert lines == ["Local-Single", "SNMP", address, community, "10", "1", "2", "1", "2400", ""]

    # A console started afresh shows the page from the file.
    console.keys("Escape")
    assert console.wait_exit() == 0
    console = make_console(agent.dir).start()
    console.wait_text("1.Monitor UPS Information")
    screen = open_config(console)
    assert field(screen, ROW_LINK) == "SNMP"
    assert screen[ROW_DEVICE][4:39] == "Connect IP :".rjust(35)
    assert field(screen, ROW_DEVICE) == address
    assert screen[ROW_COMMUNITY][4:39] == "SNMP Community Name :".rjust(35)
    assert field(screen, ROW_COMMUNITY) == community
