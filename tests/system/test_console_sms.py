"""upsconsole's SMS setting page, in tmux at 80 x 24 against the real daemon,
the simulator and the HTTP gateway stand-in: the gateway switch and the API
id, the masked password, Send Test through the real `sms` sender, Save and
the daemon's reload, and the refusals."""
import re
import shutil

from conftest import BIN, processes_of, stays, wait_for

MASK = "*" * 14
SENT = "Test SMS has Send,check received."
MISSING = "Test SMS fail, check input data."
SAVED = "      =====!!Save OK!!====="


def flags(*positions):
    return "".join("1" if p in positions else "0" for p in range(9))


def write_sms(agent, gateway, ident, api_id, password, phones, events="000000000"):
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    (agent.dir / "Set" / "SMS.ang").write_text("%s\n%s\n%s\n%s\n%s\n%s\n" % (
        gateway, ident, api_id, password, phones, events))


def write_gateways(agent, first, second):
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    (agent.dir / "Set" / "SMSGateway.ang").write_text(first + "\n" + second + "\n")


def stand_in_gateways(agent, gw):
    """Both gateways at the HTTP stand-in: a GET and a form POST."""
    write_gateways(
        agent,
        "http://127.0.0.1:%d/send?user={id}&pw={password}&to={phone}&text={text}" % gw.port,
        "POST http://127.0.0.1:%d/post?user={id}&api={api_id}&pw={password}&to={phone}"
        "&text={text}" % gw.port)


def named_gateways(agent):
    """Two gateways with different host names (never contacted)."""
    write_gateways(agent, "https://first-gw.example.test/send?user={id}&to={phone}",
                   "POST https://second-gw.example.test/post?user={id}&api={api_id}&to={phone}")


def start(sim, agent, make_console, with_sender=True, stderr_to_file=True):
    """The daemon on the simulator and the console on the SMS page."""
    if with_sender:
        shutil.copy2(BIN / "sms", agent.dir / "sms")
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    console = make_console(agent.dir).start(stderr_to_file)
    console.wait_text("4.SMS Setting")
    console.keys("Down", "Down", "Down", "Enter")
    console.wait_text("SMS Setting", row=1)
    console.wait_text("SMS SERVER:", row=4)
    return console


def senders_ended(agent):
    """Waits until no `sms` the console started runs: one started before
    its message was shown has sent what it was going to send."""
    wait_for(lambda: processes_of(agent.dir / "sms") == [], 10, what="no sms sender running")


def field(console, row, col, width):
    return console.row(row)[col:col + width]


def api_caption(console):
    return field(console, 5, 39, 7)


def message(console):
    return console.row(18)[23:].rstrip(" |")


def type_into(console, text):
    """Enter on the focused field, the text, Enter."""
    console.keys("Enter")
    console.wait_text("Press Enter to finish input.")
    if text:
        console.type(text)
    console.keys("Enter")
    wait_for(lambda: "Press Enter to finish input." not in console.text(), 5,
             what="the input box to close")


def open_popup(console):
    """Enter on the gateway field; waits for the list popup's frame."""
    console.keys("Enter")
    wait_for(lambda: console.row(12)[10:70] == "-" * 60, 5, what="the list popup")
    return console.lines()


def choose_gateway(console, current, index, host):
    """Picks item `index` in the popup, which opens on `current`; with two
    items Down moves to the other one."""
    open_popup(console)
    if index != current:
        console.keys("Down")
    console.keys("Enter")
    console.wait_text("SMS SERVER:" + host, row=4)


def focused_text(console):
    """The text drawn in the focus pair (white on magenta)."""
    m = re.search(r"\x1b\[[0-9;]*45m([^\x1b]*)", console.colours())
    return m.group(1).strip() if m else None


