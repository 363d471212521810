"""The daemon's watching job against the simulator: status changes become
event-log lines, mails through a real SMTP server, SMS requests to a real
HTTP gateway stand-in, stand-in host shutdowns and UPS commands."""
import json
import shutil

import pytest

from conftest import BIN, children_of, connect, wait_for

Q = b"Q1\r"


def recording_sender(path, log):
    """A stand-in mail or sms program that records its argument vectors."""
    path.write_text("#!/usr/bin/python3\nimport json, sys\n"
                    "open(%r, 'a').write(json.dumps(sys.argv[1:]) + '\\n')\n" % str(log))
    path.chmod(0o755)


def recorded(log):
    return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []


def write_mail(agent, server, sender, receivers, events):
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    (agent.dir / "Set" / "Mail.ang").write_text("%s\n%s\n%s\n%s\n" % (server, sender, receivers,
                                                                     events))


def write_sms(agent, gateway, ident, api_id, password, phones, events):
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    (agent.dir / "Set" / "SMS.ang").write_text("%d\n%s\n%s\n%s\n%s\n%s\n" % (
        gateway, ident, api_id, password, phones, events))


def flags(*positions):
    return "".join("1" if p in positions else "0" for p in range(9))


def event_codes(agent):
    """Event lines without their time stamps: 'UU CC S T'."""
    return [line[20:] for line in agent.events()]


def start_watching(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 15, what="the Connect event")
    wait_for(lambda: any(l.split()[1] == "230.0" for l in agent.history(1)), 15,
             what="readings taken by the filter")


def senders_done(agent, sim):
    """Waits until the status check of the last reply is over (the next
    request has come) and every program it started has ended and been
    reaped: whatever a sender was going to record is recorded."""
    sim.wait_requests(1)
    wait_for(lambda: children_of(agent.proc.pid) == [], 10, what="the senders to end")


def command_after_query(sim, command, since):
    """The request before `command` is a status query, and the status query
    follows it again: the command went out at the next send opportunity."""
    requests = sim.requests(since)
    i = requests.index(command)
    assert requests[i - 1] == Q, requests[max(0, i - 3):i + 2]
    return i


