#!/usr/bin/env python3
"""The reference server under hostile sign-in and connection loads, one scenario per run.

  flood     N wrong LOGINs (--register: N new registrations) from N loopback addresses
            (127.x.y.z), each connection closed at once, then one real LOGIN from yet
            another address: how long the real LOGIN waits for its answer, against the
            same LOGIN on the idle server.
  parallel  N connections from ONE address, one wrong LOGIN each for the same account:
            how many answers come within the client's reply window (10 s).
  shutdown  N REGISTUSERs queued, then SIGTERM: how long the server takes to exit.
  fds       the server with a descriptor limit of --nofile and N connections at once:
            does it live, what do the clients get, its CPU use while full.
  tlsmute   a TLS client that signs in and never reads while another sends --mb MB
            of chat: the server's memory growth and whether the mute one is cut off.

Usage: signin-flood.py --server build/server/qorchat-server SCENARIO [-n N]
Prints one JSON line of figures. The server runs with the product's hash parameters
unless --hash-memory/--hash-passes are given.
"""
import argparse
import asyncio
import json
import os
import resource
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

REPLY_WINDOW_S = 10.0


def start_server(args, extra, nofile=None, tls=None):
    cmd = [args.server, "--port", "0", "--db", os.path.join(args.tmp, "lobby.sqlite"), "--log-level", "warning"]
    if args.hash_memory:
        cmd += ["--hash-memory", str(args.hash_memory)]
    if args.hash_passes:
        cmd += ["--hash-passes", str(args.hash_passes)]
    if tls:
        cmd += ["--tls-cert", tls[0], "--tls-key", tls[1], "--tls-port", "0"]
    cmd += extra

    def limit():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=open(os.path.join(args.tmp, "server.log"), "ab"),
                         preexec_fn=limit)
    ports = []
    while len(ports) < (2 if tls else 1):
        line = p.stdout.readline().decode()
        if not line:
            raise SystemExit("server did not start: " + open(os.path.join(args.tmp, "server.log")).read()[-2000:])
        if line.startswith("listening on"):
            ports.append(int(line.split(":")[1].split()[0]))
    return p, ports


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Conn:
    def __init__(self, reader, writer):
        self.r, self.w = reader, writer

    @classmethod
    async def open(cls, port, source="127.0.0.1", tls_ctx=None):
        r, w = await asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0), ssl=tls_ctx,
                                             server_hostname="localhost" if tls_ctx else None)
        return cls(r, w)

    def send(self, line):
        self.w.write(line.encode("cp932") + b"\r\n")

    async def line(self, timeout):
        try:
            raw = await asyncio.wait_for(self.r.readuntil(b"\r\n"), timeout)
        except asyncio.IncompleteReadError:
            raise ConnectionError("closed")
        return raw.decode("cp932", "replace").rstrip("\r\n")

    async def status(self, timeout=30):
        while True:
            line = await self.line(timeout)
            if line.startswith("+OK") or line.startswith("-ERR"):
                return line

    async def call(self, line, timeout=30):
        self.send(line)
        return await self.status(timeout)

    def close(self):
        self.w.close()


def source(i):
    # 127.1.0.2 onwards: every flooder its own address.
    i += 2
    return f"127.{1 + i // 65536}.{(i // 256) % 256}.{i % 256}"


async def register(port, users, src="127.0.0.1"):
    c = await Conn.open(port, src)
    await c.status()
    for u in users:
        r = await c.call(f"REGISTUSER {u} secret1 {u}@x.jp", 120)
        assert r in ("+OK", "-ERR 1"), r
    c.close()


async def timed_login(port, user, src):
    c = await Conn.open(port, src)
    await c.status()
    assert await c.call("GAMENAME Shogi") == "+OK"
    t0 = time.monotonic()
    reply = await c.call(f"LOGIN {user} secret1", 300)
    dt = time.monotonic() - t0
    c.close()
    return dt, reply


