#!/usr/bin/env bash
# Makes the seed corpus of every fuzz target with the project's own tools: small installation
# trees, the package archives and payloads built from them, a difference, an uninstall log, and
# the texts of patch lists, registry files and addresses.
#   make-corpus.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{fuzz_package_archive,fuzz_payload,fuzz_patch_list,fuzz_jojodiff,fuzz_block_expander,fuzz_uninstall_log,fuzz_registry,fuzz_address,fuzz_summary,fuzz_repair_record,fuzz_agent_client_task,fuzz_repair_manifest}

# Three versions of a small installation: files patched, added (also in a new folder) and deleted.
tree() {
  local dir=$work/$1 version=$1
  mkdir -p "$dir/bin" "$dir/data/sub"
  printf 'launcher %s\n' "$version" >"$dir/bin/Launcher.exe"
  printf 'readme of build %s\nsecond line\n' "$version" >"$dir/data/readme.txt"
  printf '\001\002\003\004' >"$dir/data/sub/values.dat"
  case $version in
    100) printf 'old only\n' >"$dir/data/gone.txt" ;;
    101) printf 'added in 101\n' >"$dir/data/added.pak"; mkdir -p "$dir/data/maps"; printf 'map\n' >"$dir/data/maps/one.map" ;;
    102) printf 'added in 101\n' >"$dir/data/added.pak"; mkdir -p "$dir/data/maps"; printf 'map 2\n' >"$dir/data/maps/one.map" ;;
  esac
}
for version in 100 101 102; do tree $version; done
"$build/zelk-mkpatch" "$work/100" "$work/101" "$work/100_to_101.zip" >/dev/null
"$build/zelk-mkpatch" "$work/101" "$work/102" "$work/101_to_102.zip" >/dev/null
cp "$work/100_to_101.zip" "$work/101_to_102.zip" "$out/fuzz_package_archive/"
# An added file longer than the pieces a block is expanded in (256 KiB), from a few compressed
# bytes, so that the reader's piece-by-piece path is in the corpus too.
cp -r "$work/101" "$work/101-large"
python3 -c "import sys; sys.stdout.write('a line of a large file\n' * 30000)" >"$work/101-large/data/large.pak"
"$build/zelk-mkpatch" "$work/100" "$work/101-large" "$out/fuzz_package_archive/large-file.zip" >/dev/null

# Payloads behind a tiny stand-in for the patcher's own image.
printf 'patcher image\n' >"$work/image"
md5() { md5sum "$1" | cut -c1-32; }
"$build/zelk-mkpayload" "$work/image" "$out/fuzz_payload/two-steps" --target 102 \
  --build "$(md5 "$work/100/bin/Launcher.exe")=100" --build "$(md5 "$work/101/bin/Launcher.exe")=101" \
  --step "100:101:$work/100_to_101.zip" --step "101:102:$work/101_to_102.zip" >/dev/null
"$build/zelk-mkpayload" "$work/image" "$out/fuzz_payload/one-step" --target 101 \
  --build "$(md5 "$work/100/bin/Launcher.exe")=100" --step "100:101:$work/100_to_101.zip" >/dev/null

# A framed block: the first record name of an archive (after its version word), from a source with
# (first byte 1) and without (0) a known size.
python3 - "$work/100_to_101.zip" "$out/fuzz_block_expander" <<'PY'
import struct, sys, zlib
archive = open(sys.argv[1], 'rb').read()
compressed, = struct.unpack_from('<I', archive, 4)
block = archive[4:12 + compressed]
for flag in (0, 1):
    open(f'{sys.argv[2]}/name-{flag}', 'wb').write(bytes([flag]) + block)
# A block that expands to several pieces.
plain = b'a line of a large block\n' * 30000
stream = zlib.compress(plain)
for flag in (0, 1):
    open(f'{sys.argv[2]}/large-{flag}', 'wb').write(bytes([flag]) + struct.pack('<II', len(stream), len(plain)) + stream)
PY

