"""Installing: the programs, and only they, into one program directory."""
import os
import subprocess

from conftest import BIN, REPO


def test_install_puts_the_programs_into_one_directory(tmp_path):
    build = BIN.parent
    env = dict(os.environ, DESTDIR=str(tmp_path / "root"))
    subprocess.run(["cmake", "--install", str(build), "--prefix", "/opt/tarvo-mains-sentinel"],
                   env=env, check=True, capture_output=True)
    installed = sorted(str(p.relative_to(tmp_path / "root"))
                       for p in (tmp_path / "root").rglob("*") if p.is_file())
    programs = ["opt/tarvo-mains-sentinel/" + name
                for name in ("mail", "sms", "upsagent", "upsconsole", "upssim")]
    assert installed == ["lib/systemd/system/upsagent.service",
                         "opt/tarvo-mains-sentinel/examples/60-tarvo-ups.rules"] + programs + [
                         "usr/share/man/man1/upsconsole.1", "usr/share/man/man1/upssim.1",
                         "usr/share/man/man5/tarvo-files.5", "usr/share/man/man8/upsagent.8"]
    for name in programs:
        assert os.access(tmp_path / "root" / name, os.X_OK)
    unit = (tmp_path / "root" / "lib/systemd/system/upsagent.service").read_text()
    assert "ExecStart=/opt/tarvo-mains-sentinel/upsagent\n" in unit


def test_service_unit_verifies(tmp_path):
    """systemd-analyze accepts the unit (pointed at the built daemon, since
    it checks that the program exists)."""
    text = (REPO / "packaging" / "upsagent.service").read_text()
    unit = tmp_path / "upsagent.service"
    unit.write_text(text.replace("@PROGRAM_DIR@", str(BIN)))
    done = subprocess.run(["systemd-analyze", "verify", "--man=no", str(unit)],
                          capture_output=True, text=True)
    assert done.returncode == 0 and done.stderr == "", done.stderr


def test_manual_pages_render_without_warnings():
    for page in sorted((REPO / "man").iterdir()):
        for argv in (["man", "--warnings=w", "-l", str(page)],
                     ["groff", "-ww", "-man", "-z", str(page)]):
            done = subprocess.run(argv, capture_output=True, text=True,
                                  env=dict(os.environ, MANWIDTH="80", MANPAGER="cat"))
            assert done.returncode == 0 and done.stderr == "", (page.name, done.stderr)
