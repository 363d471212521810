"""upsconsole's event log page, in tmux at 80 x 24 against the real daemon
and the simulator: the daemon's events of a mains failure listed under the
current month, the eleven-row list with its scrolling and wrap-arounds, and
the year and month choices."""
import re
import time

from conftest import stays, wait_for

# The event texts by code, set and cleared (code 5 set on an on-line unit);
# codes 9 to 11 are the shutdown decision's reports.
SET_TEXTS = ["Beeper On", "Shutdown Active", "Test in Progress", "Off-line", "UPS Failed",
             "Bypass", "Battery Low", "AC Failed", "Connect", "Shutdown call failed",
             "UPS ignored a command", "Planned shutdown"]
CLEAR_TEXTS = ["Beeper Off", "Cancel Shutdown", "Test done", "On-line", "UPS Recovery", "Normal",
               "Battery capacity normal", "AC Recovery", "Disconnect", "Shutdown call works",
               "UPS took the command", "Planned shutdown cancelled"]

FIRST_LIST_ROW = 10  # screen rows 10..20 hold the list
ROWS = 11


def start(sim, agent, make_console):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    wait_for(lambda: any(line[20:] == "01 08 1 0" for line in agent.events()), 15,
             what="the Connect event")
    console = make_console(agent.dir).start()
    console.wait_text("6.View Event Log")
    console.keys("Down", "Down", "Down", "Down", "Down", "Enter")
    console.wait_text(" Event Log ", row=1)
    return console


def reenter(console):
    """Esc to the menu and back: the page reads the log again."""
    console.keys("Escape")
    console.wait_text("6.View Event Log")
    console.keys("Enter")
    console.wait_text(" Event Log ", row=1)


def display(line):
    """The list text of one event-log line, as the page shows it."""
    code, state = int(line[23:25]), line[26]
    text = SET_TEXTS[code] if state == "1" else CLEAR_TEXTS[code]
    return "%s  %s  %-7s  %s" % (line[0:10], line[11:19], line[20:22], text)


def list_rows(console):
    return [line[4:73].rstrip() for line in console.lines()[FIRST_LIST_ROW:FIRST_LIST_ROW + ROWS]]


def backgrounds(line):
    """The background colour number (0..7) of every cell of a captured line."""
    cells, bg = [], None
    for m in re.finditer(r"\x1b\[([0-9;]*)m|([^\x1b])", line):
        if m.group(1) is not None:
            for code in m.group(1).split(";"):
                if code and 40 <= int(code) <= 47:
                    bg = int(code) - 40
        else:
            cells.append(bg)
    return cells


def screen_backgrounds(console):
    return [backgrounds(line) for line in console.colours().split("\n")[:24]]


MAGENTA, CYAN, BLACK = 5, 6, 0


def highlighted_rows(console):
    """List rows (0..10) drawn in the focus pair."""
    bgs = screen_backgrounds(console)
    return [r - FIRST_LIST_ROW for r in range(FIRST_LIST_ROW, FIRST_LIST_ROW + ROWS)
            if bgs[r][4] == MAGENTA]


def thumb_rows(console):
    """Track rows (0..8) of the scroll bar drawn as thumb."""
    bgs = screen_backgrounds(console)
    return [r - 11 for r in range(11, 20) if bgs[r][73] == CYAN]


def wait_highlight(console, row, second=None):
    """Waits until list row `row` alone is highlighted (and shows the event
    with that seconds field)."""
    def ok():
        if highlighted_rows(console) != [row]:
            return False
        return second is None or console.row(FIRST_LIST_ROW + row)[22:24] == "%02d" % second
    wait_for(ok, 5, what="the highlight on list row %d" % row)


def selected_date(console):
    """(year, month) of the date fields."""
    m = re.match(r"Date:(\d{4})/ (\d\d?)", console.row(5)[2:])
    return int(m.group(1)), int(m.group(2))


