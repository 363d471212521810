"""A unit behind a network card: the real upsagent polling Net-SNMP's snmpd,
which serves the UPS-MIB from the simulator's unit model (the snmp_card
fixture), as it polls a serial unit."""
import time

import pytest

from conftest import ask_mgmt as ask, connect, stays, wait_for

SHUTDOWN_AFTER_DELAY = "1.3.6.1.2.1.33.1.8.2.0"
STARTUP_AFTER_DELAY = "1.3.6.1.2.1.33.1.8.3.0"
AUTO_RESTART = "1.3.6.1.2.1.33.1.8.5.0"
TEST_ID = "1.3.6.1.2.1.33.1.7.1.0"


def event_codes(agent):
    return [line[20:] for line in agent.events()]


def start(agent, card, community=None, mode="Local-Single", **delays):
    agent.write_settings(mode=mode, link="SNMP", device=card.address,
                         community=card.community if community is None else community, **delays)
    agent.start()


def sets_of(card, oid):
    return [value for o, _, value in card.sets() if o == oid]


def test_card_is_watched_logged_and_acted_on_like_a_serial_unit(snmp_card, agent, shutdown_calls):
    t0 = time.monotonic()
    start(agent, snmp_card)
    wait_for(lambda: agent.history(1), 5, what="a history line within 5 s")
    assert time.monotonic() - t0 < 6
    line = agent.history(1)[-1].split()
    assert line[1] == "230.0", line  # input volts from upsInputVoltage
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 10, what="the Connect event")
    assert ask("GET VAR ups1 device.mfr") == 'VAR ups1 device.mfr "SIMULATED"\n'
    assert ask("GET VAR ups1 ups.status") == 'VAR ups1 ups.status "OL"\n'

    snmp_card.control("mains fail")
    wait_for(lambda: "01 07 1 0" in event_codes(agent), 10, what="AC Failed from the card")
    wait_for(lambda: sets_of(snmp_card, STARTUP_AFTER_DELAY), 10, what="the UPS turn-off")
    assert shutdown_calls() == [["-h", "+10", "System will shut down after 10 mins."]]
    # S12R0001: off after 12 minutes, back one minute after that.
    assert sets_of(snmp_card, AUTO_RESTART) == ["1"]
    assert sets_of(snmp_card, SHUTDOWN_AFTER_DELAY) == ["720"]
    assert sets_of(snmp_card, STARTUP_AFTER_DELAY) == ["780"]

    snmp_card.control("mains restore")
    wait_for(lambda: "01 07 0 0" in event_codes(agent), 10, what="AC Recovered")
    wait_for(lambda: sets_of(snmp_card, SHUTDOWN_AFTER_DELAY)[-1:] == ["-1"], 10,
             what="the turn-off cancelled")
    assert sets_of(snmp_card, STARTUP_AFTER_DELAY)[-1] == "-1"
    assert shutdown_calls()[-1][:1] == ["-c"]

    client = connect()
    client.send(b"T\r")  # a self test, as the console sends it
    wait_for(lambda: sets_of(snmp_card, TEST_ID), 10, what="the test as a SET")
    assert sets_of(snmp_card, TEST_ID) == ["1.3.6.1.2.1.33.1.7.7.4"], snmp_card.sets()
    wait_for(lambda: "01 02 1 0" in event_codes(agent), 10, what="the test in progress")
    client.close()
    assert agent.alive()


