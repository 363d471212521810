"""The console's monitor page and UPS test page, in tmux at 80 x 24, against
the real daemon and the simulator. The daemon takes a status change after
three status replies in a row (single local unit), so changes are waited for
with a generous timeout."""
import re
import time

import pytest

from conftest import stays, wait_for

# Colour numbers of the terminal.
BLACK, RED, MAGENTA, CYAN, WHITE = 0, 1, 5, 6, 7

# Rows of the monitor page.
TABS, INPUT, OUTPUT, FREQUENCY, TYPE = 3, 7, 8, 9, 10
COMPANY, BATTERY, VERSION, LOAD = 11, 12, 13, 14
LINK, POWER, TEST, BATTERY_STATUS, HEALTH = 16, 17, 18, 19, 20

POLL_REQUESTS = (b"Q1\r", b"I\r", b"F\r")
CHANGE = 30  # seconds for a change at the UPS to reach the console


def start(make_console, agent, sim, units=1):
    if units == 1:
        agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    else:
        agent.write_settings(mode="Local-Multiple", link="RS232", device=sim.path, number=units)
    agent.start()
    console = make_console(agent.dir).start()
    console.wait_text("1.Monitor UPS Information", 10)
    return console


def open_monitor(console):
    console.keys("Enter")
    console.wait_text("Monitor UPS Information", row=1)


def open_test_page(console):
    console.keys("Down", "Enter")
    console.wait_text("UPS Test", row=1)


SGR = re.compile(r"\x1b\[([0-9;]*)m")


def colour_rows(capture):
    """The cells of a screen captured with its colour escapes, row by row:
    (character, foreground, background), None for the terminal's default.
    The capture gives only the changes, so the colours run on across rows."""
    rows = []
    fg = bg = None
    for line in capture.split("\n"):
        cells = []
        pos = 0
        for m in list(SGR.finditer(line)) + [None]:
            end = m.start() if m else len(line)
            cells += [(c, fg, bg) for c in line[pos:end]]
            if m is None:
                break
            pos = m.end()
            codes = [int(c) if c else 0 for c in m.group(1).split(";")]
            i = 0
            while i < len(codes):
                c = codes[i]
                if c == 0:
                    fg = bg = None
                elif 30 <= c <= 37:
                    fg = c - 30
                elif c == 39:
                    fg = None
                elif 40 <= c <= 47:
                    bg = c - 40
                elif c == 49:
                    bg = None
                elif 90 <= c <= 97:
                    fg = c - 90 + 8
                elif 100 <= c <= 107:
                    bg = c - 100 + 8
                elif c in (38, 48) and i + 2 < len(codes) and codes[i + 1] == 5:
                    if c == 38:
                        fg = codes[i + 2]
                    else:
                        bg = codes[i + 2]
                    i += 2
                i += 1
        rows.append(cells)
    return rows


def colours_at(console, row, col, width):
    """The set of (foreground, background) pairs of `width` cells."""
    cells = colour_rows(console.colours())[row]
    return {(fg, bg) for _, fg, bg in cells[col:col + width]}


def text_at(console, row, col, width):
    return console.row(row)[col:col + width]


def wait_field(console, row, col, text, timeout=CHANGE):
    """Waits until the cells from `col` on `row` show `text`."""
    wait_for(lambda: text_at(console, row, col, len(text)) == text, timeout,
             what="%r on row %d at column %d; the row: %r"
             % (text, row, col, console.row(row)))


def wait_colours(console, row, col, width, pair, timeout=5.0):
    wait_for(lambda: colours_at(console, row, col, width) == {pair}, timeout,
             what="colours %r on row %d at %d..%d (found %r)"
             % (pair, row, col, col + width - 1, colours_at(console, row, col, width)))


def commands(sim, since):
    """The requests after `since` that are not the daemon's own polls."""
    return [r for r in sim.requests(since) if r not in POLL_REQUESTS]


# ---- the monitor page -------------------------------------------------------

