#!/usr/bin/python3
"""Times brellin-get against aria2c, axel, curl and wget on one loopback nginx server.

  bench/bench.py --brellin build/release/bin/brellin-get          full run, results under bench/results/
  bench/bench.py --brellin build/release/bin/brellin-get --smoke  one small case per tool, bytes checked
"""
import argparse
import hashlib
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

MIB = 1024 * 1024
HERE = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_file(path, size):
    if path.exists() and path.stat().st_size == size:
        return
    chunk = 4 * MIB
    with open(path, "wb") as out:
        left = size
        while left:
            n = min(chunk, left)
            out.write(os.urandom(n))
            left -= n


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(8 * MIB)
            if not block:
                return h.hexdigest()
            h.update(block)


class Nginx:
    """nginx on loopback with its own configuration: /plain/, /limited/ and /paced/ (per-connection rate) and HTTPS.

    nginx sends a rate-limited reply in pieces of sendfile_max_chunk (2 MiB by default) and then waits as long
    as the piece takes at the rate: /limited/ keeps that default, so a connection gets 2 MiB at once and 2 MiB
    every half second. /paced/ sends 64 KiB pieces, the smooth pace of a server that limits evenly."""

    def __init__(self, root, work, rate):
        self.work = work
        self.port = free_port()
        self.tls_port = free_port()
        self.ca = work / "ca.pem"
        key, cert = work / "server.key", work / "server.pem"
        self._make_certificates(key, cert)
        conf = work / "nginx.conf"
        conf.write_text(f"""
worker_processes 2;
daemon off;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 10000;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    types {{ application/octet-stream bin; }}
    server {{
        listen 127.0.0.1:{self.port};
        listen 127.0.0.1:{self.tls_port} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {root};
        location /plain/ {{ alias {root}/; }}
        location /limited/ {{ alias {root}/; limit_rate {rate}; }}
        location /paced/ {{ alias {root}/; limit_rate {rate}; sendfile_max_chunk 64k; }}
    }}
}}
""")
        self.proc = subprocess.Popen(["nginx", "-c", str(conf), "-p", str(work)], stderr=subprocess.DEVNULL)
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def _make_certificates(self, key, cert):
        ca_key = self.work / "ca.key"
        run = lambda *a: subprocess.run(a, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(ca_key), "-out",
            str(self.ca), "-days", "2", "-subj", "/CN=Brellin bench CA")
        csr = self.work / "server.csr"
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(csr), "-subj",
            "/CN=127.0.0.1")
        ext = self.work / "ext.cnf"
        ext.write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
        run("openssl", "x509", "-req", "-in", str(csr), "-CA", str(self.ca), "-CAkey", str(ca_key),
            "-CAcreateserial", "-out", str(cert), "-days", "2", "-extfile", str(ext))

    def url(self, location, name, tls=False):
        if tls:
            return f"https://127.0.0.1:{self.tls_port}/{location}/{name}"
        return f"http://127.0.0.1:{self.port}/{location}/{name}"

    def stop(self):
        self.proc.send_signal(signal.SIGQUIT)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def tool_command(tool, url, conns, out_dir, name, brellin, ca):
    target = str(out_dir / name)
    if tool == "brellin-get":
        return [brellin, url, "-c", str(conns), "-o", str(out_dir), "-q"]
    if tool == "aria2c":
        return ["aria2c", "-x", str(conns), "-s", str(conns), "-k", "1M", "-d", str(out_dir), "-o", name,
                "--allow-overwrite=true", "--file-allocation=none", "--auto-file-renaming=false", "-q",
                "--ca-certificate", str(ca), url]
    if tool == "axel":
        return ["axel", "-n", str(conns), "-q", "-k", "-o", target, url]
    if tool == "curl":
        return ["curl", "-s", "-f", "--cacert", str(ca), "-o", target, url]
    if tool == "wget":
        return ["wget", "-q", "--ca-certificate", str(ca), "-O", target, url]
    raise ValueError(tool)


CONNECTIONS = {"brellin-get": [1, 8, 16], "aria2c": [1, 8, 16], "axel": [1, 8, 16], "curl": [1], "wget": [1]}


