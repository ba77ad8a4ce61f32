#!/usr/bin/env bash
# Rebuilds the LHA archives the binding's tests read, in tests/data/lha/:
#   nested.lzh     tests/data/lha/nested/ (plus an empty folder) packed by jlha, so its entries
#                  are compressed the way a real archiver writes them;
#   damaged.lzh    nested.lzh with one byte of docs/long.txt's compressed data changed;
#   japanese.lzh   Shift-JIS and UTF-8 names in level 0, 1 and 2 headers;
#   unsafe-*.lzh   a good file, one entry that must be refused, another good file.
# Archives no archiver writes on purpose are written byte by byte (stored, "-lh0-").
# Needs jlha (Debian's jlha-utils) and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/data/lha
command -v jlha >/dev/null || { echo "jlha not found (apt-get install jlha-utils)" >&2; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -a "$out/nested/." "$stage/"
mkdir -p "$stage/empty"
rm -f "$out/nested.lzh"
(cd "$stage" && jlha aq "$OLDPWD/$out/nested.lzh" readme.txt zero.txt a bin docs empty)

python3 - "$out" <<'PYTHON'
import struct
import sys

out = sys.argv[1]


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def extended(headers):
    """Extended headers, each followed by the size of the next (the first size comes before)."""
    body = b''
    for i, h in enumerate(headers):
        nxt = len(headers[i + 1]) + 2 if i + 1 < len(headers) else 0
        body += h + struct.pack('<H', nxt)
    first = len(headers[0]) + 2 if headers else 0
    return first, body


def level0(name, data=b'', method=b'-lh0-'):
    """The stored name is the whole path, '\\' or '/' between folders."""
    base = (method + struct.pack('<IIIBB', len(data), len(data), 0x5A8E3B20, 0x20, 0) +
            bytes([len(name)]) + name + struct.pack('<H', crc16(data)))
    return bytes([len(base), sum(base) & 0xFF]) + base + data


def level1(name, data, folder):
    """The file name in the base header, the folder (0xFF between parts) in an extended one."""
    first, ext = extended([b'\x02' + folder])
    base = (b'-lh0-' + struct.pack('<IIIBB', len(data) + len(ext), len(data), 0x5A8E3B20, 0x20, 1) +
            bytes([len(name)]) + name + struct.pack('<HBH', crc16(data), ord('M'), first))
    return bytes([len(base), sum(base) & 0xFF]) + base + ext + data


def level2(folder, name, data=b'', method=b'-lh0-'):
    """Folder and name in extended headers; the common header carries the header's CRC."""
    headers = [b'\x00\x00\x00', b'\x01' + name] + ([b'\x02' + folder] if folder else [])
    first, ext = extended(headers)
    head = bytearray(struct.pack('<H', 0) + method +
                     struct.pack('<IIIBBHBH', len(data), len(data), 1700000000, 0x20, 2,
                                 crc16(data), ord('M'), first) + ext)
    if len(head) % 256 == 0:  # a size with a zero low byte would read as the end mark
        raise ValueError('pad the name')
    head[0:2] = struct.pack('<H', len(head))
    head[27:29] = struct.pack('<H', crc16(bytes(head)))
    return bytes(head) + data


def write(name, entries):
    with open(f'{out}/{name}', 'wb') as f:
        f.write(b''.join(entries) + b'\0')


def sjis(text):
    return text.encode('cp932')


# Names whose Shift-JIS bytes hold 0x5C ('\'): ソ 83 5C, 表 95 5C, 能 94 5C.
write('japanese.lzh', [
    level0(sjis('表示\\ソフト.txt'), b'level 0 shift-jis\n'),
    level1(sjis('ソフト.txt'), b'level 1 shift-jis\n', sjis('地図表示') + b'\xff'),
    level2(sjis('基盤地図') + b'\xff' + sjis('能力') + b'\xff', sjis('ソ.txt'),
           b'level 2 shift-jis\n'),
    level2('日本語'.encode() + b'\xff', '名前.txt'.encode(), b'level 2 utf-8\n'),
    level0('道路\\標高.txt'.encode(), b'level 0 utf-8\n'),
    level2(sjis('表') + b'\xff', b'', method=b'-lhd-'),
])

before = level2(b'', b'before.txt', b'extracted before\n')
after = level2(b'', b'after.txt', b'extracted after\n')
unsafe = {
    'parent': level0(b'../escape.txt', b'escaped\n'),
    'deep-parent': level2(b'sub\xff..\xff..\xff', b'escape.txt', b'escaped\n'),
    'backslash-parent': level0(b'sub\\..\\..\\escape.txt', b'escaped\n'),
    'absolute': level2(b'\xfftmp\xffnabik-lha-absolute\xff', b'escape.txt', b'escaped\n'),
    'dos-absolute': level0(b'\\tmp\\nabik-lha-absolute\\escape.txt', b'escaped\n'),
    'drive': level0(b'C:\\escape.txt', b'escaped\n'),
    'dotdot-name': level0(b'..', b'escaped\n'),
    'nul': level0(b'..\0x/escape.txt', b'escaped\n'),
    'link': level2(b'dir\xff', b'link|/tmp', method=b'-lhd-'),
}
for kind, entry in unsafe.items():
    write(f'unsafe-{kind}.lzh', [before, entry, after])

# damaged.lzh: walk nested.lzh's level 2 headers to docs/long.txt and change a data byte.
data = bytearray(open(f'{out}/nested.lzh', 'rb').read())
at = 0
while data[at] != 0:
    size, packed = struct.unpack_from('<H', data, at)[0], struct.unpack_from('<I', data, at + 7)[0]
    if b'long.txt' in data[at:at + size]:
        data[at + size + packed // 2] ^= 0x55
        break
    at += size + packed
else:
    raise SystemExit('docs/long.txt not found in nested.lzh')
open(f'{out}/damaged.lzh', 'wb').write(bytes(data))
PYTHON
ls -l "$out"
