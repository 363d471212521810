"""upsconsole's schedule list and schedule edit pages, in tmux at 80 x 24
against the real daemon and the simulator: entries added and deleted through
the pages, the schedule file they leave, and what the daemon does with it."""
import calendar
import re
import time
from datetime import datetime, timedelta

import pytest

from conftest import established_on_2027, wait_for

SERVER_LINE = "=====Server is not start yet!====="
SAVE_FAIL = "=====!!Save Fail!!====="
LIST_TITLE = " Plan Schedule "
EDIT_TITLE = " Plan  Schedule "


def schedule_file(agent):
    return agent.dir / "DataBase" / "Schedule.ang"


def schedule_lines(agent):
    path = schedule_file(agent)
    return path.read_text().splitlines(keepends=True) if path.exists() else []


def entry_line(entry_id, day, at, action, repeat):
    """One 58-byte line of the schedule file; `day` is a date."""
    weekday = (day.weekday() + 2) % 7  # 0 Saturday .. 6 Friday
    return "%04d %d %s %s %-5s %s %25s\n" % (entry_id, weekday, day.strftime("%Y/%m/%d"), at,
                                             action, repeat, "")


def open_schedule(sim, agent, make_console, schedule=None):
    """Daemon and console in one directory; the console on the schedule list."""
    if schedule is not None:
        schedule_file(agent).parent.mkdir(mode=0o700, exist_ok=True)
        schedule_file(agent).write_text(schedule)
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    console = make_console(agent.dir).start()
    console.wait_text("8.Exit")
    # The server line shows (from the first tick on) until the console has
    # a connected unit's record: the daemon's unit connected, the console's
    # connection up, and then the line gone.
    wait_for(lambda: any(l[20:] == "01 08 1 0" for l in agent.events()), 15,
             what="the daemon's unit connected")
    wait_for(lambda: established_on_2027() >= 2, 15, what="the console's connection")
    wait_for(lambda: SERVER_LINE not in console.text(), 15, what="the console to reach the daemon")
    console.keys("Down", "Down", "Down", "Down", "Enter")
    console.wait_text(LIST_TITLE, row=1)
    return console


def open_edit(console):
    console.keys("IC")
    console.wait_text(EDIT_TITLE, row=1)


def pick(console, index, count):
    """Enter on the focused field, item `index` of its `count` in the list
    popup (which opens on item 0; Up wraps to the last), Enter."""
    console.keys("Enter", pause=0.1)
    if index <= count // 2:
        moves = ["Down"] * index
    else:
        moves = ["Up"] * (count - index)
    console.keys(*moves, pause=0.04)
    console.keys("Enter", pause=0.1)


def console_now(console):
    """The console's local date and minute (from its clock label) and the
    seconds already gone in that minute; never read near a minute's edge."""
    def read():
        gone = time.time() % 60
        if gone < 2 or gone > 57:
            return None
        m = re.match(r"(\d{4})/(\d\d)/(\d\d) (\d\d):(\d\d) ", console.row(0)[60:80])
        if not m or time.time() % 60 < gone:
            return None
        return datetime(*map(int, m.groups())), gone
    return wait_for(read, 10, what="the console clock")


def edit_date(console):
    row = console.row(8)
    return row[26:36], row[49:54]


def list_rows(console):
    return [line[4:73].rstrip() for line in console.lines()[10:21]]


def row_heads(console, n):
    """Date, time and event of the first `n` list rows."""
    return [row[:32].rstrip() for row in list_rows(console)[:n]]


def set_date_and_time(console, now, when):
    """Fills the edit page's date and time fields (focus on the year)."""
    pick(console, when.year - now.year, 8)
    console.keys("Right")
    pick(console, when.month - 1, 12)
    console.keys("Right")
    pick(console, when.day - 1, calendar.monthrange(when.year, when.month)[1])
    console.keys("Right")
    pick(console, when.hour, 24)
    console.keys("Right")
    pick(console, when.minute, 60)
    wanted = (when.strftime("%Y/%m/%d"), when.strftime("%H:%M"))
    wait_for(lambda: edit_date(console) == wanted, 5,
             what="the date and time %s (shown: %s)" % (wanted, edit_date(console)))


def select_month(console, now, year, month):
    """On the list page, focus on the year field: picks year and month."""
    pick(console, year - now.year, 8)
    console.keys("Right")
    pick(console, month - 1, 12)
    console.wait_text("%04d" % year, row=5)
    wait_for(lambda: console.row(5)[13:15] == "%02d" % month, 5, what="month %02d" % month)