@pytest.mark.slow(35)
def test_wrong_community_and_a_silent_card_lose_the_unit_and_nothing_else(
        make_snmp_card, make_agent, shutdown_calls, make_wire):
    card = make_snmp_card()
    wire = make_wire(card.port, udp=True)
    stranger = make_agent("stranger")
    start(stranger, card, community="wrong")
    # Requests without an answer (a retry after 2 s, then SNMPv1): at the
    # sixth, five went unanswered. The first poll that failed says so.
    wait_for(lambda: len(wire.sent()) >= 6, 30, what="six requests at the card")
    assert stranger.alive()
    line = "upsagent: unit 1 on SNMP card %s has not answered since start: no reply" % card.address
    wait_for(lambda: line in stranger.stdout(), 10, what=line)
    assert stranger.history(1) == [] and set(event_codes(stranger)) <= {"01 08 0 0"}

    stranger.stop()
    agent = make_agent("prog")
    start(agent, card)
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 15, what="the Connect event")
    card.pause()
    wait_for(lambda: "01 08 0 0" in event_codes(agent), 30, what="the card lost")
    card.resume()
    wait_for(lambda: event_codes(agent).count("01 08 1 0") == 2, 20, what="the card found again")
    assert [c for c in event_codes(agent) if c[3:5] != "08"] == [], "no other event"
    assert shutdown_calls() == []
    assert agent.alive()


def test_a_card_answering_part_of_the_objects_gives_the_known_values(snmp_card, agent,
                                                                      shutdown_calls):
    snmp_card.control("card partial on")
    start(agent, snmp_card)
    wait_for(lambda: agent.history(1), 10, what="a history line")
    assert agent.history(1)[-1].split()[1] == "230.0"
    assert ask("GET VAR ups1 ups.status") == 'VAR ups1 ups.status "OL"\n'
    assert "device.mfr" not in ask("LIST VAR ups1")
    snmp_card.control("mains fail")
    wait_for(lambda: "01 07 1 0" in event_codes(agent), 10, what="AC Failed")
    snmp_card.control("mains restore", "card wrongtype on")
    wait_for(lambda: "01 07 0 0" in event_codes(agent), 10, what="AC Recovered")
    wait_for(lambda: agent.history(1)[-1].split()[1] == "000.0", 10,
             what="a voltage of the wrong type is no reading")
    codes = event_codes(agent)
    assert codes == ["01 08 1 0", "01 07 1 0", "01 07 0 0"], codes
    assert agent.alive()


def test_remote_modes_do_not_take_a_card(snmp_card, agent, make_wire):
    wire = make_wire(snmp_card.port, udp=True)
    start(agent, snmp_card, mode="Remote-Single")
    wait_for(lambda: "does not combine" in agent.stdout(), 10, what="the diagnostic")
    # A card is read every second pass: nothing over two of those.
    stays(lambda: agent.history(1) == [] and snmp_card.sets() == [] and wire.sent() == [],
          "nothing asked of the card, no history", seconds=2.0)


@pytest.mark.slow(25)
def test_a_silent_card_holds_nothing_up_and_is_still_lost(snmp_card, agent, shutdown_calls):
    start(agent, snmp_card)
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 15, what="the Connect event")
    wait_for(lambda: agent.history(1), 5, what="a history line")
    client = connect()
    snmp_card.pause()
    # The card answers nothing now, yet the unit counts as connected until
    # its fourth failed poll (some 15 s away). Meanwhile the daemon keeps its
    # pace: port 2027 answers at once and a history line comes every second
    # (a loop that waited out the card's time-outs would leave gaps of 4 s
    # and more).
    last = {"count": len(agent.history(1)), "at": time.monotonic()}

    def keeps_pace():
        asked = time.monotonic()
        if len(client.record(1)) != 108 or time.monotonic() - asked > 0.5:
            return False
        count = len(agent.history(1))
        if count > last["count"]:
            last["count"], last["at"] = count, time.monotonic()
        return time.monotonic() - last["at"] < 3 and "01 08 0 0" not in event_codes(agent)
    stays(keeps_pace, "ALL answered within 0.5 s, a history line at least every 3 s, the unit "
          "not yet lost", seconds=8)

    wait_for(lambda: "01 08 0 0" in event_codes(agent), 40, what="the card lost")
    client.close()
    assert event_codes(agent) == ["01 08 1 0", "01 08 0 0"]
    assert shutdown_calls() == []
    assert agent.alive()
