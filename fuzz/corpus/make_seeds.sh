#!/usr/bin/env bash
# Writes the seed inputs of the fuzz targets. The input formats are described
# at the top of fuzz/reception_fuzz.cpp, fuzz/profile_model.h and
# fuzz/serve_fuzz.cpp.
set -euo pipefail
cd "$(dirname "$0")"

seed() {  # seed FILE HEX...
    local out=$1
    shift
    echo "$*" | xxd -r -p >"$out"
}

# Reception: 07 port button, 03 tick, 70 deliver 8 bytes, 74 click cell 8.
r=reception
# The documented status frame (relays 8 and 9 on), whole and then split 3 + 5;
# clicks on cells 8 and 9 within one tick; silence until the panel goes unknown.
seed $r/documented_frame 07 03 70 22011000000180B4 03 74 84 03 20 220110 40 00000180B4 33 33
# An echoed query and a bad checksum are dropped.
seed $r/rejected 07 03 70 5501100000000066 03 70 22011000000180B5 03 33 33
# A scan asks 0, 1 and 2; board 1 answers late, after 2 was asked, and a board
# at 9, never asked, answers too: only board 1 is found.
seed $r/late_scan_answer 07 03 0F 03 03 03 02 22011000000005 02 22091000000000 03
# Two frames in one delivery; the second waits for another notification.
seed $r/two_frames 07 03 F0 22011000000180B4 22011000 00FFFF31 0C 03 65 03
# Address texts from the table and typed.
seed $r/addresses 08 07 03 28 03 78 03 39 010200 03 C8 03
# A failed open, an open, a frame with its checksum made, all on, the device
# vanishing, reopening, all off.
seed $r/port 0A01 07 0A00 07 03 02 00011000 00AA55 03 46 03 0B 07 03 56 07 03

# Profile: two length bytes, the file, then operations. E0.. are the names
# 地址码0, 地址码1, 第1路名称, 第2路名称, 名称, 软件属性, k, K.
p=profile
gbk() { printf '%b' "$1" | iconv -f UTF-8 -t CP936 | xxd -p | tr -d '\n'; }
profile_seed() {  # profile_seed FILE CONTENT_HEX OPS_HEX...
    local out=$1 content=$2
    shift 2
    local n=$((${#content} / 2))
    seed "$out" "$(printf '%02x%02x' $((n % 256)) $((n / 256)))" "$content" "$@"
}
# A fragment of a name file: reads, a rename, a new key, a new section, a
# value of 402 bytes, a read-only file and a missing one.
profile_seed $p/name_file "$(gbk '[软件属性]\r\n名称=Tarnwick\r\n[地址码0]\r\n第1路名称=第1路\r\n第2路名称=第2路\r\n[地址码1]\r\n第1路名称=进水泵\r\n')" \
    03E1E2 03E5E4 00E1E2 03150616 05E1 00E1E3 020001 00 021205 E6 0100 16 \
    02E1E2 00 12 C8 00 0E E1E2 0100 06 E1E2 0100 1E
# Blanks, quotes, lone LF and CR, a header named 揮 (93 5D), a second [a]
# without ']' and without a final line break.
profile_seed $p/odd_layout "$(gbk 'k=0\n [ a ] \t\n K = " v " \n[揮]\r;c\r\nk='"'"'x'"'"'\r[A')" \
    03 0100 E6 03 011D E6 05 011D 00 0100 E6 0101 00 0101 E7 020D0D 05 0109 03 0109 E6
# 揮 (93 5D) as the last ']' of a header line: it closes nothing.
profile_seed $p/trail_bracket "$(gbk '[a] ; 揮\r\nk=1\r\n[揮\r\nk=2\r\n[a揮\r\nk=3')" \
    03 0100 E6 03 011D E6 03 02001D E6 00 011D E6 0101 05 011D 03 011D E6
# Refused writes: an emoji, a CR, a key with '=', a key starting with '['.
profile_seed $p/refused "" 00 0100 E6 0122 00 0100 E6 020F00 00 0100 020B00 0100 00 0100 020900 0100
# Bytes that are no GBK text and a last line without a line break.
profile_seed $p/undecodable "5b615d0d0a6b3d61ff81" 03 0100 E6 00 0100 0102 0100 03 0100 0102 03 0100 E6
# A note after a header, a commented-out key, vertical tabs, a header [a]b]
# (section a) and a last line without a line break: reads, a new key placed
# before the comment, a changed last line, a check.
profile_seed $p/windows_rules "$(gbk '[地址码1] ;旧[备用]\r\n\v第1路名称\v=\v泵\v\r\n;第2路名称=旧\r\n[a]b]\r\nk=1')" \
    03E1E2 03E1E3 00E1E3 0100 030100E6 000100E6 0106 16

# Serve: a text is a length byte and one byte a character; 00-09 are the
# digits, 0A ',' 0B '-' 0C '+' 0D ' ' 0F ':' 10 '[' 11 ']' 15 'a' 16 '_' 17 'Z'.
s=serve
# --boards 1,7,20-23, then ON for relay 3 of the first of them, OFF for relay 16
# of the second, both handed out; the same set retained.
seed $s/boards_and_sets 00 09 010A070A02000B0203 2C 00 01 0900 02 0503 03 00 00 \
    2C 00 01 0901 02 0510 03 01 01 6C 00 01 0900 02 0503 03 00 01
# Node a_Z-7; sets with a leading zero, board 256, relay 17, on the node's topic.
seed $s/node_and_bad_topics 01 05 15161700BF 2C 00 01 0607 02 0503 03 00 00 \
    2C 00 01 0701 02 0503 03 00 00 2C 00 01 0900 02 0511 03 00 01 0C 00 01 03 01 01
# --mqtt [::1]:1883 and 1.2.3.4:0 with TLS; --boards 3-1 and 1,1; numbers.
seed $s/options 02 0A 100F0F01110F01080803 0A 09 011202120312040F00 \
    00 03 030B01 00 03 010A01 03 0B 0B02010407040803060408 03 02 0C0B
# Keepalive 4 and 30, waits 1..30 s with a user and a password.
seed $s/client_options 07 040080 010080 1E0080 03 07 1E0080 010080 1E0080 03