def append_events(agent, year, month, day, count, unit=2, code=7, state=None, first_code=0):
    """`count` lines in the daemon's format, seconds 0..count-1, alternating
    set and cleared (or all in `state`); `code` None: codes first_code,
    first_code + 1, ..."""
    with open(agent.dir / "DataBase" / "Event.ang", "a") as f:
        for i in range(count):
            line = "%04d/%02d/%02d 10:00:%02d %02d %02d %d 0\n" % (
                year, month, day, i, unit, first_code + i if code is None else code,
                1 - i % 2 if state is None else state)
            assert len(line) == 30
            f.write(line)


def pick(console, downs):
    """Enter on the focused date field, `downs` times Down in the popup, Enter."""
    console.keys("Enter")
    wait_for(lambda: console.row(12)[10:70] == "-" * 60, 5, what="the list popup")
    console.keys(*(["Down"] * downs))
    console.keys("Enter")
    wait_for(lambda: console.row(12)[10:70] != "-" * 60, 5, what="the popup to close")


class TestDaemonEvents:
    def test_mains_failure_and_recovery_appear_under_the_current_month(self, sim, agent,
                                                                        make_console):
        console = start(sim, agent, make_console)
        connect = [l for l in agent.events() if l[20:] == "01 08 1 0"][0]
        assert selected_date(console) == (int(connect[0:4]), int(connect[5:7]))
        wait_for(lambda: list_rows(console)[0] == display(connect), 5, what="the Connect row")
        assert highlighted_rows(console) == [], "the year field has the focus"

        sim.control_and_wait("mains fail", 3)
        wait_for(lambda: any(l[20:] == "01 07 1 0" for l in agent.events()), 10,
                 what="the AC Failed event")
        # A refresh tick (nothing else shows the page's progress) rereads
        # nothing.
        stays(lambda: not any("AC Failed" in r for r in list_rows(console)),
              "the list stays as it was while the page shows", seconds=0.6)
        reenter(console)
        console.wait_text("AC Failed")

        sim.control_and_wait("mains restore", 3)
        wait_for(lambda: any(l[20:] == "01 07 0 0" for l in agent.events()), 10,
                 what="the AC Recovery event")
        wait_for(lambda: any(l[20:] == "01 01 0 0" for l in agent.events()), 10,
                 what="the shutdown to be cancelled")
        reenter(console)
        console.wait_text("AC Recovery")
        events = agent.events()
        month = connect[0:7]
        expected = [display(l) for l in events if l.startswith(month)]
        assert 3 <= len(expected) <= ROWS, events
        rows = list_rows(console)
        assert rows[:len(expected)] == expected
        assert rows[len(expected):] == [""] * (ROWS - len(expected))
        assert rows.index(display([l for l in events if l[20:] == "01 07 1 0"][0])) < \
            rows.index(display([l for l in events if l[20:] == "01 07 0 0"][0]))