class TestGatewayAndApiId:
    def test_switch_shows_and_hides_api_id_and_empties_it(self, sim, agent, make_console):
        named_gateways(agent)
        write_sms(agent, 1, "acct", "K42", "pw", "0911")
        console = start(sim, agent, make_console, with_sender=False)
        console.wait_text("SMS SERVER:second-gw.example.test", row=4)
        assert api_caption(console) == "api_id:"
        assert field(console, 5, 46, 4) == "K42 "

        screen = open_popup(console)
        assert screen[13][11:33] == "first-gw.example.test "
        assert screen[14][11:34] == "second-gw.example.test "
        console.keys("Up", "Enter")
        console.wait_text("SMS SERVER:first-gw.example.test", row=4)
        assert api_caption(console) == " " * 7, "no caption for the first gateway"
        assert field(console, 5, 46, 19) == " " * 19

        choose_gateway(console, 0, 1, "second-gw.example.test")
        assert api_caption(console) == "api_id:"
        assert field(console, 5, 46, 19) == " " * 19, "the API id was emptied"
        # A refresh tick keeps it so (nothing else shows the page's progress).
        stays(lambda: field(console, 5, 46, 19) == " " * 19, "the API id empty", seconds=0.6)

    def test_api_id_field_opens_only_for_the_second_gateway(self, sim, agent, make_console):
        named_gateways(agent)
        write_sms(agent, 0, "acct", "", "pw", "0911")
        console = start(sim, agent, make_console, with_sender=False)
        console.keys("Right")
        wait_for(lambda: focused_text(console) == "", 5,
                 what="the focus on the empty API id field (now on %r)" % focused_text(console))
        # Keys are taken in order: once the next one has moved the focus up
        # to the gateway, the Enter has been handled.
        console.keys("Enter", "Up")
        wait_for(lambda: console.focus_rows() == [4], 5, what="the focus on the gateway")
        assert "Please input SMS API-ID." not in console.text()

        choose_gateway(console, 0, 1, "second-gw.example.test")
        console.keys("Right")
        type_into(console, "key-7")
        console.wait_text("api_id:key-7", row=5)

    def test_save_writes_the_empty_api_id_and_the_daemon_reloads(self, sim, agent, make_console,
                                                                 http_gateway):
        stand_in_gateways(agent, http_gateway)
        write_sms(agent, 1, "acct", "K42", "pw", "0911", flags())
        console = start(sim, agent, make_console)
        wait_for(lambda: "01 08 1 0" in [l[20:] for l in agent.events()], 15,
                 what="the daemon to connect")
        console.wait_text("SMS SERVER:127.0.0.1", row=4)
        choose_gateway(console, 1, 0, "127.0.0.1")
        # Utility Fail is the first row: 13 -> 14 -> 16 -> 17 -> 18
        console.keys("Down", "Down", "Down", "Down", "Enter")
        console.wait_text("Utility Fail           [ Enable  ]", row=10)
        console.keys("Down", "Down", "Down", "Down", "Down", "Down", "Down", "Right", "Enter")
        console.wait_text(SAVED, row=18)
        text = (agent.dir / "Set" / "SMS.ang").read_text()
        assert text == "0\nacct\n\npw\n0911\n%s\n" % flags(7)
        assert console.row(1)[30:50] == "     SMS Setting    ", "the page stays"

        # The daemon started with no SMS event enabled: it sends only after
        # the reload the page asked for.
        sim.control_and_wait("mains fail", 3)
        [req] = http_gateway.wait(1, 20)
        assert req.method == "GET" and req.path.startswith("/send?")
        assert req.query["user"] == ["acct"] and req.query["to"] == ["0911"]
        assert req.query["text"][0].strip() == "Machine1 AC Failed"

    def test_unknown_gateway_from_the_file_is_shown_and_refused(self, sim, agent, make_console,
                                                                http_gateway):
        stand_in_gateways(agent, http_gateway)
        write_sms(agent, 7, "acct", "api", "pw", "0911")
        console = start(sim, agent, make_console)
        console.wait_text("SMS SERVER:(unknown gateway)", row=4)
        # The daemon's line about the gateway is not printed onto the screen.
        assert "no SMS can be sent" in agent.stdout()
        assert "no SMS" not in console.text()
        assert api_caption(console) == "api_id:"
        console.keys("Up", "Left", "Left", "Enter")  # [Send Test]
        console.wait_text("Test SMS fail, choose the SMS server.", row=18)
        senders_ended(agent)
        assert http_gateway.requests == []
        console.keys("Escape")  # leaving rereads the file
        console.wait_text("4.SMS Setting")
        # Its line is not printed over the menu: the frame stays whole once
        # the menu is drawn.
        def whole(screen):
            return screen[0] == screen[23] == "-" * 80 and \
                all(len(r) == 80 and r[0] == r[79] == "|" for r in screen[1:23])
        wait_for(lambda: whole(console.lines()), 5,
                 what="the frame whole: %s" % "\n".join(console.lines()))


