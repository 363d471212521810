"""The shutdown decision against the simulator and a stand-in shutdown that
keeps its pending deadline as the platform does: outage sequences, glitches,
reloads and restarts must never postpone or lose the host's shutdown; and
the table of sequences of messy power (flapping mains, a platform that
fails, is slow or loses its pending shutdown, a UPS that ignores commands)
with the end state each must reach."""
import os
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import children_of, connect, server_caught_up, stays, wait_for


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


# ---- the table of sequences ---------------------------------------------------------
#
# Each row is a short script against the real daemon (Local-Single on a pty,
# delays 10 / 1 / 2 minutes unless the row says other, the mains return taken
# after 5 s) in a /run of its own, where the stand-in keeps the platform's
# pending shutdown as systemd does; and the end state it must reach: the
# daemon's shutdown calls, the UPS commands, the platform's pending deadline.
# What must never happen on the way (a cancel, a "C", the deadline moving
# later...) is checked at every look the steps take.

RETURN_HOLD = ["--return-hold", "5"]
TURN_OFF_12 = b"S12R0001\r"
CANCEL_UPS = b"C\r"
# An instcmd user of port 3493: admin / secret1 ("openssl passwd -6").
USERS = ("admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BTCOF"
         "F0LzoHFZBt9E45NW0 instcmd\n")


def H(minutes=None):
    """A host shutdown call as the rows name it: ("-h", "+N"); any minutes
    when None."""
    return ("-h", None if minutes is None else "+%d" % minutes)


CANCEL = ("-c", "Cancel shut down command")


def call_key(call):
    return tuple(call[:2]) if call[:1] == ["-h"] else tuple(call)


def call_is(call, key):
    return call_key(call) == key or (key[0] == "-h" and key[1] is None and call[:1] == ["-h"])


def is_poll(request):
    return request.startswith(b"Q1") or request[:1] in (b"I", b"F")


def event_is(line, code):
    """`code` is a whole event ("01 07 1 0") or an event and its state ("09 1")."""
    parts, want = line[20:].split(), code.split()
    return parts == want if len(want) == 4 else parts[1:3] == want


class Row:
    def __init__(self, name, steps, calls, commands, pending, never=("cancel", "C", "later"),
                 settings=None, args=RETURN_HOLD, events=(), seconds=30):
        self.name = name
        self.steps = steps          # (verb, arguments...), see Run
        self.calls = calls          # the daemon's calls at the end (keys), or a check of them
        self.commands = commands    # the UPS commands at the end, or a check of them
        self.pending = pending      # None; (mark, seconds[, earlier, later]): that long after the
                                    # mark, within 5 s or the slack given; "first": where the
                                    # first call put it or up to a minute earlier
        self.never = never          # what must not happen on the way (Run.check)
        self.settings = settings or {}
        self.args = args
        self.events = events        # in the event log at the end
        self.seconds = seconds