def test_monitor_shows_readings_ratings_and_identity_in_their_formats(sim, agent, make_console):
    sim.control("set input_voltage 231.4", "set output_voltage 229.6", "set frequency 49.9",
                "set load 45", "set battery_voltage 2.00")
    console = start(make_console, agent, sim)
    open_monitor(console)
    console.wait_text("231.4V", CHANGE, row=INPUT)
    console.wait_text(" 45%", CHANGE, row=LOAD)
    console.wait_text(" 55%", CHANGE, row=BATTERY)
    # Values end in column 35 (37 for the percentages) on the left and in
    # column 71 on the right.
    assert text_at(console, INPUT, 22, 14) == "        231.4V"
    assert text_at(console, OUTPUT, 22, 14) == "        229.6V"
    assert text_at(console, FREQUENCY, 22, 14) == "        49.9Hz"
    assert text_at(console, TYPE, 22, 14) == "       On-Line"
    assert text_at(console, BATTERY, 34, 4) == " 55%"
    assert text_at(console, LOAD, 34, 4) == " 45%"
    assert text_at(console, INPUT, 59, 13) == "       230.0V"
    assert text_at(console, OUTPUT, 59, 13) == "           4A"
    assert text_at(console, FREQUENCY, 61, 11) == "     48.00V"
    assert text_at(console, TYPE, 54, 18) == "           50.00Hz"
    assert text_at(console, COMPANY, 57, 15) == "SIMULATED      "
    assert text_at(console, BATTERY, 54, 18) == "        SIM-1001  "
    assert text_at(console, VERSION, 52, 20) == "          1.0       "
    assert text_at(console, INPUT, 6, 14) == "Input voltage:"
    assert text_at(console, COMPANY, 44, 13) == "Company Name:"
    assert text_at(console, LINK, 18, 25) == "      Link status:Connect"
    for row, text in ((POWER, "Normal"), (TEST, "No Test"), (BATTERY_STATUS, "Normal"),
                      (HEALTH, "Normal")):
        assert text_at(console, row, 36, 19) == text.ljust(19)
    # The bars: 55 % of 20 cells is 11 cyan, 45 % is 9; the rest white.
    assert text_at(console, BATTERY, 13, 20) == "_" * 20
    assert colours_at(console, BATTERY, 13, 11) == {(BLACK, CYAN)}
    assert colours_at(console, BATTERY, 24, 9) == {(BLACK, WHITE)}
    assert colours_at(console, LOAD, 13, 9) == {(BLACK, CYAN)}
    assert colours_at(console, LOAD, 22, 11) == {(BLACK, WHITE)}
    # The tab of unit 1 is focused, the title and the clock are there.
    assert text_at(console, TABS, 2, 8) == "Machine1"
    assert colours_at(console, TABS, 2, 9) == {(WHITE, MAGENTA)}
    assert colours_at(console, TABS, 11, 9) == {(WHITE, 4)}
    assert text_at(console, 0, 2, 20) == "Tarvo Mains Sentinel"
    assert re.match(r"\d{4}/\d\d/\d\d \d\d:\d\d (Sun|Mon|Tue|Wed|Thu|Fri|Sat)$",
                    text_at(console, 0, 60, 20))


@pytest.mark.slow(34)
def test_monitor_follows_the_units_power_test_battery_and_health(sim, agent, make_console):
    console = start(make_console, agent, sim)
    open_monitor(console)
    console.wait_text("Connect", CHANGE, row=LINK)
    wait_field(console, INPUT, 22, "        230.0V")
    wait_colours(console, LINK, 36, 7, (BLACK, WHITE))

    sim.control("mains fail")
    console.wait_text("Fail", CHANGE, row=POWER)
    wait_field(console, INPUT, 22, "          0.0V")
    wait_colours(console, POWER, 36, 4, (RED, WHITE))

    sim.control("test on")
    console.wait_text("Test in progress", CHANGE, row=TEST)
    wait_colours(console, TEST, 36, 16, (RED, WHITE))

    sim.control("battery low")
    console.wait_text("Low", CHANGE, row=BATTERY_STATUS)
    wait_colours(console, BATTERY_STATUS, 36, 3, (RED, WHITE))

    sim.control("fault on")
    console.wait_text("Fail", CHANGE, row=HEALTH)
    wait_colours(console, HEALTH, 36, 4, (RED, WHITE))

    sim.control("mains restore", "test off", "battery normal", "fault off")
    console.wait_text("Normal", CHANGE, row=POWER)
    console.wait_text("No Test", CHANGE, row=TEST)
    console.wait_text("Normal", CHANGE, row=BATTERY_STATUS)
    console.wait_text("Normal", CHANGE, row=HEALTH)
    wait_field(console, INPUT, 22, "        230.0V")
    wait_colours(console, POWER, 36, 6, (BLACK, WHITE))
    wait_colours(console, TEST, 36, 7, (BLACK, WHITE))


