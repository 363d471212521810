"""The console's mail setting page in tmux (80 x 24) against the real daemon,
the simulator and a real SMTP server: saving, the daemon mailing the events
enabled there, test mails, and edits thrown away."""
import shutil

import pytest

from conftest import BIN, Wire, children_of, processes_of, wait_for

ROW_SERVER, ROW_SENDER, ROW_RECEIVERS = 4, 5, 6
ROW_UTILITY_FAIL, ROW_CONNECT = 9, 15
ROW_MESSAGE, MESSAGE = 17, 23
SUBJECT = "From SoftWare Reply Question- Machine1 "


@pytest.fixture
def wire():
    w = Wire()
    yield w
    w.close()


def event_codes(agent):
    return [line[20:] for line in agent.events()]


def start(sim, agent, make_console):
    shutil.copy2(BIN / "mail", agent.dir / "mail")
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    console = make_console(agent.dir).start()
    console.wait_text("1.Monitor UPS Information")
    return console


def open_mail(console, again=False):
    """From the menu; the menu keeps its focus, so a second visit is Enter."""
    console.keys(*([] if again else ["Down", "Down"]), "Enter")
    console.wait_text("    Mail Setting    ", row=1)
    return console.lines()


def mail_file(agent):
    return (agent.dir / "Set" / "Mail.ang").read_text()


def enter_text(console, question, text, old=""):
    """Enter on the focused field, the question shown, the field's `old`
    text erased, `text` typed, Enter."""
    console.keys("Enter")
    console.wait_text(question, row=11)
    console.keys(*["BSpace"] * len(old))
    console.type(text)
    console.keys("Enter")
    wait_for(lambda: question not in console.text(), 5, what="the input box to close")


def fill(console, server, sender, receivers):
    """The three fields from the server field down; the focus ends on the
    receivers."""
    enter_text(console, "Please input mail server name.", server)
    console.keys("Down")
    enter_text(console, "Please input sender mail address.", sender)
    console.keys("Down")
    enter_text(console, "Please input receiver mail address.", receivers)


def message(console, text):
    screen = console.wait_text(text, row=ROW_MESSAGE)
    assert screen[ROW_MESSAGE][MESSAGE:MESSAGE + len(text)] == text
    return screen


def test_connect_ups_saved_and_the_next_disconnect_is_mailed(sim, agent, make_console,
                                                            smtp_server, wire):
    console = start(sim, agent, make_console)
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 15, what="the Connect event")
    screen = open_mail(console)
    assert screen[ROW_CONNECT][5:75] == (
        "         Connect UPS            [ Disable ]                           ")
    fill(console, "127.0.0.1:%d" % smtp_server.port, "ups@host.test", "ops@x.test")
    console.keys(*["Down"] * 7, "Enter")  # the Connect UPS row
    screen = console.wait_text("[ Enable  ]", row=ROW_CONNECT)
    assert screen[ROW_CONNECT][5:75] == (
        "         Connect UPS            [ Enable  ]                           ")
    assert "[ Disable ]" in screen[ROW_UTILITY_FAIL], "only that row changed"
    assert wire.count(b"RefreshMail") == 0

    console.keys("Right", "Enter")  # Save
    screen = message(console, "      =====!!Save OK!!=====")
    assert "    Mail Setting    " in screen[1], "the page stays"
    assert mail_file(agent) == "127.0.0.1:%d\nups@host.test\nops@x.test\n000000001\n" % (
        smtp_server.port)
    wait_for(lambda: wire.count(b"RefreshMail") == 1, 5, what="RefreshMail on the wire")

    sim.control("silent on")
    wait_for(lambda: "01 08 0 0" in event_codes(agent), 20, what="the Disconnect event")
    mails = smtp_server.wait(1, 20)
    assert mails[0].mail_from == "ups@host.test"
    assert mails[0].rcpt_tos == ["ops@x.test"]
    assert mails[0]["Subject"] == SUBJECT + "Disconnect"
    # Whatever else the daemon mailed would have gone with it.
    wait_for(lambda: children_of(agent.proc.pid) == [], 10, what="the mail senders to end")
    assert len(smtp_server.messages) == 1, "nothing else was enabled"

    console.keys("Enter")  # a second save is announced again
    wait_for(lambda: wire.count(b"RefreshMail") == 2, 5, what="the second RefreshMail")


