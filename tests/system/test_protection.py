"""The shutdown decision against the simulator and a stand-in shutdown that
keeps its pending deadline as the platform does: outage sequences, glitches,
reloads and restarts must never postpone or lose the host's shutdown."""
import signal
import time

import pytest

from conftest import connect, server_caught_up, stays, wait_for


def event_codes(agent):
    return [line[20:] for line in agent.events()]


def restart(agent):
    agent.procs.stop(agent.proc, signal.SIGKILL)  # a crash: nothing is tidied up
    agent.start()


@pytest.mark.slow(26)
def test_outage_sequence_never_moves_the_deadline(sim, agent, shutdown_calls, host_deadline):
    # One unit on a shared line (kind 1): every reply is taken as it comes.
    agent.write_settings(mode="Local-Multiple", link="RS232", device=sim.path, ac_fail=10,
                         battery_low=5, ups_shutdown=2)
    agent.start()
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 15, what="the Connect event")

    # Mains failure and low battery in the same reply: one shutdown, the
    # earlier one, and one UPS command to match.
    t_fail = time.time()
    sim.control("set status 11000000")
    wait_for(lambda: b"S07R0001\r" in sim.requests(t_fail), 10, what="S07R0001 at the UPS")
    assert shutdown_calls() == [["-h", "+5", "System will shut down after 5 mins."]]
    deadline = host_deadline()
    assert abs(deadline - (t_fail + 300)) < 5
    assert not any(r.startswith(b"S12") for r in sim.requests(t_fail))
    wait_for(lambda: "01 01 1 0" in event_codes(agent), 10, what="Shutdown Active")
    events = len(agent.events())

    # The battery recovers a little: the shutdown stands.
    t_normal = sim.control_and_wait("battery normal", 3)
    wait_for(lambda: "01 06 0 0" in event_codes(agent), 10, what="battery normal")
    # One glitch byte in the mains position, and a reload.
    sim.control_and_wait("garbage bits", 3)
    client = connect()
    client.send(b"RefreshSet")
    server_caught_up()
    # The loop reloads before its next pass; what a reload could upset
    # shows within the status checks after it.
    sim.wait_requests(3)
    client.close()
    assert event_codes(agent)[events:] == ["01 06 0 0"]
    assert len(shutdown_calls()) == 1
    assert host_deadline() == deadline
    assert b"C\r" not in sim.requests(t_normal)

    # A crash and a restart during the outage: nothing replayed (not even
    # a Connect), the deadline where it was (re-issued with the minutes
    # left, at most a few seconds earlier).
    restart(agent)
    t_restart = time.time()
    wait_for(lambda: sim.status_replies(t_restart) >= 3, 15, what="polling after the restart")
    t_steady = time.time()
    stays(lambda: deadline - 11 <= host_deadline() <= deadline, "the deadline stays",
          until=lambda: sim.status_replies(t_steady) >= 4)
    assert event_codes(agent)[events:] == ["01 06 0 0"]
    assert all(call[0] == "-h" for call in shutdown_calls())

    # The mains returns: now nothing holds, and both are cancelled.
    t_back = time.time()
    sim.control("mains restore")
    wait_for(lambda: b"C\r" in sim.requests(t_back), 10, what="C at the UPS")
    wait_for(lambda: shutdown_calls()[-1][0] == "-c", 10, what="the host cancel")
    assert host_deadline() is None
    state = (agent.dir / "DataBase" / "Shutdown.ang").read_text()
    assert "host 0\nups 0\nheld 00000000\n" in state, state


def test_short_identity_and_noisy_readings(sim, agent, shutdown_calls, host_deadline):
    # A real unit's info replies, and an input voltage that never settles.
    sim.control("identity length 23", "rating length 21", "noise input_voltage 5")
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 15, what="the Connect event")
    wait_for(lambda: sim.requests().count(b"I\r") >= 3 and sim.requests()[-1] == b"Q1\r", 20,
             what="status polling after the identity was given up")

    t_fail = time.time()
    sim.control("mains fail")
    wait_for(lambda: sim.status_replies(t_fail) >= 3, 10, what="three replies with b7 set")
    third = [t for t, _, data in sim.entries("tx") if t >= t_fail and data[:1] == b"("][2]
    # The reply is read within a pass: AC Failed by then.
    wait_for(lambda: "01 07 1 0" in event_codes(agent), max(0.0, third + 1.2 - time.time()),
             interval=0.05, what="AC Failed by the third reply")
    wait_for(lambda: host_deadline(), 10, what="the host shutdown")

    sim.control("mains restore")
    wait_for(lambda: "01 07 0 0" in event_codes(agent), 15, what="the mains return")
    wait_for(lambda: host_deadline() is None, 10, what="the cancel")
