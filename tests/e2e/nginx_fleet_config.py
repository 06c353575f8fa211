#!/usr/bin/env python3
"""Sets up an edge cache host and an origin host as Debian 12 sets up nginx,
with the shipped configurations of packaging/nginx/ installed as docs/fleet.md
says, for the fleet test and the fleet benchmark.

Usage: nginx_fleet_config.py PACKAGING_DIR OUT_DIR ROOT

For each host (OUT_DIR/edge, OUT_DIR/origin) the directory is the host's
root: it holds etc/nginx/ with a copy of this machine's stock
/etc/nginx/nginx.conf (its includes of modules-enabled/, conf.d/ and
sites-enabled/ kept), mime.types, Debian's default site enabled
(sites-available/default and its link in sites-enabled/), and the shipped
file in conf.d/ (starter-edge.conf, starter-origin.conf); and the empty
directories of a stock system that nginx uses (run/, var/cache/,
var/lib/nginx/, var/log/nginx/). Only what a test on 127.0.0.1 without root
cannot leave as it is changes:

- absolute paths to /etc/nginx, /run, /var/... lead into the host's root;
- every IPv4 "listen PORT" (the default site's and the shipped file's)
  listens on 127.0.0.1 at a free port instead, the same free port for the
  same port number of one host, so that a shipped file listening on the
  default site's port meets the default site as it would on Debian; IPv6
  listen lines are left out;
- the shipped values marked "site: set" and the served directory: the
  edge's origin becomes the origin host's address, the origin's root ROOT;
- conf.d/test-paths.conf puts nginx's compiled-in temporary directories
  into the host's root and adds an access log of the fleet's format.

Each replaced text must be found exactly once, so a change to the shipped or
the stock files cannot go unnoticed. Writes OUT_DIR/ports: "edge PORT" and
"origin PORT", the free ports the shipped servers listen on. Start a host
with: nginx -p HOST/ -c HOST/etc/nginx/nginx.conf -e HOST/var/log/nginx/error.log
-g "daemon off;". Each host's access log (OUT_DIR/origin/access.log,
OUT_DIR/edge/access.log) has one line per request: the path, the status, the body bytes sent and the release
the request named.
"""
import os
import re
import shutil
import socket
import sys

STOCK = os.environ.get("NGINX_STOCK_DIR", "/etc/nginx")
_taken = set()


def free_port():
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in _taken:
            _taken.add(port)
            return port


def replace_once(text, old, new, name):
    count = text.count(old)
    if count != 1:
        sys.exit(f"{name}: expected '{old}' once, found it {count} times")
    return text.replace(old, new)


LISTEN = re.compile(r"^(\s*)listen\s+(\[::\]:)?(\d+)([^;]*);", re.MULTILINE)


def loopback(text, ports, name):
    """Every listen directive of `text` on 127.0.0.1 at the free port of its
    port number in `ports` (filled as new numbers appear)."""
    def one(match):
        indent, ipv6, port, params = match.groups()
        if ipv6:
            return f"{indent}# (IPv6 left out) listen [::]:{port}{params};"
        if port not in ports:
            ports[port] = free_port()
        return f"{indent}listen 127.0.0.1:{ports[port]}{params};"
    text, count = LISTEN.subn(one, text)
    if count == 0:
        sys.exit(f"{name}: no listen directive")
    return text


def read(path):
    with open(path) as f:
        return f.read()


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def host(out, shipped_name, shipped_text, fleet_log):
    """Lays out one host below `out`; returns its port numbers' free ports
    and the shipped file's text (to which the caller's values are already
    applied) as written."""
    etc = f"{out}/etc/nginx"
    for d in ("run", "var/cache", "var/lib/nginx", "var/log/nginx",
              "etc/nginx/conf.d", "etc/nginx/modules-enabled",
              "etc/nginx/sites-available", "etc/nginx/sites-enabled"):
        os.makedirs(f"{out}/{d}", exist_ok=True)
    conf = read(f"{STOCK}/nginx.conf")
    for old in ("/etc/nginx/modules-enabled/", "/etc/nginx/mime.types",
                "/etc/nginx/conf.d/", "/etc/nginx/sites-enabled/",
                "/run/nginx.pid", "/var/log/nginx/error.log",
                "/var/log/nginx/access.log"):
        conf = replace_once(conf, old, out + old, "nginx.conf")
    write(f"{etc}/nginx.conf", conf)
    shutil.copyfile(f"{STOCK}/mime.types", f"{etc}/mime.types")

    ports = {}
    site = read(f"{STOCK}/sites-available/default")
    write(f"{etc}/sites-available/default", loopback(site, ports, "default"))
    os.symlink("../sites-available/default", f"{etc}/sites-enabled/default")

    # Absolute paths the shipped file writes lead into the host's root.
    shipped_text = re.sub(r"(proxy_cache_path\s+)(/\S+)",
                          lambda m: m.group(1) + out + m.group(2), shipped_text)
    write(f"{etc}/conf.d/{shipped_name}",
          loopback(shipped_text, ports, shipped_name))

    temp = "\n".join(
        f"{kind}_temp_path {out}/var/lib/nginx/{directory};"
        for kind, directory in (("client_body", "body"), ("proxy", "proxy"),
                                ("fastcgi", "fastcgi"), ("uwsgi", "uwsgi"),
                                ("scgi", "scgi")))
    write(f"{etc}/conf.d/test-paths.conf", f"""{temp}
log_format fleet '$request_uri $status $body_bytes_sent $http_x_checksum_list_md5';
access_log {out}/access.log fleet;
""" if fleet_log else temp + "\n")
    return ports


def shipped_port(text, name):
    ports = [m.group(3) for m in LISTEN.finditer(text) if not m.group(2)]
    if len(ports) != 1:
        sys.exit(f"{name}: expected one IPv4 listen directive, found {ports}")
    return ports[0]


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    packaging, out, root = argv[1:]
    out = os.path.abspath(out)
    if os.path.exists(out):
        shutil.rmtree(out)
    if not os.path.isfile(f"{STOCK}/nginx.conf"):
        sys.exit(f"no stock nginx layout in {STOCK}: install Debian's nginx")

    origin_text = read(os.path.join(packaging, "origin.conf"))
    origin_text = replace_once(origin_text, "root /srv/updates;",
                               f"root {os.path.abspath(root)};", "origin.conf")
    origin_port = shipped_port(origin_text, "origin.conf")
    origin_ports = host(f"{out}/origin", "starter-origin.conf", origin_text,
                        True)

    edge_text = read(os.path.join(packaging, "edge.conf"))
    edge_port = shipped_port(edge_text, "edge.conf")
    edge_text = replace_once(
        edge_text, f"server updates-origin.example.net:{origin_port};",
        f"server 127.0.0.1:{origin_ports[origin_port]};", "edge.conf")
    edge_ports = host(f"{out}/edge", "starter-edge.conf", edge_text, True)

    write(f"{out}/ports", f"edge {edge_ports[edge_port]}\n"
                          f"origin {origin_ports[origin_port]}\n")


if __name__ == "__main__":
    main(sys.argv)