class Watcher(threading.Thread):
    """Notes when the first byte lands anywhere under the watched folders and when the target appears."""

    def __init__(self, folders, target):
        super().__init__(daemon=True)
        self.folders, self.target = folders, target
        self.first_byte = None
        self.target_seen = None
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.is_set():
            now = time.monotonic()
            if self.target_seen is None and self.target.exists():
                self.target_seen = now
            if self.first_byte is None and self._any_bytes():
                self.first_byte = now
            time.sleep(0.002)

    @staticmethod
    def _bookkeeping(name):
        """Files a tool writes before any body byte: databases, logs, segment tables, state files."""
        return (name.startswith("VornDB.db") or name.startswith("segments.") or
                name.endswith((".txt", ".tmp", ".aria2", ".st", ".conf", ".lock")))

    def _any_bytes(self):
        for folder in self.folders:
            for base, _, files in os.walk(folder):
                for f in files:
                    try:
                        if not self._bookkeeping(f) and os.path.getsize(os.path.join(base, f)) > 0:
                            return True
                    except OSError:
                        pass
        return False


def run_once(tool, url, conns, name, out_root, brellin, ca, expected):
    out_dir = Path(tempfile.mkdtemp(prefix="out-", dir=out_root))
    home = Path(tempfile.mkdtemp(prefix="home-", dir=out_root))
    env = dict(os.environ, HOME=str(home), XDG_DATA_HOME=str(home / "data"), XDG_CONFIG_HOME=str(home / "config"),
               SSL_CERT_FILE=str(ca))
    stats = home / "time.txt"
    cmd = ["/usr/bin/time", "-f", "%e %U %S %M", "-o", str(stats)] + tool_command(tool, url, conns, out_dir, name,
                                                                                brellin, ca)
    target = out_dir / name
    watcher = Watcher([out_dir, home / "data"], target)
    start = time.monotonic()
    watcher.start()
    proc = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    end = time.monotonic()
    watcher.stopped.set()
    watcher.join()
    wall, user, system, rss = stats.read_text().split()[-4:]
    identical = proc.returncode == 0 and target.exists() and digest(target) == expected
    result = {
        "tool": tool, "conns": conns, "wall": float(wall), "cpu": float(user) + float(system),
        "rss_mb": int(rss) / 1024, "identical": identical, "rc": proc.returncode,
        "first_byte": (watcher.first_byte - start) if watcher.first_byte else None,
        "merge": (end - watcher.target_seen) if (tool == "brellin-get" and watcher.target_seen) else None,
        "error": proc.stderr.strip()[-300:] if proc.returncode else "",
    }
    shutil.rmtree(out_dir, ignore_errors=True)
    shutil.rmtree(home, ignore_errors=True)
    return result


def median_of(results, key):
    values = [r[key] for r in results if r[key] is not None]
    return statistics.median(values) if values else None


def summarise(case, size, runs):
    rows = []
    for (tool, conns), results in runs.items():
        wall = median_of(results, "wall")
        rows.append({
            "case": case, "tool": tool, "conns": conns, "wall": wall,
            "mib_s": size / MIB / wall if wall else None,
            "cpu_per_gib": median_of(results, "cpu") * (1024 * MIB) / size,
            "rss_mb": max(r["rss_mb"] for r in results),
            "first_byte": median_of(results, "first_byte"), "merge": median_of(results, "merge"),
            "identical": all(r["identical"] for r in results),
            "error": next((r["error"] for r in results if r["error"]), ""),
        })
    for row in rows:
        if row["tool"] != "brellin-get":
            continue
        others = [r["wall"] for r in rows if r["conns"] == row["conns"] and r["tool"] != "brellin-get" and
                  r["identical"] and r["wall"]]
        row["ratio"] = row["wall"] / min(others) if others and row["wall"] else None
    return rows


def fmt(value, digits=2):
    return "–" if value is None else f"{value:.{digits}f}"


def markdown(rows, machine):
    lines = [f"Machine: {machine}", "",
             "| case | tool | conns | wall s (median) | MiB/s | Brellin ÷ best other | CPU s/GiB | peak RSS MB |"
             " first byte s | merge s | identical |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['case']} | {r['tool']} | {r['conns']} | {fmt(r['wall'])} | {fmt(r['mib_s'], 0)} | "
                     f"{fmt(r.get('ratio'))} | {fmt(r['cpu_per_gib'])} | {fmt(r['rss_mb'], 1)} | "
                     f"{fmt(r['first_byte'], 3)} | {fmt(r['merge'], 3)} | {'yes' if r['identical'] else 'NO'} |")
    return "\n".join(lines) + "\n"