# Repair records as a server sends them: a segment's bytes raw, a compressed record carrying the
# framed block above, and the record that deletes a segment (checksum 0, no payload). The agent
# client task takes them too, and records that leave a gap before a segment, cut a file short and
# remove one.
python3 - "$work/100_to_101.zip" "$work/101/data/readme.txt" "$out/fuzz_repair_record" "$out/fuzz_agent_client_task" <<'PY'
import struct, sys
archive = open(sys.argv[1], 'rb').read()
compressed, = struct.unpack_from('<I', archive, 4)
block = archive[4:12 + compressed]
segment = open(sys.argv[2], 'rb').read()
def record(flag, name, checksum, payload):
    units = name.encode('utf-16-le')
    return (bytes([flag]) + struct.pack('<I', len(units) // 2) + units +
            struct.pack('<II', checksum, len(payload)) + payload)
raw = record(0, 'data\\readme.txt#000', 0x1234abcd, segment)
packed = record(1, 'data\\maps\\one.map#000', 0x5678ef01, block)
gone = record(0, 'data\\gone.txt#000', 0, b'')
out = sys.argv[3]
open(f'{out}/raw', 'wb').write(raw)
open(f'{out}/compressed', 'wb').write(packed)
open(f'{out}/three', 'wb').write(raw + packed + gone)
task = sys.argv[4]
open(f'{task}/three', 'wb').write(raw + packed + gone)
open(f'{task}/gap', 'wb').write(record(0, 'bin\\a.bin#000', 7, b'hello') + record(0, 'bin\\a.bin#002', 8, b'x' * 100))
open(f'{task}/cut', 'wb').write(record(0, 'data\\b.dat#000', 5, b'abc') + record(0, 'data\\b.dat#001', 0, b'') +
                                record(0, 'data\\b.dat#000', 0, b''))
PY

# A difference between two files; the old file leads the input, sized by its first byte.
head -c 96 /dev/zero | tr '\0' 'a' >"$work/old"
printf 'readme of build 100\nsecond line\n' >>"$work/old"
head -c 128 "$work/old" >"$work/old128"
{ printf 'readme of build 101\n'; head -c 60 "$work/old128"; printf 'inserted\n'; tail -c 40 "$work/old128"; } >"$work/new"
"$build/zelk-jdiff" "$work/old128" "$work/new" "$work/diff" >/dev/null
{ printf '\040'; cat "$work/old128" "$work/diff"; } >"$out/fuzz_jojodiff/modify-insert"
"$build/zelk-jdiff" "$work/old128" "$work/old128" "$work/same" >/dev/null
{ printf '\040'; cat "$work/old128" "$work/same"; } >"$out/fuzz_jojodiff/equal"

# The uninstall log of a sample installation.
"$build/zelk-mksample" "$work/sample" --version 100 >/dev/null
cp "$work/sample/unins000.dat" "$out/fuzz_uninstall_log/sample-100"

# The summary of a small installation.
"$build/zelk-segsum" "$work/101" --summary "$out/fuzz_summary/build-101" >/dev/null

# The repair manifests of two builds.
"$build/zelk-mkmanifest" "$work/101" "$work/manifest-101" --serial 7 >/dev/null
"$build/zelk-mkmanifest" "$work/102" "$work/manifest-102" >/dev/null
cp "$work/manifest-101/repair-manifest" "$out/fuzz_repair_manifest/build-101"
cp "$work/manifest-102/repair-manifest" "$out/fuzz_repair_manifest/build-102"

# Patch lists.
printf 'source-version: 100\ntarget-version: 101\npatch-exe-url: http://host/patcher\npatch-data-url: 100_to_101.zip\n\nsource-version: 101\ntarget-version: 102\npatch-exe-url: "x"\npatch-data-url: ftp://user:pw@host:2121/101_to_102.zip\n' \
  >"$out/fuzz_patch_list/two-entries"
printf 'Source-Version : 100\r\nTarget-Version: 102\r\npatch-exe-url: a\r\npatch-data-url: https://host/p.zip\r\n\r\n\r\nbroken line\r\n' \
  >"$out/fuzz_patch_list/crlf"

# Registry files.
reg=$out/fuzz_registry
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"ProductClass"="Korvil"\n"ProductInstallPath"="/opt/Korvil \\"x\\" \\\\ y"\n"IsPatching"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n@="default"\n"PatcherPageHost"="http://127.0.0.1/"\n' \
  >"$reg/plain"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n"Lines"=hex(1):6c,00,0a,00,6d,00,00,00\n"Long"=hex(2):41,00,42,00,43,00,44,00,45,00,46,00,47,00,48,00,49,00,4a,00,4b,00,4c,00,\\\n  4d,00,00,00\n[HKEY_CURRENT_USER\\Other]\n"A"="b"\n' \
  >"$reg/hex"
python3 -c "import sys; sys.stdout.buffer.write(b'\xff\xfe' + open('$reg/plain','rb').read().decode().encode('utf-16-le'))" >"$reg/utf16"
{ printf '\357\273\277'; cat "$reg/plain"; } >"$reg/bom"

# Addresses.
n=0
for address in 'ftp://user:pw@ftp.host:2121/dir/patches.txt' 'http://127.0.0.1:8080/patches/' \
  'https://host.example/p?x=1' 'host/path/file' 'user@ftp.example' 'HTTP://HOST:80' ':21/x'; do
  printf '%s' "$address" >"$out/fuzz_address/$((n++))"
done
touch "$out/made"