# --- entries that the daemon runs


@pytest.mark.slow(60)
def test_added_self_test_runs_at_its_minute_and_a_deleted_entry_does_not(sim, agent,
                                                                        make_console):
    """A battery-low test for the next minute is added and deleted, then a
    self test for the same minute is added. Only the announcement of that
    last change gives the daemon an entry to run: after the deletion it had
    none."""
    since = time.time()
    console = open_schedule(sim, agent, make_console)
    open_edit(console)
    now, gone = console_now(console)
    minute_start = time.time() - gone
    ahead = 1 if 60 - gone >= 25 else 2
    target = now + timedelta(minutes=ahead)
    target_epoch = minute_start + 60 * ahead

    set_date_and_time(console, now, target)
    console.keys("Down")  # from the minute to the event
    pick(console, 1, 5)
    console.wait_text("Test to battery low", row=9)
    console.keys("Down", "Down", "Down", "Enter")  # repeat, restore day, Save
    console.wait_text(LIST_TITLE, row=1)
    lines = schedule_lines(agent)
    assert len(lines) == 1 and lines[0][18:29] == target.strftime("%H:%M") + " L    ", lines

    if (target.year, target.month) != (now.year, now.month):
        select_month(console, now, target.year, target.month)
    console.wait_text("Test to Battery Low", row=10)
    console.keys("Down", "DC")
    wait_for(lambda: schedule_lines(agent) == [], 5, what="the entry to leave the file")
    wait_for(lambda: "Test to Battery Low" not in console.text(), 5, what="the row to go")

    open_edit(console)
    console.keys("Up", "Up", "Up")  # from Save to the event
    pick(console, 0, 5)
    console.wait_text("Self Test", row=9)
    console.keys("Down", "Down", "Down", "Enter")
    console.wait_text(LIST_TITLE, row=1)
    console.wait_text("%s Self Test" % target.strftime("%H:%M"), row=10)
    lines = schedule_lines(agent)
    assert len(lines) == 1 and lines[0][18:29] == target.strftime("%H:%M") + " T    ", lines
    assert time.time() < target_epoch - 3, "the entries were not ready before their minute"

    wait_for(lambda: b"T\r" in sim.requests(since), target_epoch - time.time() + 20,
             what="the self test at %s" % target.strftime("%H:%M"))
    sim.wait_requests(2)  # what else was due would go out at the next sends
    requests = sim.requests(since)
    assert b"TL\r" not in requests, "the deleted entry ran"
    assert requests.count(b"T\r") == 1


# --- the edit page


def test_restart_before_the_shutdown_is_refused_and_one_day_later_is_saved(sim, agent,
                                                                          make_console):
    console = open_schedule(sim, agent, make_console)
    open_edit(console)
    console.keys("Right", "Right", "Right")
    pick(console, 22, 24)  # shut down at 22:00
    console.keys("Down")
    pick(console, 4, 5)
    console.wait_text("Shut down and restart command", row=9)
    assert console.row(11)[26:31] == "Today" and console.row(11)[49:54] == "00:00"
    console.keys("Down", "Down", "Right")
    pick(console, 6, 24)  # restart at 06:00 the same day
    console.keys("Down", "Left", "Enter")  # Cancel, Save
    screen = console.wait_text(SAVE_FAIL, row=20)
    assert screen[20][28:28 + len(SAVE_FAIL)] == SAVE_FAIL
    assert re.search(r"\x1b\[[0-9;]*31[;m][^\n]*" + re.escape(SAVE_FAIL), console.colours()), \
        "red on blue"
    assert screen[1][32:48] == EDIT_TITLE
    assert schedule_lines(agent) == [], "a refused entry is not written"

    console.keys("Up")
    pick(console, 1, 6)  # 1 day later
    console.wait_text("1 day later", row=11)
    console.keys("Down", "Enter")
    console.wait_text(LIST_TITLE, row=1)
    lines = schedule_lines(agent)
    assert len(lines) == 1 and len(lines[0]) == 58, lines
    assert lines[0][18:23] == "22:00"
    assert lines[0][24:31] == "R0480 O"
    assert lines[0][32:57] == "1 day later 06:00 restart"
    console.wait_text("22:00 Shutdown and restore Once    1 day later 06:00 restart")

    open_edit(console)
    assert SAVE_FAIL not in console.row(20), "no message on the next visit"
    assert console.row(8)[49:54] == "22:00", "the fields are kept"


