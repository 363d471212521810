"""upsconsole's start, main menu and daemon connection, in tmux at 80 x 24
against the real daemon."""
import re

from conftest import wait_for

SERVER_LINE = "=====Server is not start yet!====="
ENTRIES = ["1.Monitor UPS Information", "2.UPS Test", "3.Mail Setting", "4.SMS Setting",
           "5.Plan UPS Schedule", "6.View Event Log", "7.Configuration Setting", "8.Exit"]


def focused_entry(console):
    """The menu entry drawn in the focus pair (white on magenta)."""
    for line in console.colours().splitlines():
        m = re.search(r"\x1b\[[0-9;]*45m\s*(\d\.[A-Za-z ]+?)\s*\x1b", line)
        if m:
            return m.group(1)
    return None


def start_daemon(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()


def test_no_daemon_warns_and_a_starting_daemon_clears_it(sim, agent, make_console):
    console = make_console(agent.dir).start()
    screen = console.wait_text(SERVER_LINE, timeout=2)
    assert screen[22][23:23 + len(SERVER_LINE)] == SERVER_LINE
    assert re.search(r"\x1b\[[0-9;]*31[;m][^\n]*" + SERVER_LINE, console.colours()), "red"
    start_daemon(sim, agent)
    wait_for(lambda: SERVER_LINE not in console.text(), 15, what="the warning to go")


def test_menu_entries_descriptions_and_wrapping_focus(sim, agent, make_console):
    start_daemon(sim, agent)
    console = make_console(agent.dir).start()
    screen = console.wait_text("UPS Real time information and status monitoring.")
    for i, entry in enumerate(ENTRIES):
        assert screen[8 + i][22:22 + 8 + len(entry)] == " " * 8 + entry
    assert screen[1][32:52] == "Tarvo Mains Sentinel" and screen[1][71:76] == "V 1.0"
    assert focused_entry(console) == ENTRIES[0]
    console.keys("Up")
    console.wait_text("Exit UPS Monitor Software.", row=20)
    assert focused_entry(console) == "8.Exit"
    console.keys("Down")
    console.wait_text("UPS Real time information", row=20)
    console.keys("Right", "Right")
    console.wait_text("E-mail address and UPS return status Setting.", row=20)
    console.keys("Left")
    console.wait_text("Execute or cancel UPS Test Command.", row=20)
    before = console.lines()
    # Keys are taken in order: the Down after them moves the focus from
    # where it was, so they moved nothing.
    console.keys("x", "Tab", "F5", "Down")
    console.wait_text("E-mail address and UPS return status Setting.", row=20)
    assert console.lines()[8:20] == before[8:20], "other keys change nothing"
    assert focused_entry(console) == "3.Mail Setting"


def test_esc_and_exit_entry_end_with_status_zero_and_restore_the_terminal(agent, make_console):
    console = make_console(agent.dir).start()
    console.wait_text("8.Exit")
    console.keys("Escape")
    assert console.wait_exit() == 0
    modes = console.terminal_modes()
    assert " icanon" in modes and " echo " in modes, modes

    again = make_console(agent.dir).start()
    again.wait_text("8.Exit")
    again.keys("Up", "Enter")
    assert again.wait_exit() == 0


def test_terminal_smaller_than_80_by_24_is_refused(agent, make_console):
    console = make_console(agent.dir, size=(79, 24)).start()
    assert console.wait_exit() == 1
    console.wait_text("upsconsole needs a terminal of at least 80 x 24")


def test_console_picks_up_a_restarted_daemon(sim, make_agent, make_console):
    agent = make_agent()
    start_daemon(sim, agent)
    console = make_console(agent.dir).start()
    console.wait_text("8.Exit")
    wait_for(lambda: SERVER_LINE not in console.text(), 15, what="the connection")
    agent.stop()
    console.wait_text(SERVER_LINE, timeout=15)
    agent.start()
    wait_for(lambda: SERVER_LINE not in console.text(), 20, what="the reconnection")


def test_interrupt_restores_the_terminal(agent, make_console):
    console = make_console(agent.dir).start()
    console.wait_text("8.Exit")
    console.keys("C-c")
    console.wait_exit()
    modes = console.terminal_modes()
    assert " icanon" in modes and " echo " in modes, modes