class Run:
    """Carries out a row's steps; every look it takes also checks the
    row's `never` list."""

    def __init__(self, row, sim, agent, calls):
        self.row, self.sim, self.agent, self.all_calls = row, sim, agent, calls
        self.never = set(row.never)
        self.marks = {}
        self.stdout_at = {}
        self.first_pending = None
        self.client = None

    # What the daemon did.
    def calls(self):
        """The daemon's calls: all but an operator's bare "-c"."""
        return [c for c in self.all_calls() if c != ["-c"]]

    def commands(self):
        """(time, bytes) of the UPS commands received (polls left out)."""
        return [(t, data) for t, _, data in self.sim.entries("rx") if not is_poll(data)]

    def check(self):
        if self.agent.proc is not None and not self.agent.alive() and "kill" not in self.marks:
            pytest.fail("%s: upsagent ended: %s" % (
                self.row.name, self.agent.stderr_path.read_text(errors="replace")[-2000:]))
        calls, commands = self.calls(), [c for _, c in self.commands()]
        pending = self.agent.platform_pending()
        if pending is not None and self.first_pending is None:
            self.first_pending = pending
        broken = {
            "cancel": CANCEL in map(call_key, calls),
            "C": CANCEL_UPS in commands,
            "later": pending is not None and pending > self.first_pending + 2,
            "host": bool(calls),
            "turn-off": any(c.startswith(b"S") for c in commands),
        }
        for name in self.never:
            if broken[name]:
                pytest.fail("%s: must not happen: %s (calls %s, UPS commands %s, pending %s, "
                            "first %s)" % (self.row.name, name, calls, commands, pending,
                                           self.first_pending))

    def wait(self, predicate, timeout, what):
        """Waits for `predicate`, checking what must never happen at each look."""
        def looked():
            self.check()
            return predicate()
        return wait_for(looked, timeout, failure=lambda: (
            "%s: timed out after %.1f s waiting for %s; calls %s, UPS commands %s, events %s"
            % (self.row.name, timeout, what, self.calls(), [c for _, c in self.commands()],
               event_codes(self.agent))))

    def mark(self, name, when=None):
        self.marks[name] = time.time() if when is None else when
        self.stdout_at[name] = len(self.agent.stdout())

    def status_bits(self):
        """b7..b0 of every status reply the UPS sent, with its time."""
        return [(t, data[38:46]) for t, _, data in self.sim.entries("tx")
                if data[:1] == b"(" and len(data) == 47]

    # The steps.
    # Steps that change the world: the calls and events an expectation
    # after them waits for are counted from just before the change (the
    # daemon may act before the expectation's step begins).
    STIMULI = ("sim", "kill", "remove", "start", "standin", "operator-cancel", "schedule",
               "send", "instcmd")

    def step(self, verb, *args):
        if verb in self.STIMULI or not hasattr(self, "seen"):
            # What an expectation may count as already waited for: the
            # calls and events before this change, or those an earlier
            # expectation took, whichever are more.
            self.seen = [len(self.calls()), len(self.agent.events()) if self.agent else 0,
                         len(self.commands())]
        getattr(self, "do_" + verb.replace("-", "_"))(*args)

    def do_sim(self, command):
        self.sim.control(command)
        self.mark(command)

    def do_allow(self, name):
        self.never.discard(name)

    def do_event(self, code, timeout):
        before = sum(event_is(line, code) for line in self.agent.events()[:self.seen[1]])
        self.wait(lambda: sum(event_is(line, code) for line in self.agent.events()) > before,
                  timeout, "event %s" % code)
        self.seen[1] = max(self.seen[1], len(self.agent.events()))

    def do_call(self, key, timeout):
        before = sum(call_is(c, key) for c in self.calls()[:self.seen[0]])
        self.wait(lambda: sum(call_is(c, key) for c in self.calls()) > before, timeout,
                  "the call %s" % (key,))
        self.seen[0] = max(self.seen[0], len(self.calls()))
        self.mark("call %s %s" % key)

    def do_request(self, command, timeout):
        """A UPS command arrived; `command` without its CR is a prefix."""
        def matching(commands):
            return [t for t, c in commands
                    if c == command or (not command.endswith(b"\r") and c.startswith(command))]
        before = len(matching(self.commands()[:self.seen[2]]))
        self.wait(lambda: len(matching(self.commands())) > before, timeout,
                  "%r at the UPS" % command)
        self.mark(command.decode().strip(), matching(self.commands())[before])
        self.seen[2] = max(self.seen[2], len(self.commands()))

    def do_flaps(self, count, timeout):
        """The UPS's replies showed the mains change `count` times."""
        since = time.time()

        def changes():
            bits = [b[0:1] for t, b in self.status_bits() if t >= since]
            return sum(1 for a, b in zip(bits, bits[1:]) if a != b)
        self.wait(lambda: changes() >= count, timeout, "%d mains changes" % count)

    def do_replies(self, count):
        """Progress: `count` more status replies (with the checks at each look)."""
        since = time.time()
        self.wait(lambda: self.sim.status_replies(since) >= count, 10 + 2 * count,
                  "%d status replies" % count)

    def do_last_failure(self):
        """Marks "last mains failure": the last status reply after which a
        Local-Single unit's filter still read the mains as failed (set by
        two of the last three replies, cleared by three clear ones). A flap
        may have brought the mains back before the control command did, and
        a lone failed reply sets nothing."""
        taken, last, window = False, None, []
        for when, bits in self.status_bits():
            window = (window + [bits[0:1] == b"1"])[-3:]
            if len(window) == 3:
                if sum(window) >= 2:
                    taken = True
                elif sum(window) == 0:
                    taken = False
            if taken:
                last = when
        assert last is not None, "%s: the mains was never taken as failed" % self.row.name
        self.mark("last mains failure", last)

    def do_held(self, later, earlier, seconds):
        """Mark `later` came at least `seconds` after mark `earlier`."""
        gap = self.marks[later] - self.marks[earlier]
        assert gap >= seconds - 0.3, "%s: %s only %.1f s after %s" % (self.row.name, later, gap,
                                                                      earlier)

    def do_after(self, later, earlier):
        """Mark `later` did not come before mark `earlier` (within the
        half-second a look may be late)."""
        assert self.marks[later] >= self.marks[earlier] - 0.5, \
            "%s: %s before %s" % (self.row.name, later, earlier)

    def do_kill(self):
        self.agent.procs.stop(self.agent.proc, signal.SIGKILL)
        self.mark("kill")

    def do_remove(self, relative):
        (self.agent.dir / relative).unlink()

    def do_start(self):
        self.agent.start(private_run=True, args=self.row.args)
        del self.marks["kill"]  # watched again
        self.mark("start")

    def do_standin(self, kind, text):
        """The stand-in's "fail" or "slow" file; None removes it."""
        path = Path(self.agent.env["UPS_STANDIN_LOG"] + "." + kind)
        if text is None:
            path.unlink()
        else:
            path.write_text(text + "\n")

    def do_idle(self, timeout):
        """No call of the daemon's is still running."""
        def running():
            found = []
            for child in children_of(self.agent.proc.pid):
                try:
                    argv = Path("/proc/%d/cmdline" % child).read_bytes()
                except OSError:
                    continue
                if b"standin/shutdown" in argv:
                    found.append(child)
            return found
        self.wait(lambda: not running(), timeout, "the daemon's calls to end")

    def do_operator_cancel(self):
        self.agent.operator_cancel()
        self.mark("operator cancel")

    def do_stdout(self, pattern, since, timeout):
        """A line of the daemon's matching `pattern` (case ignored) printed
        after mark `since`."""
        regex = re.compile(pattern, re.I)
        self.wait(lambda: any(regex.search(line) for line in
                              self.agent.stdout()[self.stdout_at[since]:].splitlines()),
                  timeout, "a line matching %r" % pattern)

    def do_schedule(self, action):
        """An entry for the next whole minute (the one after when fewer than
        8 s are left), written as the console writes it; mark "due" is its
        minute."""
        now = time.time()
        due = now - now % 60 + (60 if 60 - now % 60 >= 8 else 120)
        t = time.gmtime(due)  # the daemon runs with TZ=UTC
        line = "0001 %d %04d/%02d/%02d %02d:%02d %-5s O %25s\n" % (
            (t.tm_wday + 2) % 7, t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, action, "")
        assert len(line) == 58
        (self.agent.dir / "DataBase" / "Schedule.ang").write_text(line)
        self.send(b"RefreshPlan")
        self.mark("due", due)

    def send(self, data):
        if self.client is None:
            self.client = connect()
        self.client.send(data)

    def do_send(self, data):
        """Bytes to port 2027, on one connection kept for the row, paced as
        the daemon takes UPS commands from one host: one a second."""
        last = getattr(self, "last_send", None)
        if last is not None:
            wait_for(lambda: time.monotonic() - last >= 1.1, 5, interval=0.05,
                     what="a second since the last command")
        self.send(data)
        self.last_send = time.monotonic()
        server_caught_up()

    def do_instcmd(self, name):
        done = subprocess.run(["upscmd", "-u", "admin", "-p", "secret1", "ups1@127.0.0.1", name],
                              capture_output=True, text=True, timeout=20, stdin=subprocess.DEVNULL)
        self.mark("instcmd " + name)
        return done

    # The end state.
    def end_problems(self):
        """What differs from the row's end state; empty when it is reached."""
        row, calls, problems = self.row, self.calls(), []
        if callable(row.calls):
            if not row.calls(calls):
                problems.append("the calls %s" % calls)
        elif len(calls) != len(row.calls) or not all(
                call_is(c, k) for c, k in zip(calls, row.calls)):
            problems.append("the calls %s, not %s" % ([call_key(c) for c in calls], row.calls))
        for c in calls:
            if c[0] == "-h" and c[1] != "+0" and \
                    c[2:] != ["System will shut down after %s mins." % c[1][1:]]:
                problems.append("the call %s" % c)
        timed = self.commands()
        commands = [c for _, c in timed]
        if not (row.commands(commands) if callable(row.commands) else commands == row.commands):
            problems.append("the UPS commands %s" % commands)
        pending = self.agent.platform_pending()
        if row.pending is None:
            if pending is not None:
                problems.append("a shutdown pending at %.1f" % pending)
        elif pending is None:
            problems.append("no shutdown pending")
        elif row.pending == "first":
            if not self.first_pending - 61 <= pending <= self.first_pending + 2:
                problems.append("pending at %.1f, the first at %.1f" % (pending,
                                                                       self.first_pending))
        else:
            mark, seconds, earlier, later = (tuple(row.pending) + (5, 10))[:4]
            want = self.marks[mark] + seconds
            if not want - earlier <= pending <= want + later:
                problems.append("pending at %.1f, not %d s after %s (%.1f)" % (
                    pending, seconds, mark, want))
        # A turn-off the UPS was told and not cancelled never comes before
        # the host's deadline.
        turn_offs = [(t, c) for t, c in timed if c.startswith(b"S") or c == CANCEL_UPS]
        if pending is not None and turn_offs and turn_offs[-1][1].startswith(b"S"):
            t, c = turn_offs[-1]
            if t + 60 * int(c[1:3]) < pending - 2:
                problems.append("the UPS turns off (%r) before the host's deadline" % c)
        events = self.agent.events()
        for code in row.events:
            if not any(event_is(line, code) for line in events):
                problems.append("no event %s in %s" % (code, event_codes(self.agent)))
        return problems

    def check_end(self, timeout=10):
        """Waits for the end state (what follows the last step may still be
        on its way); fails with what differs."""
        def reached():
            self.check()
            return not self.end_problems()
        wait_for(reached, timeout, failure=lambda: "%s: the end state is not reached: %s" % (
            self.row.name, "; ".join(self.end_problems())))


