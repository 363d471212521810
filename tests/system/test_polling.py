"""The polling daemon against the simulator: query cycle, turn order, status
history, loss and return of a unit, the plausibility filter and slow lines."""
import os
import stat
import time

import pytest

from conftest import HISTORY_LINE, stays, wait_for

Q = b"Q1\r"
I = b"I\r"
F = b"F\r"


def start_single(sim, agent, **settings):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path, **settings)
    return agent.start()


def steady_history(agent, unit=1, value="230.0", count=2, timeout=15):
    """Waits until `count` history lines show the simulator's input voltage."""
    wait_for(lambda: sum(1 for line in agent.history(unit) if line.split()[1:2] == [value])
             >= count, timeout, what="history lines with %s V on unit %d" % (value, unit))


def after_first(lines, value="230.0"):
    """The history lines from the first one showing `value` on: before the
    filter has taken a reply, a connected unit's readings are still zero."""
    for i, line in enumerate(lines):
        if line.split()[1] == value:
            return lines[i:]
    return []


def test_single_unit_asks_identity_and_ratings_once(sim, agent):
    start_single(sim, agent)
    steady_history(agent, count=3)
    requests = sim.requests()
    assert requests[:6] == [Q, I, Q, F, Q, Q]
    assert requests.count(I) == 1 and requests.count(F) == 1
    assert set(requests[4:]) == {Q}
    line = agent.history(1)[-1]
    assert HISTORY_LINE.match(line), line
    assert line[9:] == "230.0 230.0 230.0 025 50.0 02.25 25.0"


@pytest.mark.slow(24)
def test_four_units_on_one_line_take_turns(make_sim, agent):
    sim = make_sim(units=4)
    agent.write_settings(mode="Local-Multiple", link="RS232", device=sim.path, number=4)
    agent.start()
    wait_for(lambda: len(sim.requests()) >= 24, 30, what="24 requests")

    def req(letters, unit):
        return letters + bytes([unit]) + b"\r"
    # The link starts down: the opening pass hands the turn to unit 2. A turn
    # ends with a unit's status reply; identity and ratings come one unit
    # turn each, each followed by a status query in the same turn.
    order = [2, 3, 4, 1]
    expected = [req(b"Q1", u) for u in order]
    for letters in (b"I", b"F"):
        for u in order:
            expected += [req(letters, u), req(b"Q1", u)]
    expected += [req(b"Q1", u) for u in order]
    assert sim.requests()[:24] == expected
    wait_for(lambda: all(agent.history(u) for u in (1, 2, 3, 4)), 10,
             what="history of all four units")
    assert agent.history(3)[-1].endswith("25.0")


def test_history_once_a_second_only_for_connected_units(make_sim, agent):
    sim = make_sim(units=1)  # unit 2 is configured but never answers
    agent.write_settings(mode="Local-Multiple", link="RS232", device=sim.path, number=2)
    agent.start()
    database = agent.dir / "DataBase"
    wait_for(lambda: len(agent.history(1)) >= 2, 20, what="history of unit 1")
    before = len(agent.history(1))
    time.sleep(8)
    written = len(agent.history(1)) - before
    # A lost unit 2 makes the link close and reopen each turn, which slows
    # the cycle; unit 1 still gets about a line a second.
    assert 5 <= written <= 10, written
    assert all(HISTORY_LINE.match(line) for line in agent.history(1))
    files = sorted(p.name for p in database.glob("M2*.ang"))
    assert len(files) == 1, "today's file of every configured unit is created"
    assert agent.history(2) == [], "no line for a unit that never answered"
    assert (database / "Event.ang").exists()