def test_new_entries_appear_in_the_list_of_their_month(sim, agent, make_console):
    console = open_schedule(sim, agent, make_console)
    open_edit(console)
    now, _ = console_now(console)
    console.keys("Down")
    pick(console, 2, 5)  # Cancel Test
    console.keys("Down")
    pick(console, 2, 4)  # Weekly
    console.keys("Down", "Down", "Enter")
    console.wait_text(LIST_TITLE, row=1)
    first = datetime(now.year, now.month, 1).strftime("%a")
    weekly = "%s   00:00 Cancel Test          Weekly" % first
    console.wait_text(weekly, row=10)

    following = datetime(now.year + now.month // 12, now.month % 12 + 1, 1)
    open_edit(console)
    console.keys("Down")  # from Save to the year
    pick(console, following.year - now.year, 8)
    console.keys("Right")
    pick(console, following.month - 1, 12)
    console.keys("Down")
    pick(console, 0, 5)  # Self Test
    console.keys("Down")
    pick(console, 0, 4)  # Once
    console.keys("Down", "Down", "Enter")
    console.wait_text(LIST_TITLE, row=1)
    wait_for(lambda: list_rows(console)[:2] == [weekly, ""], 5,
             what="this month's entry alone (not next month's): %s" % list_rows(console)[:2])
    assert len(schedule_lines(agent)) == 2

    select_month(console, now, following.year, following.month)
    once = "%s 00:00 Self Test            Once" % following.strftime("%m/%d")
    wait_for(lambda: list_rows(console)[:3] == [weekly, once, ""], 5,
             what="both entries in the following month: %s" % list_rows(console)[:3])


# --- deleting


def test_del_removes_the_highlighted_entry_from_the_file_and_the_list(sim, agent,
                                                                      make_console):
    start = datetime(2020, 1, 1)
    lines = [entry_line(1, start, "08:00", "T", "D"), entry_line(2, start, "09:00", "L", "D"),
             entry_line(3, start, "10:00", "C", "D")]
    console = open_schedule(sim, agent, make_console, "".join(lines))
    screen = console.lines()
    assert screen[2][2:].startswith("Use Right/Left key to select Date.Press Enter key to change.")
    assert screen[4][2:].startswith("Press Ins key to add a new schedule.Esc:Back to menu.")
    header = "Date  Time  Event                Repeat  Note"
    assert screen[8][4:4 + len(header)] == header
    assert screen[9][4:74] == "-" * 70
    assert row_heads(console, 4) == [
        "Daily 08:00 Self Test", "Daily 09:00 Test to Battery Low", "Daily 10:00 Cancel Test", ""]

    console.keys("Down", "Down", "DC")
    wait_for(lambda: schedule_lines(agent) == [lines[0], lines[2]], 5,
             what="entry 0002 to leave the file: %s" % schedule_lines(agent))
    wait_for(lambda: row_heads(console, 3) ==
             ["Daily 08:00 Self Test", "Daily 10:00 Cancel Test", ""], 5, what="the list")
    highlighted = re.search(r"\x1b\[[0-9;]*45m\s*(Daily \d\d:\d\d)", console.colours())
    assert highlighted and highlighted.group(1) == "Daily 10:00", "the next entry is highlighted"

    console.keys("Escape")
    console.wait_text("8.Exit")


def test_del_on_an_empty_month_deletes_nothing_but_the_daemon_reloads(sim, agent, make_console):
    console = open_schedule(sim, agent, make_console)
    console.keys("Down")
    path = schedule_file(agent)
    path.unlink()
    console.keys("DC")
    # Only the daemon's reload makes the file again (empty): the console
    # wrote nothing.
    wait_for(path.exists, 10, what="the daemon to reload its schedule")
    assert path.read_text() == ""


def test_del_with_the_focus_on_the_date_deletes_nothing(sim, agent, make_console):
    start = datetime(2020, 1, 1)
    text = entry_line(1, start, "08:00", "T", "D") + entry_line(2, start, "09:00", "S", "D")
    console = open_schedule(sim, agent, make_console, text)
    console.keys("DC", "Down")  # keys are taken in order: Del first
    wait_for(lambda: re.search(r"\x1b\[[0-9;]*45m\s*Daily", console.colours()), 5,
             what="the focus in the list")
    assert schedule_file(agent).read_text() == text, "an entry was deleted"
    assert row_heads(console, 2) == ["Daily 08:00 Self Test", "Daily 09:00 Shutdown"]
