"""Installing: the programs, and only they, into one program directory."""
import os
import subprocess

from conftest import BIN


def test_install_puts_the_programs_into_one_directory(tmp_path):
    build = BIN.parent
    env = dict(os.environ, DESTDIR=str(tmp_path / "root"))
    subprocess.run(["cmake", "--install", str(build), "--prefix", "/opt/tarvo-mains-sentinel"],
                   env=env, check=True, capture_output=True)
    installed = sorted(str(p.relative_to(tmp_path / "root"))
                       for p in (tmp_path / "root").rglob("*") if p.is_file())
    assert installed == ["opt/tarvo-mains-sentinel/" + name
                         for name in ("mail", "sms", "upsagent", "upsconsole", "upssim")]
    for name in installed:
        assert os.access(tmp_path / "root" / name, os.X_OK)
