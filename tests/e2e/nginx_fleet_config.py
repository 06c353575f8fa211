#!/usr/bin/env python3
"""Writes runnable nginx configurations of an edge cache and its origin on
127.0.0.1 from the shipped ones in packaging/nginx/, for the fleet test and
the fleet benchmark.

Usage: nginx_fleet_config.py PACKAGING_DIR OUT_DIR EDGE_PORT ORIGIN_PORT ROOT

Writes OUT_DIR/edge/nginx.conf and OUT_DIR/origin/nginx.conf: the shipped
file with its site values replaced (each must be found exactly once, so a
change to the shipped files cannot go unnoticed), inside a main context that
keeps nginx in the foreground with its pid file, logs, temporary files and
cache below OUT_DIR. ROOT is the origin's served directory. The origin's
access log (OUT_DIR/origin/access.log) has one line per request: the path,
the status, the body bytes sent and the release the request named.
"""
import os
import sys


def site(text, replacements, name):
    for old, new in replacements:
        count = text.count(old)
        if count != 1:
            sys.exit(f"{name}: expected '{old}' once, found it {count} times")
        text = text.replace(old, new)
    return text


def main_context(out, body, workers):
    temp = "\n".join(
        f"    {kind}_temp_path {out}/temp/{kind};"
        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    # Root would run the workers as "nobody", who may not read the
    # temporary directories of the test.
    user = "user root;\n" if os.geteuid() == 0 else ""
    return f"""{user}daemon off;
master_process on;
worker_processes {workers};
pid {out}/nginx.pid;
error_log {out}/error.log notice;
events {{ worker_connections 1024; }}
http {{
{temp}
    log_format fleet '$uri $status $body_bytes_sent $http_x_checksum_list_md5';
    access_log {out}/access.log fleet;
{body}
}}
"""


def write(out, text):
    os.makedirs(f"{out}/temp", exist_ok=True)
    with open(f"{out}/nginx.conf", "w") as f:
        f.write(text)


def main(argv):
    if len(argv) != 6:
        sys.exit(__doc__)
    packaging, out, edge_port, origin_port, root = argv[1:]
    out = os.path.abspath(out)
    with open(os.path.join(packaging, "edge.conf")) as f:
        edge = site(f.read(), [
            ("/var/cache/nginx/starter-updates", f"{out}/edge/cache"),
            ("server updates-origin.example.net:80;",
             f"server 127.0.0.1:{origin_port};"),
            ("listen 80;", f"listen 127.0.0.1:{edge_port};"),
        ], "edge.conf")
    with open(os.path.join(packaging, "origin.conf")) as f:
        origin = site(f.read(), [
            ("listen 80;", f"listen 127.0.0.1:{origin_port};"),
            ("root /srv/updates;", f"root {os.path.abspath(root)};"),
        ], "origin.conf")
    # Two edge workers, so that collapsed misses are shared between
    # processes as on a real machine.
    write(f"{out}/edge", main_context(f"{out}/edge", edge, 2))
    write(f"{out}/origin", main_context(f"{out}/origin", origin, 1))


if __name__ == "__main__":
    main(sys.argv)