@pytest.mark.parametrize("fault,cure", [
    ("silent on", "silent off"),
    ("length 46", "length off"),
    ("garbage on", "garbage off"),
])
@pytest.mark.slow(23)
def test_unit_lost_after_fourth_failed_receive_and_found_again(sim, agent, fault, cure):
    start_single(sim, agent)
    steady_history(agent, count=2)
    sim.control(fault)
    t_fault = sim.control_time(fault)
    # Lost after four failed receives: the history stops.
    wait_for(lambda: len(sim.requests(t_fault)) >= 7, 20, what="requests after the fault")
    lines = len(agent.history(1))
    # A history line is due every second: none comes over two reopen cycles.
    sim.wait_requests(2)
    assert len(agent.history(1)) == lines, "no history while the unit is lost"
    # While lost, the line is closed after each failed receive and reopened
    # at the next pass: a status query every third pass, not every second.
    times = [t for t, _, data in sim.entries("rx") if t >= t_fault]
    gaps = [b - a for a, b in zip(times[4:], times[5:])]
    assert gaps and min(gaps) > 1.2, gaps
    assert sim.requests(t_fault)[0] == Q
    sim.control(cure)
    t_cure = sim.control_time(cure)
    # Found again: identity and ratings are asked anew, history resumes.
    wait_for(lambda: I in sim.requests(t_cure) and F in sim.requests(t_cure), 15,
             what="identity and rating queries after the unit came back")
    wait_for(lambda: len(agent.history(1)) > lines, 15, what="history after the return")


@pytest.mark.slow(21)
def test_noisy_reply_is_not_taken_and_status_needs_three_replies(sim, agent):
    start_single(sim, agent)
    steady_history(agent, count=2)
    sim.control_and_wait("set input_voltage 236 for 1", 4)
    sim.control_and_wait("mains fail for 2", 5)
    lines = len(agent.history(1))
    wait_for(lambda: len(agent.history(1)) > lines, 10, what="a history line after the last reply")
    values = {line.split()[1] for line in after_first(agent.history(1))}
    assert values == {"230.0"}, "a 6 V jump or a two-reply failure must not be taken"

    sim.control("mains fail for 3")
    wait_for(lambda: any(line.split()[1] == "000.0" for line in after_first(agent.history(1))), 15,
             what="a failure carried by three replies to be taken")


def test_reply_written_byte_by_byte_at_2400_baud_is_taken_whole(sim, agent):
    sim.control("slow 2400")
    start_single(sim, agent)
    steady_history(agent, count=2)
    sim.control("set input_voltage 231.5")
    steady_history(agent, value="231.5", count=2)
    assert agent.alive()


def test_no_settings_file_creates_set_and_retries_with_one_line(agent):
    agent.start()
    setfile = agent.dir / "Set" / "Setting.ang"
    wait_for(setfile.exists, 5, what="Set/Setting.ang")
    assert stat.S_IMODE(os.stat(agent.dir / "Set").st_mode) == 0o700
    assert setfile.read_text() == ""
    wait_for((agent.dir / "DataBase" / "Event.ang").exists, 5, what="the event log")
    line = "upsagent: no unit is polled: Set/Setting.ang is empty\n"
    wait_for(lambda: agent.stdout() == line, 5, what="the line saying why nothing is polled")
    # Retries leave no trace to wait for: two passes of them, with no more lines.
    stays(lambda: agent.alive() and agent.stdout() == line, "the daemon alive, one line",
          seconds=1)


def test_started_through_path_uses_the_executables_directory(sim, agent, tmp_path):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.env["PATH"] = "%s:%s" % (agent.env["PATH"], agent.dir)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    agent.start(argv0="upsagent", cwd=str(elsewhere))
    steady_history(agent, count=1)
    assert not (elsewhere / "Set").exists() and not (elsewhere / "DataBase").exists()


@pytest.mark.slow(21)
def test_out_of_range_settings_are_reported_once_and_clamped(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path, number=7,
                         baud="19200")
    agent.start()
    # Four units share the line, each asked for its identity and ratings
    # once: the third status reply of unit 1 comes some 17 s in.
    steady_history(agent, count=1, timeout=40)
    out = agent.stdout()
    assert out.count("machine number 7 is outside 1..4, using 4") == 1
    assert out.count('baud rate "19200"') == 1