def test_offline_unit_estimates_its_battery_per_twelve_volts(make_sim, agent, make_console):
    sim = make_sim(ups_type="offline")
    sim.control("set battery_voltage 25.0")
    console = start(make_console, agent, sim)
    open_monitor(console)
    console.wait_text("Off-Line", CHANGE, row=TYPE)
    console.wait_text(" 69%", CHANGE, row=BATTERY)  # 12.5 V for each of two batteries
    assert text_at(console, FREQUENCY, 61, 11) == "     24.00V"
    assert colours_at(console, BATTERY, 13, 13) == {(BLACK, CYAN)}
    sim.control("set battery_voltage 19.0")
    console.wait_text("  0%", CHANGE, row=BATTERY)  # 9.5 V each: empty
    wait_colours(console, BATTERY, 13, 20, (BLACK, WHITE))


def test_tabs_wrap_and_each_shows_its_units_values(make_sim, agent, make_console):
    sim = make_sim(units=2)
    sim.control("unit 2 set input_voltage 221.0")
    console = start(make_console, agent, sim, units=2)
    open_monitor(console)
    console.wait_text("SIM-1001", CHANGE, row=BATTERY)

    console.keys("Right")
    console.wait_text("SIM-1002", CHANGE, row=BATTERY)
    console.wait_text("221.0V", CHANGE, row=INPUT)
    assert colours_at(console, TABS, 11, 9) == {(WHITE, MAGENTA)}
    assert colours_at(console, TABS, 2, 9) == {(WHITE, 4)}

    console.keys("Right", "Right")
    console.wait_text("Disconnect", 5, row=LINK)
    assert colours_at(console, TABS, 29, 9) == {(WHITE, MAGENTA)}
    console.keys("Right")  # Machine4 -> Machine1
    console.wait_text("SIM-1001", 5, row=BATTERY)
    wait_field(console, INPUT, 22, "        230.0V", 5)
    assert colours_at(console, TABS, 2, 9) == {(WHITE, MAGENTA)}
    assert colours_at(console, TABS, 29, 9) == {(WHITE, 4)}

    console.keys("Left")  # Machine1 -> Machine4
    console.wait_text("Disconnect", 5, row=LINK)
    assert colours_at(console, TABS, 29, 9) == {(WHITE, MAGENTA)}
    console.keys("Up", "Up")  # Machine4 -> Machine3 -> Machine2
    console.wait_text("SIM-1002", 5, row=BATTERY)
    assert colours_at(console, TABS, 11, 9) == {(WHITE, MAGENTA)}
    console.keys("Down", "Down", "Down")  # -> Machine3 -> Machine4 -> Machine1
    console.wait_text("SIM-1001", 5, row=BATTERY)
    assert colours_at(console, TABS, 2, 9) == {(WHITE, MAGENTA)}


def test_esc_returns_to_the_menu_and_the_next_visit_shows_unit_one(make_sim, agent,
                                                                   make_console):
    sim = make_sim(units=2)
    console = start(make_console, agent, sim, units=2)
    open_monitor(console)
    console.wait_text("SIM-1001", CHANGE, row=BATTERY)
    console.keys("Right")
    console.wait_text("SIM-1002", CHANGE, row=BATTERY)
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    assert "Machine1" not in console.text()

    console.keys("Enter", pause=0)
    screen = console.wait_text("Monitor UPS Information", row=1)
    # Unit 1 at once, not the values of the last visit's unit 2.
    assert "SIM-1002" not in screen[BATTERY], "\n".join(screen)
    console.wait_text("SIM-1001", 5, row=BATTERY)
    assert colours_at(console, TABS, 2, 9) == {(WHITE, MAGENTA)}
    assert colours_at(console, TABS, 11, 9) == {(WHITE, 4)}
    # The connection loop still attributes each record to its unit.
    for _ in range(4):
        console.keys("Right")
        console.wait_text("SIM-1002", 5, row=BATTERY)
        console.keys("Left")
        console.wait_text("SIM-1001", 5, row=BATTERY)


def test_unit_above_the_machine_number_shows_disconnect_in_red_on_white(sim, agent,
                                                                        make_console):
    console = start(make_console, agent, sim)
    open_monitor(console)
    console.wait_text("Connect", CHANGE, row=LINK)
    wait_colours(console, LINK, 36, 7, (BLACK, WHITE))
    console.keys("Left")
    console.wait_text("Disconnect", 5, row=LINK)
    assert colours_at(console, LINK, 36, 10) == {(RED, WHITE)}
    assert text_at(console, INPUT, 22, 14) == "          0.0V"
    assert text_at(console, BATTERY, 34, 4) == "  0%"
    assert colours_at(console, BATTERY, 13, 20) == {(BLACK, WHITE)}  # red cells: none
    # It stays so over two refresh ticks (nothing else shows the page's
    # progress): unit 4 is never polled.
    stays(lambda: text_at(console, LINK, 36, 10) == "Disconnect", "Disconnect on unit 4's tab",
          seconds=1.1)