class TestScrolling:
    def test_thirty_events_scroll_and_wrap_with_the_list_rules(self, sim, agent, make_console):
        console = start(sim, agent, make_console)
        year, month = selected_date(console)
        # Last year's month: the daemon writes nothing there meanwhile.
        append_events(agent, year - 1, month, 5, 30)
        console.keys("Enter")
        screen = console.wait_text(str(year), row=13)
        assert [screen[13 + i][11:15] for i in range(6)] == [str(year - i) for i in range(6)], \
            "the current year first, then the years before"
        console.keys("Down", "Enter")
        console.wait_text("Date:%d/ %02d" % (year - 1, month), row=5)
        wait_for(lambda: list_rows(console)[10][18:20] == "10", 5, what="events 0..10")
        assert highlighted_rows(console) == []
        assert len(screen_backgrounds(console)) == 24

        console.keys("Down")
        wait_highlight(console, 0, 0)
        console.keys(*["Down"] * 10, pause=0.03)
        wait_highlight(console, 10, 10)
        assert console.row(FIRST_LIST_ROW)[22:24] == "00"
        console.keys("Down")
        wait_highlight(console, 10, 11)
        assert console.row(FIRST_LIST_ROW)[22:24] == "01", "scrolled by one"

        console.keys(*["Down"] * 18, pause=0.03)
        wait_highlight(console, 10, 29)
        assert thumb_rows(console)[-1] == 8, "the thumb at the bottom of the track"
        console.keys("Down")
        wait_highlight(console, 0, 0)
        assert console.row(FIRST_LIST_ROW + 10)[22:24] == "10"
        assert thumb_rows(console)[0] == 0, "the thumb back at the top"

        console.keys("Up")
        wait_highlight(console, 10, 29)
        assert console.row(FIRST_LIST_ROW)[22:24] == "19", "first visible is event 19"
        console.keys("Up")
        wait_highlight(console, 9, 28)

    def test_coming_back_focuses_the_year_and_down_finds_the_old_event(self, sim, agent,
                                                                       make_console):
        console = start(sim, agent, make_console)
        year, month = selected_date(console)
        append_events(agent, year - 1, month, 5, 30)
        other = 3 if month != 3 else 4
        append_events(agent, year - 1, other, 9, 5, unit=4, code=6)
        console.keys("Enter")
        console.wait_text(str(year), row=13)
        console.keys("Down", "Enter")
        console.wait_text("Date:%d/ %02d" % (year - 1, month), row=5)
        console.keys(*["Down"] * 21, pause=0.03)
        wait_highlight(console, 10, 20)

        reenter(console)
        bgs = screen_backgrounds(console)
        assert bgs[5][7] == MAGENTA and highlighted_rows(console) == [], "the year field"
        console.keys("Down")
        wait_highlight(console, 10, 20)

        # Choosing month 3 (or 4) lists that month's five events; the cursor
        # is clamped to the last of them.
        console.keys("Right")
        wait_for(lambda: screen_backgrounds(console)[5][13] == MAGENTA, 5, what="month focus")
        pick(console, other - 1)
        console.wait_text("Date:%d/ %d " % (year - 1, other), row=5)
        rows = list_rows(console)
        assert [r[:10] for r in rows[:5]] == ["%d/%02d/09" % (year - 1, other)] * 5
        assert all(r.endswith("Battery Low") or r.endswith("Battery capacity normal")
                   for r in rows[:5])
        assert rows[5:] == [""] * 6
        console.keys("Down")
        wait_highlight(console, 4, 4)
        console.keys("Down")
        wait_highlight(console, 0, 0)
        console.keys("Up")
        wait_highlight(console, 4, 4)

    def test_every_event_code_shows_its_texts(self, sim, agent, make_console):
        console = start(sim, agent, make_console)
        year, month = selected_date(console)
        # A page's list holds ROWS rows: the codes a page at a time, each
        # page's set texts a year back and its cleared texts a year before.
        codes = len(SET_TEXTS)
        pages = [range(first, min(first + ROWS, codes)) for first in range(0, codes, ROWS)]
        for p, page in enumerate(pages):
            append_events(agent, year - 1 - 2 * p, month, 5, len(page), code=None, state=1,
                          first_code=page[0])
            append_events(agent, year - 2 - 2 * p, month, 6, len(page), code=None, state=0,
                          first_code=page[0])
        for p, page in enumerate(pages):
            for years_back, texts in ((1 + 2 * p, SET_TEXTS), (2 + 2 * p, CLEAR_TEXTS)):
                console.keys("Enter")
                console.wait_text(str(year), row=13)
                console.keys(*(["Down"] * years_back), "Enter")
                console.wait_text("Date:%d/ %02d" % (year - years_back, month), row=5)
                day = 5 if years_back % 2 else 6
                wait_for(lambda: list_rows(console) == [
                    "%d/%02d/%02d  10:00:%02d  02       %s" % (year - years_back, month, day,
                                                                c - page[0], texts[c])
                    for c in page] + [""] * (ROWS - len(page)), 5, what="every code's text")

    def test_a_month_without_events_keeps_the_first_row(self, sim, agent, make_console):
        console = start(sim, agent, make_console)
        year, month = selected_date(console)
        console.keys("Enter")
        console.wait_text(str(year), row=13)
        console.keys("Down", "Down", "Down", "Enter")  # three years ago: nothing there
        console.wait_text("Date:%d/ %02d" % (year - 3, month), row=5)
        assert list_rows(console) == [""] * ROWS
        console.keys("Down")
        wait_highlight(console, 0)
        console.keys("Down", "Up", "Up")
        # They change nothing on the screen to wait for: a short while for
        # them to be taken.
        time.sleep(0.3)
        wait_highlight(console, 0)