class TestPassword:
    def test_always_fourteen_asterisks_and_typed_text_replaces_it(self, sim, agent,
                                                                  make_console):
        named_gateways(agent)
        write_sms(agent, 0, "acct", "", "an old and rather long secret", "0911")
        console = start(sim, agent, make_console, with_sender=False)
        console.wait_text("Password:" + MASK + " ", row=6)
        console.keys("Down", "Down")
        console.keys("Enter")
        screen = console.wait_text("Please input SMS Password.")
        assert "secret" not in "\n".join(screen), "the stored password is never shown"
        assert screen[14][11:69].strip() == "", "the box opens empty"
        console.type("x")
        console.keys("Enter")
        console.wait_text("Password:" + MASK + " ", row=6)
        type_into(console, "a-much-longer-password-than-fourteen")
        console.wait_text("Password:" + MASK + " ", row=6)
        console.keys("Up", "Up", "Up", "Left", "Enter")  # 16 -> 14 -> 13 -> 27 -> [ Save ]
        console.wait_text(SAVED, row=18)
        lines = (agent.dir / "Set" / "SMS.ang").read_text().split("\n")
        assert lines[3] == "a-much-longer-password-than-fourteen"

    def test_enter_alone_empties_the_password(self, sim, agent, make_console):
        named_gateways(agent)
        write_sms(agent, 0, "acct", "", "secret", "0911")
        console = start(sim, agent, make_console, with_sender=False)
        console.keys("Down", "Down")
        type_into(console, "")
        console.wait_text("Password:" + MASK + " ", row=6)
        console.keys("Up", "Up", "Up", "Left", "Enter")  # [ Save ]
        console.wait_text(SAVED, row=18)
        assert (agent.dir / "Set" / "SMS.ang").read_text().split("\n")[3] == ""


