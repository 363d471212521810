"""The test rig's own safety rule: upsagent only ever runs with the recording
stand-in shutdown first on PATH."""
import pytest


def test_agent_is_refused_without_the_standin_shutdown_first_on_path(agent):
    agent.env["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin"
    with pytest.raises(RuntimeError, match="refusing to start upsagent"):
        agent.start()
    assert agent.proc is None