async def flood(args):
    p, (port,) = start_server(args, ["--max-clients", str(args.n + 100)])
    try:
        accounts = [f"victim{i}" for i in range(args.accounts)]
        await register(port, accounts + ["realuser"])
        idle = []
        for k in range(3):
            dt, reply = await timed_login(port, "realuser", "127.0.0.1")
            assert reply == "+OK", reply
            idle.append(dt)
        answers = {}

        async def guess(i):
            try:
                c = await Conn.open(port, source(i))
                await c.status()
                c.send("GAMENAME Shogi")
                if args.register:
                    c.send(f"REGISTUSER flood{i} secret1 f{i}@x.jp")
                else:
                    c.send(f"LOGIN {accounts[i % len(accounts)]} wrong{i}")
                await c.w.drain()
                if args.wait_answers:
                    await c.status()  # +OK of GAMENAME
                    r = await c.status(60)
                    answers[r] = answers.get(r, 0) + 1
                c.close()
            except (OSError, ConnectionError, asyncio.TimeoutError) as e:
                answers[type(e).__name__] = answers.get(type(e).__name__, 0) + 1

        cpu0 = cpu_seconds(p.pid)
        t0 = time.monotonic()
        tasks = [asyncio.ensure_future(guess(i)) for i in range(args.n)]
        await asyncio.gather(*tasks[: args.n // 2])
        sent = time.monotonic() - t0
        dt, reply = await timed_login(port, "realuser", "127.0.0.1")
        await asyncio.gather(*tasks)
        # Until the server is idle again (its CPU stops moving).
        last = cpu_seconds(p.pid)
        while True:
            await asyncio.sleep(1)
            now = cpu_seconds(p.pid)
            if now - last < 0.05:
                break
            last = now
        busy = time.monotonic() - t0 - 1
        return {"scenario": "flood", "register": args.register, "n": args.n, "accounts": args.accounts, "idle_login_s": [round(x, 4) for x in idle],
                "flood_sent_s": round(sent, 2), "login_during_flood_s": round(dt, 3), "reply": reply,
                "ratio_to_idle_median": round(dt / sorted(idle)[1], 1), "busy_after_flood_s": round(busy, 1),
                "server_cpu_s": round(last - cpu0, 1), "guess_answers": answers}
    finally:
        p.terminate()
        p.wait()


async def parallel(args):
    p, (port,) = start_server(args, ["--max-clients", str(args.n + 100)])
    try:
        await register(port, ["victim"])
        replies = {}
        in_window = 0

        async def guess(i):
            nonlocal in_window
            c = await Conn.open(port, "127.0.0.5")
            await c.status()
            assert await c.call("GAMENAME Shogi") == "+OK"
            t0 = time.monotonic()
            c.send(f"LOGIN victim wrong{i}")
            try:
                r = await c.status(60)
                if time.monotonic() - t0 <= REPLY_WINDOW_S:
                    in_window += 1
                key = r
            except (asyncio.TimeoutError, ConnectionError):
                key = "none in 60 s"
            replies[key] = replies.get(key, 0) + 1
            c.close()

        await asyncio.gather(*(guess(i) for i in range(args.n)))
        verified = sum(v for k, v in replies.items() if k.startswith("-ERR 2"))
        return {"scenario": "parallel", "n": args.n, "answers_in_window": in_window, "wrong_password_answers": verified,
                "replies": replies}
    finally:
        p.terminate()
        p.wait()


async def shutdown(args):
    p, (port,) = start_server(args, ["--max-clients", str(args.n + 100)])
    conns = []
    for i in range(args.n):
        c = await Conn.open(port, source(i))
        conns.append(c)
    for c in conns:
        await c.status()
    for i, c in enumerate(conns):
        c.send(f"REGISTUSER user{i} secret1 u{i}@x.jp")
    for c in conns:
        await c.w.drain()
    await asyncio.sleep(0.5)
    t0 = time.monotonic()
    p.send_signal(signal.SIGTERM)
    await asyncio.get_running_loop().run_in_executor(None, p.wait)
    dt = time.monotonic() - t0
    log = open(os.path.join(args.tmp, "server.log")).read().splitlines()
    return {"scenario": "shutdown", "n": args.n, "sigterm_to_exit_s": round(dt, 2), "exit": p.returncode,
            "last_log": log[-1] if log else ""}


async def fds(args):
    p, (port,) = start_server(args, ["--log-level", "warning"], nofile=args.nofile)
    got = {}
    conns = []
    try:
        for i in range(args.n):
            try:
                c = await Conn.open(port, source(i))
                conns.append(c)
            except OSError as e:
                got[type(e).__name__] = got.get(type(e).__name__, 0) + 1

        async def greet(c):
            try:
                r = await c.status(5)
                key = r[:7]
            except asyncio.TimeoutError:
                key = "no greeting in 5 s"
            except (ConnectionError, OSError):
                key = "closed"
            got[key] = got.get(key, 0) + 1

        await asyncio.gather(*(greet(c) for c in conns))
        alive = p.poll() is None
        cpu = None
        if alive:
            c0 = cpu_seconds(p.pid)
            await asyncio.sleep(5)
            cpu = round((cpu_seconds(p.pid) - c0) / 5, 3)
            alive = p.poll() is None
        # With everyone still connected: can a greeted client still chat?
        serving = None
        if alive:
            try:
                c = next(c for c in conns if not c.r.at_eof())
                # A password hash too: a pool thread may need a descriptor of its own.
                serving = [await c.call("GAMENAME Shogi", 5), await c.call("REGISTUSER fdtest secret1 f@x.jp", 30)]
            except (StopIteration, asyncio.TimeoutError, ConnectionError, OSError):
                serving = False
        for c in conns:
            c.close()
        await asyncio.sleep(1)
        after = None
        if p.poll() is None:
            try:
                c = await Conn.open(port, "127.0.0.1")
                after = (await c.status(5))[:7]
                c.close()
            except (OSError, ConnectionError, asyncio.TimeoutError) as e:
                after = type(e).__name__
        log = open(os.path.join(args.tmp, "server.log")).read()
        return {"scenario": "fds", "nofile": args.nofile, "n": args.n, "greetings": got, "alive": p.poll() is None,
                "exit": p.returncode, "cpu_s_per_s_while_full": cpu, "greeted_one_still_served": serving,
                "after_release": after, "aborted": "GWakeup" in log or "Too many open files" in log}
    finally:
        if p.poll() is None:
            p.terminate()
        p.wait()


async def tlsmute(args):
    cert, key = os.path.join(args.tmp, "cert.pem"), os.path.join(args.tmp, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost"], check=True, capture_output=True)
    p, (port, tls_port) = start_server(args, [], tls=(cert, key))
    try:
        ctx = ssl.create_default_context(cafile=cert)
        mute = await Conn.open(tls_port, "127.0.0.1", ctx)
        # A small receive buffer: the kernel holds little, the server the rest.
        mute.w.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        await mute.status()
        for line in ("GAMENAME Shogi", "REGISTUSER mute secret1 m@x.jp", "LOGIN mute secret1"):
            assert (await mute.call(line)) == "+OK"
        talker = await Conn.open(port, "127.0.0.2")
        await talker.status()
        for line in ("GAMENAME Shogi", "REGISTUSER talker secret1 t@x.jp", "LOGIN talker secret1"):
            assert (await talker.call(line)) == "+OK"
        # Stop reading the mute one: pause its transport.
        mute.w.transport.pause_reading()
        rss0 = rss_kib(p.pid)
        text = "y" * (60 * 1024 - 32)
        sent = 0
        rss_peak = rss0
        while sent < args.mb * 1024 * 1024:
            for _ in range(16):
                talker.send("LMESSAGE " + text)
                sent += len(text)
            await talker.w.drain()
            # Read our own echoes, so that only the mute one lags.
            while True:
                line = await talker.line(30)
                if line.startswith("LMESSAGE talker"):
                    break
            for _ in range(15):
                await talker.line(30)
            rss_peak = max(rss_peak, rss_kib(p.pid))
        talker.send("PLAYERINFO talker")
        await asyncio.sleep(1)
        c = await Conn.open(port, "127.0.0.3")
        await c.status()
        await c.call("GAMENAME Shogi")
        await c.call("REGISTUSER watcher secret1 w@x.jp")
        await c.call("LOGIN watcher secret1")
        players = None
        for _ in range(50):
            line = await c.line(10)
            if line.startswith("PLAYERLIST"):
                players = [e.split()[0] for e in line.split("\n")[1:]]
                break
        return {"scenario": "tlsmute", "chat_mb": args.mb, "rss_growth_mib": round((rss_peak - rss0) / 1024, 1),
                "mute_still_listed": "mute" in (players or [])}
    finally:
        p.terminate()
        p.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scenario", choices=["flood", "parallel", "shutdown", "fds", "tlsmute"])
    ap.add_argument("--server", default="build/server/qorchat-server")
    ap.add_argument("-n", type=int, default=3000)
    ap.add_argument("--accounts", type=int, default=30, help="flood: accounts the guesses are spread over")
    ap.add_argument("--register", action="store_true", help="flood: new registrations instead of wrong LOGINs")
    ap.add_argument("--wait-answers", action="store_true", help="flood: guessers wait for their answer")
    ap.add_argument("--nofile", type=int, default=128)
    ap.add_argument("--mb", type=int, default=50)
    ap.add_argument("--hash-memory", type=int)
    ap.add_argument("--hash-passes", type=int)
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    with tempfile.TemporaryDirectory() as tmp:
        args.tmp = tmp
        result = asyncio.run(globals()[args.scenario](args))
    print(json.dumps(result, ensure_ascii=False))


if __name__ == "__main__":
    main()
