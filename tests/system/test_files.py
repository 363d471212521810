"""Files below the program directory against a local user who lays links,
FIFOs and oversized files in their place: nothing is written through a link,
nothing blocks the daemon, and a rules file too large to read whole is
refused whole."""
import os
import stat
import time

from conftest import Client, ask_mgmt, connect, server_caught_up, wait_for


def start(sim, agent, **settings):
    settings.setdefault("mode", "Local-Single")
    agent.write_settings(link="RS232", device=sim.path, **settings)
    agent.start()
    return connect()


def test_links_at_the_daemons_files_are_refused_and_their_targets_untouched(make_sim, agent,
                                                                           tmp_path):
    sim = make_sim(units=2)
    database = agent.dir / "DataBase"
    database.mkdir(mode=0o700)
    day = time.strftime("%Y%m%d")
    names = ["metrics.prom", "M1%s.ang" % day, "Event.ang", "Shutdown.ang"]
    targets = {}
    for name in names:
        target = tmp_path / ("outside-" + name)
        target.write_text("the target of %s\n" % name)
        target.chmod(0o640)
        (database / name).symlink_to(target)
        targets[name] = target
    client = start(sim, agent, mode="Local-Multiple", number=2)
    # Unit 2's own history shows the passes go on: unit 1's appends, the
    # event log's and the metrics' writes were tried at the same passes.
    wait_for(lambda: len(agent.history(2)) >= 3, 30, what="three history lines of unit 2")
    assert len(client.record(1)) == 108, "the daemon still serves"
    out = agent.stdout()
    for name in names:
        path = database / name
        assert path.is_symlink() and os.readlink(path) == str(targets[name]), name
        assert targets[name].read_text() == "the target of %s\n" % name, name
        assert stat.S_IMODE(targets[name].stat().st_mode) == 0o640, name
        # One line for its writes, however often they are tried (the state
        # file's start-up read is refused with one of its own).
        lines = [l for l in out.splitlines() if "write %s: it is a symbolic link" % path in l]
        assert len(lines) == 1, (name, out)
    assert not list(database.glob("*.new*")), "no temporary file left"
    client.close()


def test_a_fifo_at_the_mail_settings_does_not_stop_the_ports(sim, agent):
    client = start(sim, agent)
    mail = agent.dir / "Set" / "Mail.ang"
    wait_for(mail.exists, 10, what="Set/Mail.ang made at start")
    mail.unlink()
    os.mkfifo(mail, 0o600)
    client.send(b"RefreshMail")
    server_caught_up()
    assert ask_mgmt("NETVER") == "1.3\n", "port 3493 answers"
    assert stat.S_ISFIFO(mail.stat().st_mode), "left as it is"
    wait_for(lambda: "refusing to read %s: it is not a regular file" % mail in agent.stdout(), 5,
             what="the line naming the FIFO")
    client.send(b"RefreshMail")
    server_caught_up()
    assert agent.stdout().count("refusing to read %s" % mail) == 1, "one line per file"
    client.close()


def test_a_rules_file_over_its_limit_is_refused_whole(sim, agent, other_host):
    setdir = agent.dir / "Set"
    setdir.mkdir(mode=0o700)
    clients = setdir / "Clients.ang"
    # Cut at the limit, the network's command right would stand and the
    # host's own read rule after the comments would be lost.
    text = "10.77.0.0/24 command\n" + "# a comment\n" * 1500 + "%s read\n" % other_host
    assert len(text) > 16384
    clients.write_text(text)
    clients.chmod(0o600)
    local = start(sim, agent)
    wait_for(lambda: local.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    remote = Client(source=other_host)
    t = time.time()
    remote.send(b"T\r")
    server_caught_up()
    sim.wait_requests(2)
    assert b"T\r" not in sim.requests(t), "no host has a command right"
    assert clients.read_text() == text, "never replaced"
    out = agent.stdout()
    assert "refusing to read %s: it is larger than its limit" % clients in out, out
    t = time.time()
    local.send(b"T\r")
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what="loopback's T at the UPS")
    remote.close()
    local.close()