class TestSendTest:
    def test_first_gateway_gets_the_typed_values_once_per_number(self, sim, agent, make_console,
                                                                 http_gateway):
        stand_in_gateways(agent, http_gateway)
        write_sms(agent, 0, "", "", "p@ss&w", "")
        console = start(sim, agent, make_console)
        console.keys("Down")
        type_into(console, "acct one")
        console.keys("Down")
        type_into(console, "typed-pw")
        console.keys("Down")
        type_into(console, "0911;;0922")
        console.wait_text("Phone Number:0911;;0922", row=7)
        console.keys("Up", "Up", "Up", "Up", "Left", "Left", "Enter")
        console.wait_text(SENT, row=18)
        reqs = http_gateway.wait(2, 20)
        assert sorted(r.query["to"][0] for r in reqs) == ["0911", "0922"]
        for r in reqs:
            assert r.method == "GET" and r.path.startswith("/send?")
            assert r.query["user"] == ["acct one"]
            # The sender reads the saved password itself: a password on its
            # command line could be read by every user of the host.
            assert r.query["pw"] == ["p@ss&w"]
            assert r.query["text"][0].strip() == "Machine1 Test Message"
        assert (agent.dir / "Set" / "SMS.ang").read_text() == \
            "0\n\n\np@ss&w\n\n000000000\n", "Send Test sends what is typed without saving it"

    def test_second_gateway_posts_with_the_api_id(self, sim, agent, make_console, http_gateway):
        stand_in_gateways(agent, http_gateway)
        write_sms(agent, 1, "acct", "", "pw", "0933")
        console = start(sim, agent, make_console)
        console.keys("Up", "Left", "Left", "Enter")
        console.wait_text(MISSING, row=18)
        senders_ended(agent)
        assert http_gateway.requests == [], "no API id: nothing is sent"

        console.keys("Down", "Right")  # [Send Test] -> gateway -> API id
        type_into(console, "api 7")
        console.keys("Up", "Up", "Left", "Left", "Enter")  # 15 -> 13 -> 27 -> 26 -> 25
        wait_for(lambda: message(console) == SENT, 5, what="the sent message")
        [req] = http_gateway.wait(1, 20)
        assert req.method == "POST" and req.path == "/post"
        assert req.form["user"] == ["acct"] and req.form["api"] == ["api 7"]
        assert req.form["pw"] == ["pw"] and req.form["to"] == ["0933"]
        assert req.form["text"][0].strip() == "Machine1 Test Message"

    def test_a_failing_sender_prints_nothing_over_the_page(self, sim, agent, make_console):
        # A gateway nobody listens at: the sender says why on its stderr,
        # which is the console's terminal here.
        write_gateways(agent, "http://127.0.0.1:9/send?user={id}&to={phone}&text={text}", "")
        write_sms(agent, 0, "acct", "", "pw", "0911")
        console = start(sim, agent, make_console, stderr_to_file=False)
        before = console.lines()
        console.keys("Up", "Left", "Left", "Enter")
        console.wait_text(SENT, row=18)
        senders_ended(agent)  # its connection refused, its line written
        after = console.lines()
        # Only the message row (and the clock in row 0) may have changed.
        assert [r for i, r in enumerate(after) if i not in (0, 18)] == \
            [r for i, r in enumerate(before) if i not in (0, 18)], after

    def test_missing_texts_and_empty_number_lists_start_nothing(self, sim, agent, make_console,
                                                                 http_gateway):
        stand_in_gateways(agent, http_gateway)
        write_sms(agent, 0, "acct", "", "", "")
        console = start(sim, agent, make_console)
        console.keys("Up", "Left", "Left", "Enter")
        console.wait_text(MISSING, row=18)
        console.keys("Down", "Down", "Down")  # 25 -> 13 -> 14 -> 16
        type_into(console, "pw")
        console.keys("Down")
        type_into(console, ";;x")  # tmux takes a trailing ";" for its own
        console.keys("Enter")
        console.wait_text("Please input phone number.")
        console.keys("BSpace", "Enter")
        console.wait_text("Phone Number:;; ", row=7)
        console.keys("Up", "Up", "Up", "Up", "Left", "Left", "Enter")
        console.wait_text("Please input a Mobile Phone number at least.", row=18)
        senders_ended(agent)
        assert http_gateway.requests == []


class TestSaveAndLeave:
    def test_esc_drops_unsaved_edits(self, sim, agent, make_console):
        named_gateways(agent)
        write_sms(agent, 0, "kept", "", "pw", "0911")
        console = start(sim, agent, make_console, with_sender=False)
        console.keys("Down")
        type_into(console, "_new")  # the box holds the ID to edit
        console.wait_text("ID :kept_new", row=5)
        console.keys("Escape")
        console.wait_text("4.SMS Setting")
        console.keys("Enter")
        console.wait_text("ID :kept", row=5)
        assert (agent.dir / "Set" / "SMS.ang").read_text().split("\n")[1] == "kept"

    def test_a_failed_save_says_so(self, sim, agent, make_console):
        named_gateways(agent)
        write_sms(agent, 0, "acct", "", "pw", "0911")
        console = start(sim, agent, make_console, with_sender=False)
        path = agent.dir / "Set" / "SMS.ang"
        path.unlink()
        path.mkdir()  # nothing can be written in its place
        console.keys("Up", "Left", "Enter")
        console.wait_text("Save fail, cannot write Set/SMS.ang.", row=18)
        assert "Save OK" not in console.text()