def test_send_test_with_two_receivers_delivers_two_messages(sim, agent, make_console,
                                                           smtp_server):
    console = start(sim, agent, make_console)
    open_mail(console)
    before = mail_file(agent)
    fill(console, "127.0.0.1:%d" % smtp_server.port, "ups@host.test", "a@x.test;b@y.test")
    screen = console.wait_text("a@x.test;b@y.test", row=ROW_RECEIVERS)
    assert screen[ROW_RECEIVERS][5:30] == "MAIL TO:a@x.test;b@y.test"
    console.keys(*["Down"] * 8, "Enter")  # Send Test
    message(console, "Test Mail has send, check received.")
    mails = smtp_server.wait(2, 20)
    assert sorted(m.rcpt_tos[0] for m in mails) == ["a@x.test", "b@y.test"]
    assert {m["Subject"] for m in mails} == {SUBJECT + "Test Mail"}
    assert {m.mail_from for m in mails} == {"ups@host.test"}
    assert mail_file(agent) == before, "a test mail saves nothing"


def test_missing_fields_fail_and_send_nothing(sim, agent, make_console, smtp_server):
    console = start(sim, agent, make_console)
    open_mail(console)
    enter_text(console, "Please input mail server name.", "127.0.0.1:%d" % smtp_server.port)
    console.keys("Down", "Down")
    enter_text(console, "Please input receiver mail address.", "ops@x.test")
    console.keys(*["Down"] * 8, "Enter")  # Send Test, with no sender
    message(console, "Test Mail fail, check input data.")

    console.keys("Down", "Down")  # the sender
    enter_text(console, "Please input sender mail address.", "ups@host.test")
    console.keys("Down")
    enter_text(console, "Please input receiver mail address.", ";;", old="ops@x.test")
    console.keys(*["Down"] * 8, "Enter")
    message(console, "Please input an receiver mailbox at least.")
    # A sender would have been started before the message: none is running.
    wait_for(lambda: processes_of(agent.dir / "mail") == [], 10, what="no mail sender running")
    assert smtp_server.messages == []


def test_cancel_reads_the_file_back(sim, agent, make_console, wire):
    console = start(sim, agent, make_console)
    open_mail(console)
    console.keys(*["Down"] * 3, "Enter")  # Utility Fail on
    console.wait_text("[ Enable  ]", row=ROW_UTILITY_FAIL)
    console.keys("Right", "Enter")  # Save
    message(console, "      =====!!Save OK!!=====")
    assert mail_file(agent) == "\n\n\n000000010\n"

    console.keys(*["Down"] * 5, "Enter")  # by the server field to Battery Low: never saved
    console.wait_text("[ Enable  ]", row=ROW_UTILITY_FAIL + 1)
    console.keys("Up")  # the Utility Fail row
    console.keys("Left")  # the receivers
    enter_text(console, "Please input receiver mail address.", "z@z.test")
    console.keys("Right", "Right", "Right", "Enter")  # Cancel
    console.wait_text("1.Monitor UPS Information")
    # A save would be written by the key's handler, before the menu shows;
    # a RefreshMail would go out before the console's next two requests.
    polled = wire.count(b"ALL\x01\x00")
    wait_for(lambda: wire.count(b"ALL\x01\x00") >= polled + 2, 10, what="two more polls")
    assert mail_file(agent) == "\n\n\n000000010\n"
    assert wire.count(b"RefreshMail") == 1

    screen = open_mail(console, again=True)
    assert "[ Enable  ]" in screen[ROW_UTILITY_FAIL]
    assert "[ Disable ]" in screen[ROW_UTILITY_FAIL + 1]
    assert screen[ROW_RECEIVERS][13:30].strip() == ""
    assert screen[ROW_MESSAGE][MESSAGE:MESSAGE + 30].strip() == "", "the message is cleared"

    # Esc does the same (the focus stayed on Cancel).
    console.keys(*["Down"] * 5, "Enter")
    console.wait_text("[ Enable  ]", row=ROW_UTILITY_FAIL + 1)
    console.keys("Escape")
    console.wait_text("1.Monitor UPS Information")
    screen = open_mail(console, again=True)
    assert "[ Disable ]" in screen[ROW_UTILITY_FAIL + 1]


def test_long_server_name_shows_58_characters_and_is_saved_whole(sim, agent, make_console):
    console = start(sim, agent, make_console)
    open_mail(console)
    server = "mx." + "".join(chr(ord("a") + i % 26) for i in range(97))
    enter_text(console, "Please input mail server name.", server)
    screen = console.wait_text(server[:58], row=ROW_SERVER)
    assert screen[ROW_SERVER][17:77] == server[:58] + " |", "nothing past 58 characters"
    console.keys("Up", "Right", "Enter")  # Send Test, Save
    message(console, "      =====!!Save OK!!=====")
    assert mail_file(agent).split("\n")[0] == server


def test_save_that_cannot_write_says_so(tmp_path, make_console):
    progdir = tmp_path / "prog"
    (progdir / "Set" / "Mail.ang").mkdir(parents=True)  # no file can replace it
    console = make_console(progdir).start()
    console.wait_text("1.Monitor UPS Information")
    open_mail(console)
    console.keys("Up", "Right", "Enter")
    message(console, "      =====!!Save Fail!!=====")
    assert (progdir / "Set" / "Mail.ang").is_dir()