# ---- the UPS test page ------------------------------------------------------

@pytest.mark.slow(33)
def test_each_button_sends_its_command_and_the_status_follows_unit_one(sim, agent,
                                                                     make_console):
    console = start(make_console, agent, sim)
    open_test_page(console)
    console.wait_text("No Test", CHANGE, row=6)
    wait_for(lambda: sim.status_replies() >= 4, CHANGE, what="the daemon polling")

    since = time.time()
    console.keys("Enter")  # self test
    wait_for(lambda: commands(sim, since), 10, what="the self-test command at the UPS")
    sim.wait_requests(2)  # a second command would go out at one of the next sends
    assert commands(sim, since) == [b"T\r"]
    console.wait_text("Test in progress", CHANGE, row=6)
    wait_colours(console, 6, 39, 16, (RED, WHITE))
    # The simulator ends a self test after 10 seconds.
    console.wait_text("No Test", 10 + CHANGE, row=6)
    wait_colours(console, 6, 39, 7, (BLACK, WHITE))

    since = time.time()
    console.keys("Down", "Enter")  # test until the battery is low
    wait_for(lambda: commands(sim, since), 10, what="the battery test command at the UPS")
    sim.wait_requests(2)
    assert commands(sim, since) == [b"TL\r"]
    console.wait_text("Test in progress", CHANGE, row=6)

    since = time.time()
    console.keys("Down", "Enter")  # cancel
    wait_for(lambda: commands(sim, since), 10, what="the cancel command at the UPS")
    sim.wait_requests(2)
    assert commands(sim, since) == [b"CT\r"]
    console.wait_text("No Test", CHANGE, row=6)


def test_test_status_is_unit_ones_only(make_sim, agent, make_console):
    sim = make_sim(units=2)
    console = start(make_console, agent, sim, units=2)
    sim.control("unit 2 test on")
    open_monitor(console)
    console.keys("Right")
    console.wait_text("Test in progress", CHANGE, row=TEST)
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    open_test_page(console)
    console.wait_text("No Test", 5, row=6)
    # Over two refresh ticks (nothing else shows the page's progress).
    stays(lambda: "No Test" in console.row(6), "No Test for unit 1", seconds=1.1)
    sim.control("unit 1 test on")
    console.wait_text("Test in progress", CHANGE, row=6)


def test_focus_wraps_among_the_buttons_and_survives_esc(sim, agent, make_console):
    console = start(make_console, agent, sim)
    open_test_page(console)
    screen = console.wait_text("1.Self Test", row=8)
    assert screen[8][26:57] == "        1.Self Test            "
    assert screen[12][26:57] == "        2.Test to battery low  "
    assert screen[16][26:59] == "        3.Cancel Test            "
    assert colours_at(console, 8, 26, 31) == {(WHITE, MAGENTA)}
    console.keys("Down", "Down")
    wait_colours(console, 16, 26, 33, (WHITE, MAGENTA))
    assert colours_at(console, 8, 26, 31) == {(BLACK, CYAN)}
    console.keys("Down")  # the third -> the first
    wait_colours(console, 8, 26, 31, (WHITE, MAGENTA))
    assert colours_at(console, 16, 26, 33) == {(BLACK, CYAN)}
    console.keys("Up")  # the first -> the third
    wait_colours(console, 16, 26, 33, (WHITE, MAGENTA))
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    console.keys("Enter")  # the menu keeps its entry: back to the test page
    console.wait_text("UPS Test", row=1)
    wait_colours(console, 16, 26, 33, (WHITE, MAGENTA))


def test_overload_stays_readable_and_the_console_survives_a_small_terminal(sim, agent,
                                                                           make_console):
    console = start(make_console, agent, sim)
    flag = console.tmux("display-message", "-p", "-t", "ups", "#{cursor_flag}").stdout.strip()
    assert flag == "0", "the cursor is hidden while the console runs"
    open_monitor(console)
    sim.control("set load 120")
    console.wait_text("120%", CHANGE, row=LOAD)

    console.tmux("resize-window", "-t", "ups", "-x", "60", "-y", "20")
    console.wait_text("needs a terminal of at least 80 x 24", 5)
    console.tmux("resize-window", "-t", "ups", "-x", "80", "-y", "24")
    screen = console.wait_text("Monitor UPS Information", 5, row=1)
    assert "120%" in screen[LOAD]
    assert "needs a terminal" not in "\n".join(screen)
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information", 5)
