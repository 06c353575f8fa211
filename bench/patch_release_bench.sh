#!/usr/bin/env bash
# Patch releases beside zstd, in one run: five releases shaped like game data
# (deterministic, seeded) published in turn with starter-publish into a
# directory nginx serves on 127.0.0.1, and the real starter updating game
# directories from them. Each release after the first changes, against the
# one before: every pack (PACK_MIB MiB each) by 200 scattered 512-byte edits
# and 1 MiB inserted, 4 of 16 compressed textures (1 MiB of random bytes,
# replaced whole), 10 of 100 scripts (a line changed, one added) and a few
# bytes of an executable (a built binary).
#
# Prints, side by side:
# - the patch bytes starter-publish made from release 2 to release 3 against
#   `zstd -3 --long=W --patch-from=OLD NEW` (W the smallest window that
#   covers both files, at least 27) for the same files, and for all changed
#   files (a file without a patch counted whole);
# - the release's compressed size (tar -cf - | zstd -3) and the bytes a
#   starter updating from release 2 to 3 moved (nginx's access log: body
#   bytes), with what the same update costs in whole files and with the
#   patches the table names (a starter that applies them moves the latter);
# - a server on release 1 updating to release 5, two releases behind the
#   oldest one kept (3): whole-file bytes, but for the files whose content
#   on release 1 a kept release still had (a patch is named by its pair of
#   contents, so it applies to them);
# - applying the pack's patch: ApplyPatch (bench/patch_bench's apply, a
#   process of its own) against `zstd -d --patch-from`, MB/s and peak
#   resident memory (/usr/bin/time -v);
# - each publish: seconds and peak resident memory (set by the largest
#   pair, not by the amount changed), and seconds per GiB of changed files;
# - the same publish and update on the demo release
#   (scripts/lib/demo_release.sh), whose module and executable change by a
#   few bytes.
#
# Usage: bench/patch_release_bench.sh BUILD_DIR
# BUILD_DIR must hold src/DUdavi, tools/starter-publish and, for the apply
# figures, bench/patch_bench (configure with -DSTARTER_BUILD_TESTS=ON
# -DSTARTER_BUILD_BENCH=ON). PACKS (default 2) and PACK_MIB (default 64) set
# the packs, ROUNDS (default 3) the paired rounds of applying; KEEP_WORK=1
# keeps the work directory. Each publish runs once: its seconds vary with
# the machine's load.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=${1:?usage: $0 BUILD_DIR}
packs=${PACKS:-2}
pack_mib=${PACK_MIB:-64}
build=$(cd "$build" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
starter=$build/src/DUdavi
publish_tool=$build/tools/starter-publish
patch_bench=$build/bench/patch_bench
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
for tool in zstd /usr/bin/time "$nginx_bin"; do
  command -v "$tool" >/dev/null ||
    { echo "needs $tool (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/patch-release-bench-XXXXXX)
chmod 755 "$work"  # run as root, nginx's workers read it as another user
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# make_tree N: the tree of release N in $work/trees/N, from release N-1's.
make_tree() {
  local n=$1 tree=$work/trees/$1
  if [ "$n" = 1 ]; then
    mkdir -p "$tree/Bin"
    cp "$starter" "$tree/Bin/velmora_tool"
    chmod 755 "$tree/Bin/velmora_tool"
  else
    cp -a "$work/trees/$(( n - 1 ))" "$tree"
  fi
  python3 - "$tree" "$n" "$packs" "$pack_mib" <<'PY'
import os, random, sys
tree, n, packs, pack_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
words = ("local function end if then return player health spawn item = + ( ) "
         "nil true for in pairs do").split()
def script(rng):
    lines, size = [], 0
    while size < 8192:
        line = " " * (rng.randrange(4) * 2) + " ".join(
            rng.choice(words) for _ in range(2 + rng.randrange(8)))
        lines.append(line)
        size += len(line) + 1
    return lines
def write(path, data, mode="wb"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode) as f:
        f.write(data)
rng = random.Random(1000 + n)
if n == 1:
    for p in range(packs):
        write(f"{tree}/Base/packs/pack{p}.pak",
              random.Random(p).randbytes(pack_mib << 20))
    for t in range(16):
        write(f"{tree}/Base/textures/tex{t:02d}.dds",
              random.Random(100 + t).randbytes(1 << 20))
    for s in range(100):
        write(f"{tree}/Base/scripts/s{s:03d}.lua",
              "\n".join(script(random.Random(200 + s))) + "\n", "w")
    sys.exit(0)
for p in range(packs):
    path = f"{tree}/Base/packs/pack{p}.pak"
    data = bytearray(open(path, "rb").read())
    for _ in range(200):
        at = rng.randrange(len(data) - 512)
        data[at:at + 512] = rng.randbytes(512)
    at = rng.randrange(len(data))
    data[at:at] = rng.randbytes(1 << 20)
    write(path, bytes(data))
for t in rng.sample(range(16), 4):
    write(f"{tree}/Base/textures/tex{t:02d}.dds", rng.randbytes(1 << 20))
for s in rng.sample(range(100), 10):
    path = f"{tree}/Base/scripts/s{s:03d}.lua"
    lines = open(path).read().splitlines()
    lines[rng.randrange(len(lines))] = f"  health = health + {n}"
    lines.insert(rng.randrange(len(lines)), "  spawn(item, nil)")
    write(path, "\n".join(lines) + "\n", "w")
path = f"{tree}/Bin/velmora_tool"
data = bytearray(open(path, "rb").read())
for _ in range(4):
    at = rng.randrange(len(data) - 4)
    data[at:at + 4] = rng.randbytes(4)
write(path, bytes(data))
os.chmod(path, 0o755)
PY
}

# seconds_and_peak TIME_REPORT: "SECONDS PEAK_KIB" of a /usr/bin/time -v
# report.
seconds_and_peak() {
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
                for (i = 1; i <= n; i++) s = s * 60 + t[i] }
              /Maximum resident set size/ { kib = $2 }
              END { printf "%.2f %d\n", s, kib }' "$1"
}

# changed_bytes OLD_LIST NEW_LIST NEW_DIR: the bytes of the files NEW_LIST
# names with another MD5 than OLD_LIST's (or that OLD_LIST lacks).
changed_bytes() {
  python3 - "$@" <<'PY'
import os, sys
def entries(path):
    lines = open(path).read().split("\n")[1:]
    return dict(l.split()[:2] for l in lines if l.strip())
old, new = entries(sys.argv[1]), entries(sys.argv[2])
print(sum(os.path.getsize(os.path.join(sys.argv[3], p))
          for p, h in new.items() if old.get(p) != h))
PY
}

# update_costs GAME_LIST RELEASE_DIR: "WHOLE PATCHED PATCHES" for a game
# directory whose version file is GAME_LIST updating to RELEASE_DIR: the
# bytes of the changed files, the bytes with each file whose pair the
# release's table names fetched as its patch, and the number of those.
update_costs() {
  python3 - "$@" <<'PY'
import os, sys
def entries(path):
    lines = open(path).read().split("\n")[1:]
    return dict(l.split()[:2] for l in lines if l.strip())
game, release = entries(sys.argv[1]), sys.argv[2]
new = entries(f"{release}/App/version.txt")
table = {}
for line in open(f"{release}/App/version.txt.files").read().split("\n")[1:]:
    if line.startswith("./.patches/"):
        path, size = line.split()[:2]
        table[path[len("./.patches/"):]] = int(size)
whole = patched = count = 0
for path, md5 in new.items():
    if game.get(path) == md5:
        continue
    size = os.path.getsize(os.path.join(release, path))
    whole += size
    patch = table.get(f"{game.get(path)}-{md5}")
    patched += size if patch is None else patch
    count += patch is not None
print(whole, patched, count)
PY
}

served=$work/server/10/linux32-dedicated-demo
mkdir -p "$work/server/10" "$work/games"
port=$(free_port)
write_nginx_conf "$work" "$port" '$request_uri $status $body_bytes_sent'
touch "$work/access.log"

# publish N [OPTIONS]: publishes tree N with starter-publish under
# /usr/bin/time -v; prints the tool's patch line and the cost per GiB of
# changed files.
publish() {
  local n=$1 seconds peak changed
  shift
  /usr/bin/time -v -o "$work/time.$n" "$publish_tool" "$@" \
    "$work/trees/$n" "$served" > "$work/publish.$n"
  read -r seconds peak < <(seconds_and_peak "$work/time.$n")
  if [ "$n" = 1 ]; then
    changed=$(du -sb --apparent-size "$served/" | awk '{ print $1 }')
  else
    changed=$(changed_bytes "$work/list.$(( n - 1 ))" "$served/App/version.txt" "$served")
  fi
  cp "$served/App/version.txt" "$work/list.$n"
  python3 - "$n" "$seconds" "$peak" "$changed" "$(grep '^Made ' "$work/publish.$n")" <<'PY'
import sys
n, seconds, peak, changed, made = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
gib = changed / 2**30
print(f"  publish {n}: {seconds:6.2f} s, peak {peak // 1024:5d} MiB, "
      f"{changed / 2**20:8.1f} MiB changed: {seconds / gib:6.1f} s per GiB; {made}")
PY
}

# update GAME: one update-only run of GAME's starter against nginx; prints
# the body bytes nginx sent for it.
update() {
  local from
  from=$(( $(wc -l < "$work/access.log") + 1 ))
  (cd "$1" && STARTER_UPDATE_URL="http://127.0.0.1:$port/10/" \
     ./DUdavi onlyautoupdate >/dev/null 2>&1)
  cmp -s "$1/App/version.txt" "$served/App/version.txt" ||
    { echo "$1 did not reach the served release" >&2; exit 1; }
  # nginx logs a request once its answer is sent: the run has ended.
  tail -n +"$from" "$work/access.log" | awk '{ bytes += $3 } END { print bytes + 0 }'
}

echo "generating 5 releases: $packs packs of $pack_mib MiB, 16 textures of 1 MiB, 100 scripts, an executable" >&2
mkdir -p "$work/trees"
for n in 1 2 3 4 5; do make_tree "$n"; done

echo "publishing (starter-publish, default --keep 2, level 3)"
publish 1
"$nginx_bin" -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log"
wait_for_url "http://127.0.0.1:$port/10/linux32-dedicated-demo/App/version.txt"
game=$work/games/live
mkdir -p "$game" && cp "$starter" "$game/DUdavi"
update "$game" >/dev/null
cp -a "$game" "$work/games/on-1"
publish 2
update "$game" >/dev/null
cp -a "$game" "$work/games/on-2"
publish 3
release3=$(readlink -f "$served")

echo
echo "patch bytes, release 2 to 3 (the same files; zstd's window the smallest power of two over both, at least 2^27)"
python3 - "$work/trees/2" "$work/trees/3" "$release3" "$work" <<'PY'
import hashlib, math, os, subprocess, sys
old_tree, new_tree, release, work = sys.argv[1:]
def md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()
patches = set(os.listdir(f"{release}/.patches"))
rows = []
for root, _, files in os.walk(new_tree):
    for name in files:
        new = os.path.join(root, name)
        old = os.path.join(old_tree, os.path.relpath(new, new_tree))
        if not os.path.exists(old):
            continue
        a, b = md5(old), md5(new)
        if a == b:
            continue
        span = os.path.getsize(old) + os.path.getsize(new)
        window = max(27, math.ceil(math.log2(span)))
        out = f"{work}/zstd.patch"
        subprocess.run(["zstd", "-q", "-f", "-3", f"--long={window}",
                        f"--patch-from={old}", new, "-o", out], check=True)
        ours = f"{a}-{b}"
        rows.append((os.path.relpath(new, new_tree), os.path.getsize(new),
                     os.path.getsize(out),
                     os.path.getsize(f"{release}/.patches/{ours}")
                     if ours in patches else None))
patched = [r for r in rows if r[3] is not None]
ours = sum(r[3] for r in patched)
theirs = sum(r[2] for r in patched)
print(f"  {len(patched)} files with a patch: starter-publish {ours} B, "
      f"zstd --patch-from {theirs} B, ratio {ours / theirs:.3f}")
kinds = {}
for path, size, z, o in rows:
    kind = path.split("/")[1] if path.startswith("Base/") else path.split("/")[0]
    k = kinds.setdefault(kind, [0, 0, 0, 0])
    k[0] += 1; k[1] += size; k[2] += z; k[3] += size if o is None else o
for kind, (count, size, z, o) in sorted(kinds.items()):
    print(f"    {kind:<9} {count:3d} files, {size:10d} B: starter-publish "
          f"{o:10d} B (whole where no patch), zstd --patch-from {z:10d} B")
total = sum(r[1] for r in rows)
sent = sum(r[1] if r[3] is None else r[3] for r in rows)
print(f"  all {len(rows)} changed files ({total} B): patch or whole file "
      f"{sent} B, zstd --patch-from for every file {sum(r[2] for r in rows)} B")
PY

compressed=$(tar -cf - -C "$work/trees/3" . | zstd -q -3 -T0 | wc -c)
wire=$(update "$game")
read -r whole patched count < <(update_costs "$work/list.2" "$release3")
echo
echo "update from release 2 to 3 (one run of the real starter, body bytes from nginx's log)"
python3 - "$compressed" "$wire" "$whole" "$patched" "$count" <<'PY'
import sys
compressed, wire, whole, patched, count = map(int, sys.argv[1:])
print(f"  release 3 compressed (tar | zstd -3): {compressed} B")
print(f"  the starter moved {wire} B = {wire / compressed:.1%} of it")
print(f"  changed files whole: {whole} B = {whole / compressed:.1%}; with the "
      f"{count} patches the table names: {patched} B = {patched / compressed:.1%}")
print("  (a starter that fetches patches moves the latter, plus the table)")
PY

publish 4
publish 5
release5=$(readlink -f "$served")
wire=$(update "$work/games/on-1")
read -r whole patched count < <(update_costs "$work/list.1" "$release5")
echo
echo "update from release 1 to 5, two releases behind the oldest kept (3)"
echo "  the starter moved $wire B; changed files whole $whole B; with patches $patched B"
echo "  ($count patches apply: files whose release-1 content a kept release still had, so the pair is the same)"

echo
if [ -x "$patch_bench" ]; then
  pack=Base/packs/pack0.pak
  patch=$(python3 - "$work/trees/2/$pack" "$work/trees/3/$pack" <<'PY'
import hashlib, sys
print("-".join(hashlib.md5(open(p, "rb").read()).hexdigest() for p in sys.argv[1:]))
PY
)
  size=$(stat -c %s "$work/trees/3/$pack")
  # Paired rounds, ours then the tool's, each decoding into a new file; the
  # best time and the largest peak of each.
  ours_s=1e9 ours_kib=0 zstd_s=1e9 zstd_kib=0
  for _ in $(seq "${ROUNDS:-3}"); do
    rm -f "$work/applied" && sync
    /usr/bin/time -v -o "$work/time.apply" "$patch_bench" apply \
      "$work/trees/2/$pack" "$release3/.patches/$patch" "$work/applied" "$size" >/dev/null
    cmp -s "$work/applied" "$work/trees/3/$pack" || { echo "ApplyPatch decoded other bytes" >&2; exit 1; }
    read -r s kib < <(seconds_and_peak "$work/time.apply")
    read -r ours_s ours_kib < <(python3 -c "import sys; a = sys.argv[1:]; print(min(float(a[0]), float(a[2])), max(int(a[1]), int(a[3])))" "$ours_s" "$ours_kib" "$s" "$kib")
    rm -f "$work/applied" && sync
    /usr/bin/time -v -o "$work/time.zstd" zstd -q -f -d --long=30 \
      "--patch-from=$work/trees/2/$pack" "$release3/.patches/$patch" -o "$work/applied"
    cmp -s "$work/applied" "$work/trees/3/$pack" || { echo "zstd decoded other bytes" >&2; exit 1; }
    read -r s kib < <(seconds_and_peak "$work/time.zstd")
    read -r zstd_s zstd_kib < <(python3 -c "import sys; a = sys.argv[1:]; print(min(float(a[0]), float(a[2])), max(int(a[1]), int(a[3])))" "$zstd_s" "$zstd_kib" "$s" "$kib")
  done
  python3 - "$size" "$ours_s" "$ours_kib" "$zstd_s" "$zstd_kib" <<'PY'
import sys
size, ours_s, ours_kib, zstd_s, zstd_kib = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
mb = size / 1e6
print(f"applying the pack's patch ({size} B decoded; best of paired rounds, /usr/bin/time -v, 10 ms resolution)")
print(f"  ApplyPatch (patch_bench apply) {mb / max(ours_s, 0.01):7.0f} MB/s, peak {ours_kib // 1024} MiB")
print(f"  zstd -d --patch-from           {mb / max(zstd_s, 0.01):7.0f} MB/s, peak {zstd_kib // 1024} MiB")
PY
else
  echo "no $patch_bench: configure with -DSTARTER_BUILD_BENCH=ON for the apply figures"
fi

# The demo release: the sample module and an executable, changed by a few
# bytes, and a few small files.
if [ -f "$build/examples/libVelmora_dedi.so" ] && [ -x "$build/tools/starter-untar" ] &&
   [ -x "$build/tools/starter-checksums" ]; then
  source "$source_dir/scripts/lib/demo_release.sh"
  echo
  echo "the demo release (scripts/lib/demo_release.sh), 2 releases"
  served=$work/server/10/demo/linux32-dedicated-demo
  mkdir -p "$(dirname "$served")"
  for n in 1 2; do
    tree=$work/trees/demo-$n
    publish_demo_release "$tree" "$build/examples/libVelmora_dedi.so" \
      "$build/tools/starter-untar" "$build/tools/starter-checksums" >/dev/null
    rm -f "$tree/App/version.txt"
    if [ "$n" = 2 ]; then
      python3 - "$tree/libVelmora_dedi.so" "$tree/OKUdedi" <<'PY'
import random, sys
rng = random.Random(7)
for path in sys.argv[1:]:
    data = bytearray(open(path, "rb").read())
    for _ in range(4):
        at = rng.randrange(len(data) - 4)
        data[at:at + 4] = rng.randbytes(4)
    open(path, "wb").write(bytes(data))
PY
      echo "release 2 of the demo" > "$tree/Base/motd.txt"
    fi
  done
  /usr/bin/time -v -o "$work/time.demo" "$publish_tool" "$work/trees/demo-1" "$served" >/dev/null
  /usr/bin/time -v -o "$work/time.demo" "$publish_tool" "$work/trees/demo-2" "$served" > "$work/publish.demo"
  read -r seconds peak < <(seconds_and_peak "$work/time.demo")
  echo "  publish 2: $seconds s, peak $(( peak / 1024 )) MiB; $(grep '^Made ' "$work/publish.demo")"
  release=$(readlink -f "$served")
  ours=0; theirs=0
  for patch in "$release"/.patches/*; do
    [ -f "$patch" ] || continue
    ours=$(( ours + $(stat -c %s "$patch") ))
  done
  for file in libVelmora_dedi.so OKUdedi; do
    zstd -q -f -3 --long=27 "--patch-from=$work/trees/demo-1/$file" \
      "$work/trees/demo-2/$file" -o "$work/zstd.patch"
    theirs=$(( theirs + $(stat -c %s "$work/zstd.patch") ))
  done
  compressed=$(tar -cf - -C "$work/trees/demo-2" . | zstd -q -3 | wc -c)
  echo "  patches: starter-publish $ours B, zstd --patch-from (module and executable) $theirs B; release compressed $compressed B"
else
  echo "no demo release: $build lacks the sample module or the tools"
fi