@pytest.mark.slow(65)
def test_mains_fails_battery_runs_low_mains_returns(sim, agent, smtp_server, http_gateway,
                                                    shutdown_calls):
    shutil.copy2(BIN / "mail", agent.dir / "mail")
    shutil.copy2(BIN / "sms", agent.dir / "sms")
    write_mail(agent, "127.0.0.1:%d" % smtp_server.port, "ups@host.test", "a@x.test;b@y.test;",
               flags(6, 7))
    write_sms(agent, 0, "acct", "", "s3cret", "0911;0922", flags(6, 7))
    (agent.dir / "Set" / "SMSGateway.ang").write_text(
        "http://127.0.0.1:%d/send?user={id}&pw={password}&to={phone}&text={text}\n"
        "POST http://127.0.0.1:%d/post?user={id}&api={api_id}&to={phone}&text={text}\n"
        % (http_gateway.port, http_gateway.port))
    start_watching(sim, agent)

    # The mains fails.
    t_fail = sim.control_and_wait("mains fail", 3)
    wait_for(lambda: "01 07 1 0" in event_codes(agent), 10, what="the AC Failed event")
    smtp_server.wait(2, 20)
    assert sorted(m.rcpt_tos[0] for m in smtp_server.messages) == ["a@x.test", "b@y.test"]
    for m in smtp_server.messages:
        assert m.mail_from == "ups@host.test"
        assert m.message["Subject"] == "From SoftWare Reply Question- Machine1 AC Failed"
    http_gateway.wait(2, 20)
    assert sorted(r.query["to"][0] for r in http_gateway.requests) == ["0911", "0922"]
    assert {r.query["text"][0] for r in http_gateway.requests} == {"Machine1 AC Failed"}
    wait_for(lambda: shutdown_calls(), 10, what="the host shutdown")
    assert shutdown_calls() == [["-h", "+10", "System will shut down after 10 mins."]]
    wait_for(lambda: b"S12R0001\r" in sim.requests(t_fail), 10, what="S12R0001 at the UPS")
    command_after_query(sim, b"S12R0001\r", t_fail)
    # The simulated UPS shows its shutdown as active: reported as an event.
    wait_for(lambda: "01 01 1 0" in event_codes(agent), 10, what="Shutdown Active")

    # The battery runs low.
    t_low = sim.control_and_wait("battery low", 3)
    wait_for(lambda: "01 06 1 0" in event_codes(agent), 10, what="the Battery Low event")
    wait_for(lambda: len(shutdown_calls()) == 2, 10, what="the second host shutdown")
    assert shutdown_calls()[1] == ["-h", "+1", "System will shut down after 1 mins."]
    wait_for(lambda: b"S03R0001\r" in sim.requests(t_low), 10, what="S03R0001 at the UPS")
    command_after_query(sim, b"S03R0001\r", t_low)
    smtp_server.wait(4, 20)
    http_gateway.wait(4, 20)

    # The battery recovers a little while the mains is still failed: the
    # shutdown already started stands.
    t_normal = sim.control_and_wait("battery normal", 3)
    wait_for(lambda: "01 06 0 0" in event_codes(agent), 10, what="the battery normal event")
    # A cancel would go out at the next send after that status check, and
    # the stand-in shutdown would have been started and ended.
    sim.wait_requests(2)
    wait_for(lambda: children_of(agent.proc.pid) == [], 10, what="the daemon's children to end")
    assert len(shutdown_calls()) == 2
    assert b"C\r" not in sim.requests(t_normal)

    # The mains returns.
    t_back = sim.control_and_wait("mains restore", 3)
    wait_for(lambda: "01 07 0 0" in event_codes(agent), 10, what="the AC Recovery event")
    wait_for(lambda: len(shutdown_calls()) == 3, 10, what="the shutdown cancel")
    assert shutdown_calls()[2] == ["-c", "Cancel shut down command"]
    wait_for(lambda: b"C\r" in sim.requests(t_back), 10, what="C at the UPS")
    command_after_query(sim, b"C\r", t_back)
    wait_for(lambda: "01 01 0 0" in event_codes(agent), 10, what="Cancel Shutdown")
    # The mains' notices go out at most once a minute: its return, within a
    # minute of the failure's notice, is told once that minute is over.
    smtp_server.wait(8, 90)
    subjects = [m.message["Subject"] for m in smtp_server.messages]
    assert subjects.count("From SoftWare Reply Question- Machine1 AC Recovery "
                          "(1 change since the last notice)") == 2, subjects
    assert subjects.count("From SoftWare Reply Question- Machine1 Battery Low") == 2
    assert subjects.count("From SoftWare Reply Question- Machine1 Battery Capacity normal") == 2

    codes = event_codes(agent)
    order = [codes.index(c) for c in ("01 08 1 0", "01 07 1 0", "01 01 1 0", "01 06 1 0",
                                      "01 06 0 0", "01 07 0 0", "01 01 0 0")]
    assert order == sorted(order), codes
    # The senders end, and the loop reaps them within a pass.
    wait_for(lambda: children_of(agent.proc.pid, zombies_only=True) == [], 10, what="no zombie left")


def test_silent_unit_gives_disconnect_and_runs_the_hook(sim, agent, tmp_path):
    # The event hook gets its arguments as they are, never through a shell.
    log = tmp_path / "hook.calls"
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    recording_sender(agent.dir / "Set" / "event-hook", log)
    start_watching(sim, agent)
    sim.control("silent on")
    wait_for(lambda: "01 08 0 0" in event_codes(agent), 15, what="the Disconnect event")
    sim.control("silent off")
    wait_for(lambda: event_codes(agent).count("01 08 1 0") == 2, 15, what="Connect again")
    wait_for(lambda: len(recorded(log)) == 3, 10, what="three hook calls")
    assert recorded(log) == [["1", "8", "1", "Connect"], ["1", "8", "0", "Disconnect"],
                             ["1", "8", "1", "Connect"]]


def test_beeper_and_type_changes_give_nothing(sim, agent, tmp_path):
    log = tmp_path / "mail.calls"
    recording_sender(agent.dir / "mail", log)
    write_mail(agent, "mx", "ups@x", "a@x", flags(*range(9)))
    start_watching(sim, agent)
    sim.control_and_wait("beeper on", 4)
    sim.control_and_wait("type offline", 4)
    sim.control_and_wait("beeper off", 4)
    senders_done(agent, sim)
    assert event_codes(agent) == ["01 08 1 0"]
    assert [c[5] for c in recorded(log)] == [" Machine1 Connect"]


