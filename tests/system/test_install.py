"""Installing: the programs, and only they, into one program directory."""
import os
import stat
import subprocess

import shutil

from conftest import BIN, REPO, STANDIN, wait_for


def test_install_puts_the_programs_into_one_directory(tmp_path):
    build = BIN.parent
    env = dict(os.environ, DESTDIR=str(tmp_path / "root"))
    subprocess.run(["cmake", "--install", str(build), "--prefix", "/opt/tarvo-mains-sentinel"],
                   env=env, check=True, capture_output=True)
    installed = sorted(str(p.relative_to(tmp_path / "root"))
                       for p in (tmp_path / "root").rglob("*") if p.is_file())
    programs = ["opt/tarvo-mains-sentinel/" + name
                for name in ("mail", "sms", "upsagent", "upsconsole", "upssim")]
    assert installed == ["lib/systemd/system-shutdown/upsagent-killpower",
                         "lib/systemd/system/upsagent.service",
                         "lib/udev/rules.d/60-tarvo-ups.rules"] + programs + [
                         "usr/lib/sysusers.d/upsagent.conf",
                         "usr/lib/tmpfiles.d/upsagent.conf",
                         "usr/share/doc/tarvo-mains-sentinel/changelog.gz",
                         "usr/share/doc/tarvo-mains-sentinel/copyright",
                         "usr/share/lintian/overrides/tarvo-mains-sentinel",
                         "usr/share/man/man1/upsconsole.1.gz", "usr/share/man/man1/upssim.1.gz",
                         "usr/share/man/man5/tarvo-files.5.gz",
                         "usr/share/man/man8/upsagent.8.gz",
                         "usr/share/polkit-1/rules.d/50-upsagent.rules"]
    for name in programs:
        assert os.access(tmp_path / "root" / name, os.X_OK)
    unit = (tmp_path / "root" / "lib/systemd/system/upsagent.service").read_text()
    assert "ExecStart=/opt/tarvo-mains-sentinel/upsagent\n" in unit
    check_hook(tmp_path / "root")
    check_own_user(tmp_path / "root")


def check_own_user(root):
    """The daemon's user and its two directories, made by systemd-sysusers
    and systemd-tmpfiles from the installed files inside `root` (its own
    /etc, never the host's): a system user without a login in the group
    dialout, Set/ and DataBase/ its own with mode 0700, and a file root left
    there given to it."""
    (root / "etc").mkdir(exist_ok=True)
    (root / "etc/passwd").write_text("root:x:0:0:root:/root:/bin/sh\n")
    (root / "etc/group").write_text("root:x:0:\ndialout:x:20:\n")
    subprocess.run(["systemd-sysusers", "--root=%s" % root, "upsagent.conf"],
                   check=True, capture_output=True)
    users = {l.split(":")[0]: l.split(":") for l in (root / "etc/passwd").read_text().splitlines()}
    groups = {l.split(":")[0]: l.split(":") for l in (root / "etc/group").read_text().splitlines()}
    user = users["upsagent"]
    uid, gid = int(user[2]), int(user[3])
    assert 0 < uid < 1000 and user[6].endswith("nologin"), user
    assert groups["upsagent"][2] == str(gid)
    assert "upsagent" in groups["dialout"][3].split(",")
    prog = root / "opt/tarvo-mains-sentinel"
    (prog / "Set").mkdir(mode=0o755)
    (prog / "Set/Setting.ang").write_text("Local-Single\n")
    subprocess.run(["systemd-tmpfiles", "--root=%s" % root, "--create", "upsagent.conf"],
                   check=True, capture_output=True)
    for name in ("Set", "DataBase"):
        st = (prog / name).stat()
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (uid, gid, 0o700), name
    st = (prog / "Set/Setting.ang").stat()
    assert (st.st_uid, st.st_gid) == (uid, gid)
    assert (prog / "upsagent").stat().st_uid == 0, "the programs stay root's"


def check_hook(root):
    """The final power-off's hook below `root`: a shell script of mode 0755
    in the last shutdown stage's directory that hands the stage to the
    installed daemon's --killpower."""
    hook = root / "lib/systemd/system-shutdown/upsagent-killpower"
    assert stat.S_IMODE(hook.stat().st_mode) == 0o755
    text = hook.read_text()
    assert text.startswith("#!/bin/sh\n")
    assert 'exec /opt/tarvo-mains-sentinel/upsagent --killpower "$1"\n' in text
    assert "@PROGRAM_DIR@" not in text
    assert subprocess.run(["sh", "-n", str(hook)]).returncode == 0


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


def test_package_unpacks_into_a_working_daemon(tmp_path, sim, standin_env, procs):
    build = BIN.parent
    out = tmp_path / "pkg"
    subprocess.run(["cpack", "-G", "DEB", "-B", str(out)], cwd=build, check=True,
                   capture_output=True)
    deb = next(out.glob("tarvo-mains-sentinel_*.deb"))
    info = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], capture_output=True,
                          text=True, check=True).stdout
    for lib in ("libncurses6", "libusb-1.0-0", "libcurl4"):
        assert lib in info, info
    lint = subprocess.run(["lintian", "--tag-display-limit", "0", str(deb)],
                          capture_output=True, text=True)
    assert not [l for l in lint.stdout.splitlines() if l.startswith("E:")], lint.stdout

    root = tmp_path / "root"
    subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True)
    check_hook(root)
    prog = root / "opt" / "tarvo-mains-sentinel"
    (prog / "Set").mkdir(mode=0o700)
    (prog / "Set" / "Setting.ang").write_text(
        "Local-Single\nRS232\n%s\n\n10\n1\n2\n1\n2400\n" % sim.path)
    assert shutil.which("shutdown", path=standin_env["PATH"]).startswith(str(STANDIN))
    procs.start([str(prog / "upsagent")], cwd=str(prog), env=standin_env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: any(l.split()[1:2] == ["230.0"]
                         for f in (prog / "DataBase").glob("M1*.ang")
                         for l in f.read_text().splitlines()), 30,
             what="the packaged daemon's history")