def ignored_cancels(commands):
    """The turn-off, then only the cancel sent again, at most four times."""
    return commands[:1] == [TURN_OFF_12] and 2 <= commands.count(CANCEL_UPS) <= 4 and \
        len(commands) == 1 + commands.count(CANCEL_UPS)


def turn_offs_only(commands):
    """The outage's turn-off first, then nothing but turn-offs (one moved
    with the host's deadline, say)."""
    return commands[:1] == [TURN_OFF_12] and all(c.startswith(b"S") for c in commands)


def no_later_call(calls):
    """The first call, then none with more minutes than it."""
    return call_key(calls[0]) == H(10) and all(
        c[0] == "-h" and int(c[1][1:]) <= 10 for c in calls[1:])


ROWS = [
    # The mains flaps every 2 s and the battery goes low meanwhile.
    Row("flap-2s-battery-low",
        [("sim", "mains flap 2"), ("event", "01 07 1 0", 8), ("call", H(10), 10),
         ("request", TURN_OFF_12, 10), ("flaps", 3, 15), ("sim", "battery low"),
         ("call", H(1), 10), ("request", b"S03R0001\r", 10), ("flaps", 4, 15)],
        calls=[H(10), H(1)], commands=[TURN_OFF_12, b"S03R0001\r"],
        pending=("battery low", 60)),
    # The mains flaps every 3 to 3.5 s, then comes back for good.
    Row("flap-then-back",
        [("sim", "mains flap 3"), ("call", H(10), 15), ("request", TURN_OFF_12, 10),
         ("flaps", 4, 20), ("sim", "mains flap 3.5"), ("flaps", 4, 20), ("allow", "cancel"),
         ("allow", "C"), ("sim", "mains restore"), ("call", CANCEL, 20),
         ("request", CANCEL_UPS, 20), ("last-failure",),
         ("held", "call -c Cancel shut down command", "last mains failure", 5)],
        calls=[H(10), CANCEL], commands=[TURN_OFF_12, CANCEL_UPS], pending=None, seconds=45),
    # A scheduled "S": the host at once, the UPS two minutes later.
    Row("schedule-S",
        [("schedule", "S"), ("call", H(0), 130), ("request", b"S02\r", 10),
         ("after", "S02", "call -h +0")],
        calls=[H(0)], commands=[b"S02\r"], pending=("due", 0, 2, 10), seconds=75),
    Row("schedule-R0480",
        [("schedule", "R0480"), ("call", H(0), 130), ("request", b"S02R0480\r", 10),
         ("after", "S02R0480", "call -h +0")],
        calls=[H(0)], commands=[b"S02R0480\r"], pending=("due", 0, 2, 10), seconds=75),
    Row("schedule-S-in-an-outage",
        [("sim", "mains fail"), ("call", H(10), 15), ("request", TURN_OFF_12, 10),
         ("schedule", "S"), ("call", H(0), 130), ("request", b"S02", 10),
         ("after", "S02", "call -h +0")],
        calls=[H(10), H(0)], pending=("due", 0, 2, 10), seconds=75,
        commands=lambda c: len(c) == 2 and c[0] == TURN_OFF_12 and c[1].startswith(b"S02")),
    # A "C" on port 2027 and shutdown.stop on 3493 do not cancel an
    # outage's shutdown; a test goes to the UPS as it came.
    Row("sources-bypass-nothing",
        [("sim", "mains fail"), ("call", H(10), 15), ("request", TURN_OFF_12, 10),
         ("send", CANCEL_UPS), ("instcmd", "shutdown.stop"), ("send", b"T\r"),
         ("request", b"T\r", 10), ("replies", 3)],
        calls=[H(10)], commands=[TURN_OFF_12, b"T\r"], pending=("mains fail", 600)),
    # No host shutdown on a mains failure: no UPS turn-off either.
    Row("mains-delay-0",
        [("sim", "mains fail"), ("event", "01 07 1 0", 15), ("replies", 6)],
        calls=[], commands=[], pending=None, never=("host", "turn-off"),
        settings=dict(ac_fail=0)),
    # The platform fails the first call: said, logged, tried again.
    Row("failing-call",
        [("standin", "fail", "1"), ("sim", "mains fail"), ("call", H(10), 15),
         ("stdout", r"shutdown.*(fail|exit|status|error)|(fail|exit|status|error).*shutdown",
          "mains fail", 10), ("event", "09 1", 10), ("call", H(), 35)],
        calls=[H(10), H()], commands=turn_offs_only, pending=("mains fail", 600, 61, 10),
        events=("09 1",), seconds=45),
    # A slow platform: the calls go one at a time, the last one stands.
    Row("slow-call",
        [("standin", "slow", "5"), ("sim", "mains fail"), ("call", H(10), 15),
         ("standin", "slow", None), ("sim", "battery low"), ("call", H(1), 20),
         ("request", b"S03R0001\r", 20), ("idle", 20)],
        calls=[H(10), H(1)], pending=("battery low", 60),
        commands=lambda c: c[-1:] == [b"S03R0001\r"] and set(c) <= {TURN_OFF_12,
                                                                      b"S03R0001\r"}),
    # The state file is lost with a crash: the platform's deadline stands.
    Row("lost-state-file",
        [("sim", "mains fail"), ("call", H(10), 15), ("replies", 5), ("kill",),
         ("remove", "DataBase/Shutdown.ang"), ("start",), ("replies", 10)],
        calls=no_later_call, commands=turn_offs_only,
        pending="first"),
    # An operator cancels the platform's shutdown by hand during the outage.
    Row("pending-vanishes",
        [("sim", "mains fail"), ("call", H(10), 15), ("replies", 2), ("operator_cancel",),
         ("call", H(), 75), ("stdout", "shutdown", "operator cancel", 10)],
        calls=lambda c: len(c) == 2 and call_key(c[0]) == H(10) and c[1][0] == "-h",
        commands=turn_offs_only, pending="first", seconds=80),
    # The UPS took the turn-off but ignores the cancel.
    Row("ups-ignores-C",
        [("sim", "mains fail"), ("call", H(10), 15), ("request", TURN_OFF_12, 10),
         ("event", "01 01 1 0", 15), ("sim", "commands ignore"), ("allow", "cancel"),
         ("allow", "C"), ("sim", "mains restore"), ("request", CANCEL_UPS, 20),
         ("event", "10 1", 120), ("replies", 5)],
        calls=[H(10), CANCEL], commands=ignored_cancels, pending=None, events=("10 1",),
        seconds=120),
]


@pytest.mark.parametrize("row", [pytest.param(r, id=r.name, marks=pytest.mark.slow(r.seconds))
                                 for r in ROWS])
def test_sequence(row, sim, agent, shutdown_calls):
    """One row of the table: its steps, then its end state."""
    settings = dict(device=sim.path, ac_fail=10, battery_low=1, ups_shutdown=2)
    settings.update(row.settings)
    agent.write_settings(mode="Local-Single", link="RS232", **settings)
    (agent.dir / "Set" / "Users.ang").write_text(USERS)
    os.chmod(agent.dir / "Set" / "Users.ang", 0o600)
    run = Run(row, sim, agent, shutdown_calls)
    agent.start(private_run=True, args=row.args)
    run.wait(lambda: "01 08 1 0" in event_codes(agent), 15, "the Connect event")
    run.mark("start")
    for step in row.steps:
        run.step(*step)
    run.check_end()