@pytest.mark.slow(25)
def test_bypass_on_line_unit_and_avr_on_off_line_unit(make_sim, make_agent, tmp_path):
    for ups_type, mark, text in (("online", "0", " Machine1 Bypass"),
                                 ("offline", "1", " Machine1 In AVR mode")):
        sim = make_sim(ups_type=ups_type)
        agent = make_agent(ups_type)
        log = tmp_path / ("%s.calls" % ups_type)
        recording_sender(agent.dir / "mail", log)
        write_mail(agent, "mx", "ups@x", "a@x", flags(5))
        start_watching(sim, agent)
        sim.control("bypass on")
        wait_for(lambda: "01 05 1 %s" % mark in event_codes(agent), 15, what=text)
        sim.control("bypass off")
        wait_for(lambda: "01 05 0 %s" % mark in event_codes(agent), 15, what="Normal")
        wait_for(lambda: len(recorded(log)) == 2, 5, what="two mails")
        assert [c[5] for c in recorded(log)] == [text, " Machine1 Normal"]


def test_shell_characters_in_values_reach_senders_as_one_argument(sim, agent, tmp_path):
    pwned = tmp_path / "pwned"
    evil = '"; touch %s; "' % pwned
    mail_log, sms_log = tmp_path / "mail.calls", tmp_path / "sms.calls"
    recording_sender(agent.dir / "mail", mail_log)
    recording_sender(agent.dir / "sms", sms_log)
    write_mail(agent, "mx $(touch %s)" % pwned, evil, "a@x", flags(8))
    write_sms(agent, 1, evil, "`touch %s`" % pwned, evil, "0911", flags(8))
    start_watching(sim, agent)
    wait_for(lambda: recorded(mail_log) and recorded(sms_log), 10, what="both senders")
    mail = recorded(mail_log)[0]
    assert mail[:3] == ["mx $(touch %s)" % pwned, "MAIL FROM:" + evil, "RCPT TO:a@x"]
    assert mail[4:] == ["Subject:From SoftWare Reply Question-", " Machine1 Connect"]
    sms = recorded(sms_log)[0]
    assert sms[:4] == ["2", evil, "0911", "`touch %s`" % pwned]
    assert sms[5:] == [" Machine1 Connect"], "the password is on no command line"
    # A shell, had one been used, would have run the touch before it ended.
    wait_for(lambda: children_of(agent.proc.pid) == [], 10, what="the senders to end")
    assert not pwned.exists()


def test_overlong_command_line_is_refused(sim, agent, tmp_path):
    log = tmp_path / "mail.calls"
    recording_sender(agent.dir / "mail", log)
    # each field holds 255 characters; together they pass the 511-character limit
    write_mail(agent, "m" * 250, "s" * 250, "r@x", flags(8))
    start_watching(sim, agent)
    wait_for(lambda: "refused" in agent.stdout(), 10, what="the refusal line")
    senders_done(agent, sim)
    assert recorded(log) == []
    refusals = [l for l in agent.stdout().splitlines() if "refused" in l]
    assert len(refusals) == 1 and "mail" in refusals[0], agent.stdout()


def test_mail_file_with_crlf_and_an_overlong_receiver_line(sim, agent, tmp_path):
    """A Mail.ang saved with CR LF line ends still mails; a receiver line too
    long for its field mails none of its cut addresses."""
    log = tmp_path / "mail.calls"
    recording_sender(agent.dir / "mail", log)
    write_mail(agent, "mx\r", "ups@x\r", "a@x.test;b@y.test\r", flags(7) + "\r")
    start_watching(sim, agent)
    sim.control("mains fail")
    wait_for(lambda: len(recorded(log)) == 2, 15, what="two mails")
    assert sorted(call[2] for call in recorded(log)) == ["RCPT TO:a@x.test", "RCPT TO:b@y.test"]
    assert recorded(log)[0][0] == "mx"

    write_mail(agent, "mx", "ups@x", ";".join("r%03d@x.test" % i for i in range(30)), flags(7))
    client = connect()
    client.send(b"RefreshMail")
    client.close()
    wait_for(lambda: "line 3 is longer than 255" in agent.stdout(), 10, what="the refusal line")
    sim.control("mains restore")
    wait_for(lambda: "01 07 0 0" in event_codes(agent), 15, what="AC Recovery")
    senders_done(agent, sim)
    assert len(recorded(log)) == 2, "no receiver of the cut line is mailed"