def plot(rows, out_png):
    if not shutil.which("gnuplot"):
        return
    data = out_png.with_suffix(".dat")
    with open(data, "w") as f:
        for r in rows:
            if r["mib_s"]:
                f.write(f"\"{r['case']} {r['tool']} x{r['conns']}\" {r['mib_s']:.1f}\n")
    script = f"""set terminal png size 1400,700
set output '{out_png}'
set style data histogram
set style fill solid 0.8
set boxwidth 0.8
set ylabel 'MiB/s (median)'
set xtics rotate by -60 font ',8'
set title 'Download throughput on loopback nginx'
plot '{data}' using 2:xtic(1) notitle
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=False)


def machine_text():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1024 ** 3)
    return f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB, Linux {platform.release()}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--brellin", required=True)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--results", default=str(HERE / "results"))
    parser.add_argument("--tools", default="brellin-get,aria2c,axel,curl,wget")
    parser.add_argument("--cases", default="", help="only the cases whose names contain one of these texts")
    args = parser.parse_args()
    tools = [t for t in args.tools.split(",") if t == "brellin-get" or shutil.which(t)]

    shm = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path(tempfile.gettempdir())
    scratch = Path(tempfile.mkdtemp(prefix="brellin-bench-", dir=shm))
    disk = Path(tempfile.mkdtemp(prefix="brellin-bench-", dir="/var/tmp"))
    # nginx's workers run unprivileged and must be able to read the served files.
    os.chmod(scratch, 0o755)
    root = scratch / "srv"
    root.mkdir(mode=0o755)
    server = Nginx(root, scratch, "4m" if not args.smoke else "2m")
    try:
        if args.smoke:
            cases = [("smoke", "f4M.bin", 4 * MIB, "limited", False, scratch, {t: [c for c in CONNECTIONS[t] if c <= 8] for t in tools})]
            runs_each = 1
        else:
            conns_for = {t: CONNECTIONS[t] for t in tools}
            cases = [
                ("limited 64 MiB, tmpfs", "f64M.bin", 64 * MIB, "limited", False, scratch, conns_for),
                ("paced 64 MiB, tmpfs", "f64M.bin", 64 * MIB, "paced", False, scratch, conns_for),
                ("1 GiB, tmpfs", "f1G.bin", 1024 * MIB, "plain", False, scratch, conns_for),
                ("1 GiB, disk", "f1G.bin", 1024 * MIB, "plain", False, disk,
                 {t: [c for c in conns_for[t] if c <= 8] for t in tools}),
                ("64 MiB, https, tmpfs", "f64M.bin", 64 * MIB, "plain", True, scratch,
                 {t: [c for c in conns_for[t] if c <= 8] for t in tools}),
            ]
            runs_each = args.runs
            wanted = [w for w in args.cases.split(",") if w]
            if wanted:
                cases = [c for c in cases if any(w in c[0] for w in wanted)]
        all_rows = []
        for case, name, size, location, tls, out_root, conns_for in cases:
            path = root / name
            make_file(path, size)
            expected = digest(path)
            runs = {}
            for tool in tools:
                for conns in conns_for.get(tool, []):
                    url = server.url(location, name, tls)
                    runs[(tool, conns)] = [run_once(tool, url, conns, name, out_root, args.brellin, server.ca, expected)
                                           for _ in range(runs_each)]
                    last = runs[(tool, conns)][-1]
                    print(f"{case:24} {tool:12} x{conns:<3} {last['wall']:7.2f}s rc={last['rc']} "
                          f"identical={last['identical']} {last['error'][:120]}", flush=True)
            all_rows += summarise(case, size, runs)
    finally:
        server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)

    if args.smoke:
        good = sum(1 for r in all_rows if r["identical"])
        print(f"bench-smoke: {good} passed, {len(all_rows) - good} failed")
        return 0 if good == len(all_rows) else 1
    out = Path(args.results)
    out.mkdir(parents=True, exist_ok=True)
    table = markdown(all_rows, machine_text())
    (out / "results.md").write_text(table)
    (out / "results.json").write_text(json.dumps(all_rows, indent=1))
    plot(all_rows, out / "throughput.png")
    print(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
