#!/usr/bin/env python3
"""Whole upload flows through the FTP host with real FTP clients.

    ftp_scenarios.py --bits 32|64 --build DIR SCENARIO

The host (ftp_host.exe, with the plug-in) runs under Wine on a free loopback
port; releases are made from random files with cksfv and rhash; the clients
are lftp, curl and Python's ftplib. Every step has its own time limit, and
the host is always stopped by the scenario (stop file), or, failing that,
ended by its process id.
"""
import argparse
import ftplib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(REPO, "scripts", "wine-run.sh")


def fail(message):
    raise AssertionError(message)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def meter_name(percent):
    cells = percent // 5
    return "--==[" + "#" * cells + "-" * (20 - cells) + "]==--  %d%% complete" % percent


def wait_until(what, predicate, seconds):
    deadline = time.time() + seconds
    while True:
        result = predicate()
        if result:
            return result
        if time.time() > deadline:
            fail("timed out after %d s waiting for %s" % (seconds, what))
        time.sleep(0.3)


def run(command, seconds=120, **kwargs):
    return subprocess.run(command, check=True, timeout=seconds, capture_output=True, text=True, **kwargs)


class Host:
    """ftp_host.exe under Wine, serving `root` on a port of its choosing, with
    the plug-in beside it or the DLL given."""

    def __init__(self, bits, build, root, options=(), dll=None, stop_after=900):
        self.bits, self.build, self.root, self.options = bits, build, root, list(options)
        self.dll, self.stop_after = dll, stop_after
        self.stop_file = root.rstrip("/") + ".stop"
        self.log_path = root.rstrip("/") + ".log"
        self.process = None
        self.port = None

    def start(self):
        if os.path.exists(self.stop_file):
            os.remove(self.stop_file)
        self.log = open(self.log_path, "w")
        # --stop-after bounds the host's life should this script die.
        dll = ["--dll", windows_path(self.dll)] if self.dll else []
        self.process = subprocess.Popen(
            [WINE_RUN, str(self.bits), os.path.join(self.build, "ftp_host.exe"), "--port", "0"] + dll +
            ["--stop-file", windows_path(self.stop_file), "--stop-after", str(self.stop_after)] + self.options +
            [windows_path(self.root)],
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        match = wait_until("the host to listen", lambda: re.search(r"listening on 127\.0\.0\.1:(\d+)",
                                                                   self.log_text()), 120)
        self.port = int(match.group(1))
        return self

    def log_text(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def stop(self, seconds=180):
        """Asks the host to stop and waits for it; returns its log."""
        open(self.stop_file, "w").close()
        try:
            self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.kill()
            fail("the host did not stop within %d s" % seconds)
        self.log.close()
        text = self.log_text()
        if "ftp_host: stopped" not in text:
            fail("the host did not stop cleanly:\n" + text[-3000:])
        return text

    def kill(self):
        if self.process and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=30)

    def url(self, path="", user="user:user"):
        return "ftp://%s@127.0.0.1:%d/%s" % (user, self.port, path)


def set_settings(bits, **values):
    """Writes the plug-in's settings in the registry view its DLL reads."""
    view = ["/reg:32"] if bits == 32 else []
    for name, value in values.items():
        run([WINE_RUN, "64", "reg", "add", r"HKLM\SOFTWARE\Quendrell", "/v", name, "/t", "REG_SZ", "/d", value,
             "/f"] + view)


def default_settings(bits, delete="0"):
    set_settings(bits, SFVStart="--==[", SFVEnd="]==-- ", SFVDel=delete, SFVMeter="1")


def make_release(folder, base, count, size, tool):
    """`count` random files and an .nfo in `folder`, listed in base.sfv by
    cksfv or rhash. Returns the listed names."""
    os.makedirs(folder, exist_ok=True)
    names = ["%s.rar" % base] + ["%s.r%02d" % (base, i) for i in range(count - 1)]
    for name in names:
        with open(os.path.join(folder, name), "wb") as out:
            out.write(os.urandom(size))
    with open(os.path.join(folder, base + ".nfo"), "w") as nfo:
        nfo.write("a release made by the FTP scenarios\r\n")
    if tool == "cksfv":
        sfv = run(["cksfv", "-b"] + names, cwd=folder).stdout
    else:
        sfv = run(["rhash", "--sfv"] + names, cwd=folder).stdout
    if len(re.findall(r"^\S+ [0-9A-Fa-f]{8}$", sfv, re.M)) != count:
        fail("%s made an unexpected list:\n%s" % (tool, sfv))
    with open(os.path.join(folder, base + ".sfv"), "w") as out:
        out.write(sfv)
    return names


def curl(*args, seconds=120):
    return run(["curl", "-sS", "--max-time", str(seconds)] + list(args), seconds=seconds + 10).stdout


def curl_names(host, folder):
    """The names in a folder as curl shows its LIST."""
    listing = curl(host.url(folder.strip("/") + "/"))
    return [line.split(None, 8)[8] for line in listing.splitlines() if len(line.split(None, 8)) == 9]


def lftp(host, commands, seconds=300):
    script = ("set cmd:fail-exit yes; set net:max-retries 2; set net:timeout 30; set ftp:passive-mode on; "
              "set ftp:prefer-epsv yes; open -u user,user 127.0.0.1:%d; %s" % (host.port, commands))
    return run(["lftp", "-c", script], seconds=seconds).stdout


def lftp_names(host, folder):
    """The names in a folder as lftp's cls shows them (folders end in "/")."""
    return [name.rstrip("/") for name in lftp(host, "cd %s; cls -1" % folder).splitlines()]


def finished_set(names, listed, meter):
    """True when the listing holds every file, no marker, and the meter as given (None: no meter)."""
    if any("-[MISSING]" in n or "-[BAD]" in n for n in listed):
        return False
    meters = [n for n in listed if n.startswith("--==[")]
    return set(names) <= set(listed) and meters == ([meter] if meter else [])


def same_files(local, remote, names):
    for name in names:
        with open(os.path.join(local, name), "rb") as a, open(os.path.join(remote, name), "rb") as b:
            if a.read() != b.read():
                fail("%s differs after the upload" % name)


# ---- scenarios ----

def scenario_mirror(bits, build, work):
    """lftp mirror -R, 4 transfers at once, 21 files and an .nfo: once with
    the SFV first (cksfv, meter stays at 100 %), once with it last (rhash,
    SFVDel 1: the meter goes)."""
    root = os.path.join(work, "root")
    os.makedirs(root)
    first = make_release(os.path.join(work, "first"), "first", 21, 300_000, "cksfv")
    last = make_release(os.path.join(work, "last"), "last", 21, 300_000, "rhash")
    default_settings(bits)
    host = Host(bits, build, root).start()
    try:
        lftp(host, "mkdir first; cd first; put %s; lcd %s; mirror -R --parallel=4 -x '\\.sfv$' . ." %
             (os.path.join(work, "first", "first.sfv"), os.path.join(work, "first")))
        listed = wait_until("the first set to complete", lambda: (lambda names: names if finished_set(
            first + ["first.nfo", "first.sfv"], names, meter_name(100)) else None)(
            lftp_names(host, "first")), 120)
        print("SFV first, lftp's listing:\n  " + "\n  ".join(listed))

        default_settings(bits, delete="1")
        lftp(host, "mirror -R --parallel=4 -x '\\.sfv$' %s last; put -O last %s" %
             (os.path.join(work, "last"), os.path.join(work, "last", "last.sfv")))
        listed = wait_until("the last set to complete", lambda: (lambda names: names if finished_set(
            last + ["last.nfo", "last.sfv"], names, None) and not any(n.endswith(".state") for n in names)
            else None)(lftp_names(host, "last")), 120)
        print("SFV last, SFVDel 1, lftp's listing:\n  " + "\n  ".join(listed))
    finally:
        log = host.stop()
        default_settings(bits)
    same_files(os.path.join(work, "first"), os.path.join(root, "first"), first)
    same_files(os.path.join(work, "last"), os.path.join(root, "last"), last)
    if log.count("event 10 ") < 2 * 23:
        fail("fewer file events than uploads:\n" + log[-2000:])


def scenario_curl(bits, build, work):
    """curl: a corrupt file shows as -[BAD] until the good one completes the
    set; a slow upload is never judged while other files arrive; an upload
    killed half way and sent again leaves the set complete and nothing lost."""
    root = os.path.join(work, "root")
    os.makedirs(os.path.join(root, "rel"))
    local = os.path.join(work, "rel")
    names = make_release(local, "rel", 6, 200_000, "rhash")
    slow = os.path.join(work, "slow.bin")
    with open(slow, "wb") as out:
        out.write(os.urandom(1_500_000))
    # The slow file and the killed file are the set's last two entries.
    shutil.copy(slow, os.path.join(local, names[4]))
    shutil.copy(slow, os.path.join(local, names[5]))
    sfv = run(["cksfv", "-b"] + names, cwd=local).stdout
    with open(os.path.join(local, "rel.sfv"), "w") as out:
        out.write(sfv)
    corrupt = os.path.join(work, "corrupt")
    data = bytearray(open(os.path.join(local, names[0]), "rb").read())
    data[len(data) // 2] ^= 0x01
    open(corrupt, "wb").write(data)

    default_settings(bits)
    host = Host(bits, build, root).start()
    try:
        def put(path, name, *extra):
            curl("-T", path, host.url("rel/" + name), *extra)

        put(os.path.join(local, "rel.sfv"), "rel.sfv")
        put(corrupt, names[0])
        wait_until("the corrupt file to show as bad", lambda: "rel-[BAD].rar" in curl_names(host, "rel"), 60)

        # The slow upload runs while the other files arrive and are checked.
        slow_upload = subprocess.Popen(["curl", "-sS", "--max-time", "120", "--limit-rate", "150K", "-T",
                                        os.path.join(local, names[4]), host.url("rel/" + names[4])])
        seen = []
        try:
            wait_until("the slow upload to start", lambda: names[4] in curl_names(host, "rel"), 30)
            for name in names[:4]:
                put(os.path.join(local, name), name)
                seen.append(curl_names(host, "rel"))
            while slow_upload.poll() is None:
                seen.append(curl_names(host, "rel"))
                time.sleep(0.5)
        finally:
            if slow_upload.poll() is None:
                slow_upload.kill()
        if slow_upload.wait(timeout=30) != 0:
            fail("the slow upload failed")
        print("curl's listing while the slow upload ran:\n  " + "\n  ".join(seen[len(names) - 2]))
        judged = [listed for listed in seen if "rel-[BAD].r03" in listed]
        if judged:
            fail("the slow upload was judged corrupt while in progress: %s" % judged[0])

        # Killed half way (the file is closed and reported as it is), then
        # sent again in full.
        killed = subprocess.Popen(["curl", "-sS", "--limit-rate", "200K", "-T", os.path.join(local, names[5]),
                                   host.url("rel/" + names[5])], stderr=subprocess.DEVNULL)
        wait_until("half the upload", lambda: os.path.exists(os.path.join(root, "rel", names[5])) and
                   os.path.getsize(os.path.join(root, "rel", names[5])) > 600_000, 60)
        killed.kill()
        killed.wait(timeout=30)
        # A killed client's data connection simply ends, so the host sees
        # the end of a shorter file; either way it reports the file.
        ended = wait_until("the host to close the cut upload", lambda: re.search(
            r"upload of /rel/%s (complete|broken off) after (\d+) bytes\n.*event 10 " % re.escape(names[5]),
            host.log_text()), 30)
        if int(ended.group(2)) >= 1_500_000:
            fail("the killed upload was not cut")
        print("killed upload: %s after %s bytes; curl's listing then:\n  %s" % (
            ended.group(1), ended.group(2), "\n  ".join(curl_names(host, "rel"))))
        put(os.path.join(local, names[5]), names[5])
        listed = wait_until("the set to complete", lambda: (lambda listed: listed if finished_set(
            names, listed, meter_name(100)) else None)(curl_names(host, "rel")), 60)
        print("curl's listing at the end:\n  " + "\n  ".join(listed))
    finally:
        host.stop()
    same_files(local, os.path.join(root, "rel"), names)


def site_reply(user, password, port, text):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=30)
    try:
        ftp.login(user, password)
        try:
            return ftp.sendcmd("SITE " + text)
        except ftplib.Error as error:
            return str(error)
    finally:
        ftp.quit()


def scenario_site_and_paths(bits, build, work):
    """SITE requests from an administrator and a normal user, paths a
    client sends to reach outside the served folder, and ABOR during an
    upload."""
    root = os.path.join(work, "root")
    outside = os.path.join(work, "outside")
    os.makedirs(root)
    os.makedirs(outside)
    with open(os.path.join(outside, "secret.txt"), "w") as secret:
        secret.write("outside the root\n")
    host = Host(bits, build, root).start()
    try:
        for user in (("admin", "admin"), ("user", "user")):
            replies = {text: site_reply(user[0], user[1], host.port, text)
                       for text in ("HELP", "help Help", "HELP nothing", "CHMOD 644 x")}
            print("SITE as %s: %s" % (user[0], replies))
            expected = {"HELP": "214 'SITE' command not understood.",
                        "help Help": "200 SITE command done.",
                        "HELP nothing": "214 'SITE' command not understood.",
                        "CHMOD 644 x": "214 'SITE' command not understood."}
            if replies != expected:
                fail("SITE replies as %s: %s, expected %s" % (user[0], replies, expected))

        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", host.port, timeout=30)
        ftp.login("user", "user")
        ftp.mkd("in")
        secret = "Z:\\" + outside.strip("/").replace("/", "\\") + "\\secret.txt"
        # Names Windows would read as something else, or that leave the root.
        hostile = ["..\\escaped.txt", secret, "Z:escaped.txt", "\\\\?\\Z:\\tmp\\escaped.txt", "CON", "nul.txt",
                   "com1", "LPT9.log", "in/aux", "x.txt:stream", "dots...", "trailing ", "a*b", "conin$"]
        stored = []
        for name in hostile:
            try:
                ftp.storbinary("STOR " + name, iter_bytes(b"hostile"))
                stored.append(name)
            except ftplib.error_perm:
                pass
        if stored:
            fail("hostile names stored: %s" % stored)
        # ".." at the top stays at the top: these land inside the root.
        for name in ("../escaped.txt", "../../in/escaped.txt", "/../../escaped2.txt"):
            ftp.storbinary("STOR " + name, iter_bytes(b"inside"))
        for name in ("../outside/secret.txt", "../../outside/secret.txt", "..\\outside\\secret.txt", secret,
                     "/../outside/secret.txt"):
            try:
                ftp.retrbinary("RETR " + name, lambda _: None)
                fail("RETR %s read something" % name)
            except ftplib.error_perm:
                pass
        ftp.cwd("../../..")
        if ftp.pwd() != "/":
            fail("CWD above the root left it: %s" % ftp.pwd())
        for command in ("DELE ../outside/secret.txt", "RNFR ../outside/secret.txt", "MKD ../made",
                        "RMD ../outside", "SIZE ..\\outside\\secret.txt", "CWD \\"):
            try:
                reply = ftp.sendcmd(command)
                if command.startswith("RNFR"):
                    ftp.sendcmd("RNTO stolen.txt")
            except ftplib.error_perm:
                pass
        listing = []
        ftp.retrlines("LIST ../..", listing.append)

        # ABOR in the middle of an upload (ftplib sends it as urgent data):
        # 426 for the upload, 226 for the ABOR, and the cut file reported.
        ftp.voidcmd("TYPE I")
        data = ftp.transfercmd("STOR in/aborted.bin")
        for _ in range(64):
            data.sendall(os.urandom(65536))
        replies = [ftp.abort(), ftp.getresp()]
        data.close()
        if [reply[:3] for reply in replies] != ["426", "226"]:
            fail("ABOR during an upload: %s" % replies)
        ftp.quit()
        wait_until("the aborted upload's file event", lambda: re.search(
            r"upload of /in/aborted\.bin broken off.*\n.*event 10 .*aborted\.bin", host.log_text()), 30)
    finally:
        host.stop()
    if sorted(os.listdir(outside)) != ["secret.txt"] or \
            open(os.path.join(outside, "secret.txt")).read() != "outside the root\n":
        fail("the folder outside the root changed: %s" % os.listdir(outside))
    if sorted(os.listdir(work)) != sorted(["root", "outside", "root.log", "root.stop"]):
        fail("something was made beside the root: %s" % os.listdir(work))
    inside = sorted(os.listdir(root)) + ["in/" + name for name in sorted(os.listdir(os.path.join(root, "in")))]
    if inside != ["escaped.txt", "escaped2.txt", "in", "made", "in/aborted.bin", "in/escaped.txt"]:
        fail("unexpected files in the root: %s" % inside)
    print("inside the root: %s; LIST ../.. showed %d entries" % (inside, len(listing)))


def iter_bytes(data):
    import io
    return io.BytesIO(data)


def scenario_shutdown(bits, build, work):
    """Stopping the host in the middle of an upload: the upload in progress
    is closed and reported, the shutdown event waits for the checks, and the
    set ends as finished passes leave it: every listed file good, moved
    aside as bad, or marked missing, and the meter counting the good ones."""
    root = os.path.join(work, "root")
    os.makedirs(os.path.join(root, "big"))
    local = os.path.join(work, "big")
    names = make_release(local, "big", 12, 4_000_000, "cksfv")
    default_settings(bits)
    host = Host(bits, build, root).start()
    try:
        curl("-T", os.path.join(local, "big.sfv"), host.url("big/big.sfv"))
        # One curl, the files one after another on one connection.
        uploads = subprocess.Popen(["curl", "-sS", "--max-time", "120", "--limit-rate", "8M"] + sum(
            (["-T", os.path.join(local, name), host.url("big/" + name)] for name in names), []),
            stderr=subprocess.DEVNULL)
        wait_until("half the uploads", lambda: len(set(names) & set(os.listdir(os.path.join(root, "big")))) > 6,
                   60)
    except BaseException:
        host.kill()
        raise
    log = host.stop(seconds=300)
    uploads.wait(timeout=60)
    shutdown = re.search(r"shutdown event 116 -> 0 after (\d+) ms", log)
    if not shutdown or log.rfind("event 10 ") > shutdown.start():
        fail("no shutdown event after the last file event:\n" + log[-2000:])
    folder = os.path.join(root, "big")
    listed = sorted(os.listdir(folder))
    print("shutdown took %s ms; the folder afterwards:\n  %s" % (shutdown.group(1), "\n  ".join(listed)))
    good = 0
    for name in names:
        stem, extension = os.path.splitext(name)
        states = [name in listed, stem + "-[BAD]" + extension in listed, stem + "-[MISSING]" + extension in listed]
        if states.count(True) != 1:
            fail("%s is left in no single state (good, bad, missing): %s" % (name, states))
        if states[0]:
            same_files(local, folder, [name])
            good += 1
    if good in (0, len(names)):
        fail("the host was not stopped in the middle of the uploads (%d of %d good)" % (good, len(names)))
    percent = min(99, (good * 100 + len(names) // 2) // len(names))
    if [n for n in listed if n.startswith("--==[")] != [meter_name(percent)]:
        fail("the meter does not count %d good of %d" % (good, len(names)))


def scenario_hostile_clients(bits, build, work):
    """Clients that misbehave (ftplib and raw sockets): an overlong command
    line, a flood on the control connection during an upload, a restart of a
    file moved aside as bad, a stranger on the passive port, device names,
    more connections than the host takes; then, with a stand-in plug-in, that
    every upload is closed before its file event."""
    root = os.path.join(work, "root")
    os.makedirs(os.path.join(root, "rel"))
    good = os.urandom(100_000)
    with open(os.path.join(root, "victim.txt"), "w") as victim:
        victim.write("must stay\n")
    default_settings(bits)
    host = Host(bits, build, root, ["--max-connections", "4"]).start()
    try:
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", host.port, timeout=60)
        ftp.login("user", "user")
        ftp.voidcmd("TYPE I")
        # Four connections at most: the fifth is turned away with 421.
        others = [socket.create_connection(("127.0.0.1", host.port), timeout=30) for _ in range(4)]
        greetings = [other.recv(200)[:3] for other in others]
        for other in others:
            other.close()
        if greetings != [b"220", b"220", b"220", b"421"]:
            fail("connections beyond the cap: %s" % greetings)

        # The rest of an overlong line, arriving after the 500, is dropped
        # up to its line end, not run as a command.
        ftp.sock.sendall(b"X" * 5000)
        if not ftp.getline().startswith("500"):
            fail("no 500 for an overlong line")
        ftp.sock.sendall(b"DELE victim.txt\r\nNOOP\r\n")
        if ftp.getline()[:3] != "200" or not os.path.exists(os.path.join(root, "victim.txt")):
            fail("the rest of an overlong line ran as a command")

        # A flood without a line end on the control connection while an
        # upload runs: read at the pace it comes, held within the line limit,
        # answered with 500 once the upload is over; the upload is intact.
        data = ftp.transfercmd("STOR flood.bin")
        data.sendall(good[:50_000])
        started = time.time()
        sent = 0
        try:
            while sent < 32:
                ftp.sock.settimeout(max(0.1, started + 60 - time.time()))
                ftp.sock.sendall(b"Y" * (1 << 20))
                sent += 1
        except socket.timeout:
            fail("the host took only %d MiB without a line end in 60 s" % sent)
        ftp.sock.settimeout(60)
        ftp.sock.sendall(b"\r\n")
        flooded = time.time() - started
        data.sendall(good[50_000:])
        data.close()
        replies = [ftp.getline()[:3], ftp.getline()[:3], ftp.sendcmd("NOOP")[:3]]
        if replies != ["226", "500", "200"]:
            fail("after a 32 MiB line during an upload: %s" % replies)
        if open(os.path.join(root, "flood.bin"), "rb").read() != good:
            fail("the upload during the flood differs")
        print("32 MiB without a line end during an upload taken in %.1f s" % flooded)

        # A broken upload moved aside as bad, then a client resuming it: the
        # restart beyond the end of a file that is not there is refused and
        # makes no empty a.rar for the plug-in to copy over the -[BAD] file.
        ftp.storbinary("STOR rel/a.sfv", iter_bytes(b"a.rar %08X\r\n" % zlib.crc32(good)))
        ftp.storbinary("STOR rel/a.rar", iter_bytes(good[:60_000]))
        bad = os.path.join(root, "rel", "a-[BAD].rar")
        wait_until("the cut upload to be moved aside", lambda: os.path.exists(bad), 60)
        try:
            ftp.transfercmd("STOR rel/a.rar", rest=60_000).close()
            fail("a restart of an absent file was taken")
        except ftplib.error_perm as error:
            if not str(error).startswith("554"):
                fail("a restart of an absent file: %s" % error)
        # The refused STOR ended its passive port: a STOR without a new PASV
        # must not take the data connection ftplib made and closed for it.
        try:
            ftp.sendcmd("STOR rel/no-data-connection.bin")
            fail("a STOR without a new passive port was taken")
        except ftplib.error_temp as error:
            if not str(error).startswith("425"):
                fail("a STOR without a new passive port: %s" % error)
        if os.path.exists(os.path.join(root, "rel", "no-data-connection.bin")) or \
                re.search(r"event 10 .*no-data-connection", host.log_text()):
            fail("a STOR without a data connection made a file or a file event")

        # A stranger that connects to the passive port first is turned away;
        # the upload takes the client's own data connection.
        port = int(ftp.sendcmd("EPSV").split("|")[3])
        stranger = socket.socket()
        stranger.bind(("127.0.0.2", 0))
        stranger.connect(("127.0.0.1", port))
        stranger.sendall(b"stranger's data")
        stranger.close()
        time.sleep(0.5)
        ftp.putcmd("STOR passive.bin")
        own = socket.create_connection(("127.0.0.1", port), timeout=30)
        if not ftp.getresp().startswith("150"):
            fail("STOR did not start")
        own.sendall(b"client's data")
        own.close()
        ftp.voidresp()
        if open(os.path.join(root, "passive.bin"), "rb").read() != b"client's data":
            fail("the passive port took a stranger's connection")

        # Device names with superscript digits (ANSI code page 1252).
        ansi = ftplib.FTP(encoding="latin-1")
        ansi.connect("127.0.0.1", host.port, timeout=60)
        ansi.login("user", "user")
        for name in ("COM\u00b9", "lpt\u00b2.txt", "Com\u00b3.log"):
            try:
                ansi.storbinary("STOR " + name, iter_bytes(b"device"))
                fail("a device name was taken: %r" % name)
            except ftplib.error_perm:
                pass
        ansi.quit()

        ftp.quit()
        wait_until("a connection once others have gone", lambda: (lambda c: (c.recv(200)[:3] == b"220", c.close())[0])(
            socket.create_connection(("127.0.0.1", host.port), timeout=30)), 30)
        bad_bytes = open(bad, "rb").read()
    finally:
        log = host.stop()
    if bad_bytes != good[:60_000] or open(bad, "rb").read() != good[:60_000]:
        fail("the file moved aside as bad lost its data")
    if os.path.exists(os.path.join(root, "rel", "a.rar")):
        fail("a refused restart left a.rar")
    if sorted(os.listdir(root)) != ["flood.bin", "passive.bin", "rel", "victim.txt"]:
        fail("unexpected files in the root: %s" % os.listdir(root))
    if log.count("event 10 ") != 4:
        fail("file events for refused uploads:\n" + log[-3000:])

    # The upload is closed before its file event: a check that opens it
    # denying writers at that moment (the stand-in plug-in) succeeds.
    probe = Host(bits, build, os.path.join(root, "rel"), dll=os.path.join(build, "upload_probe.dll")).start()
    try:
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", probe.port, timeout=60)
        ftp.login("user", "user")
        for name in ("probe1.bin", "probe2.bin"):
            ftp.storbinary("STOR " + name, iter_bytes(good))
        ftp.quit()
    finally:
        log = probe.stop()
    answers = re.findall(r"event 10 .*probe\d\.bin -> (\d)", log)
    if answers != ["1", "1"]:
        fail("a check could not open an upload at its file event: %s" % answers)


SCENARIOS = {
    "hostile_clients": scenario_hostile_clients,
    "mirror": scenario_mirror,
    "curl": scenario_curl,
    "site_and_paths": scenario_site_and_paths,
    "shutdown": scenario_shutdown,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    for tool in ("curl", "lftp", "cksfv", "rhash"):
        if shutil.which(tool) is None:
            fail("%s is not installed (scripts/setup.sh installs it)" % tool)
    work = tempfile.mkdtemp(prefix="sfvcheck-ftp-%s-" % args.scenario)
    try:
        SCENARIOS[args.scenario](args.bits, os.path.abspath(args.build), work)
    except BaseException:
        for log in sorted(f for f in os.listdir(work) if f.endswith(".log")):
            print("---- host log (end) ----\n" + open(os.path.join(work, log), errors="replace").read()[-4000:])
        raise
    shutil.rmtree(work, ignore_errors=True)
    print("%s: passed" % args.scenario)


if __name__ == "__main__":
    main()
