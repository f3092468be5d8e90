#!/usr/bin/env python3
"""Reads a ZIP archive back as an ordinary client does (Python's zipfile), for the tests.

    read_zip.py FILE                 reads FILE
    read_zip.py --fetch PORT URL OUT fetches URL from 127.0.0.1:PORT into OUT first, skipping
                                     runs of zero bytes (a sparse file stays sparse on disk)

Prints one line per member, in the archive's order: its name (UTF-8), its size, its flag
bits and external attributes in hex, and its first 32 bytes in hex; then "crc ok" once
every member's bytes were read and matched their CRC-32. Exits 1 on any failure.
"""
import http.client
import sys
import zipfile

PIECE = 1 << 20


def fetch(port, url, out):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request("GET", url, headers={"Connection": "close"})
    answer = connection.getresponse()
    if answer.status != 200:
        sys.exit("status %d" % answer.status)
    announced = int(answer.getheader("Content-Length"))
    got = 0
    zero = bytes(PIECE)
    with open(out, "wb") as file:
        while True:
            piece = answer.read(PIECE)
            if not piece:
                break
            if piece == zero[: len(piece)]:
                file.seek(len(piece), 1)
            else:
                file.write(piece)
            got += len(piece)
        file.truncate(got)
    if got != announced:
        sys.exit("got %d of %d bytes" % (got, announced))


def main():
    args = sys.argv[1:]
    if args and args[0] == "--fetch":
        fetch(int(args[1]), args[2], args[3])
        args = [args[3]]
    with zipfile.ZipFile(args[0]) as archive:
        for info in archive.infolist():
            with archive.open(info) as member:
                head = member.read(32)
            print("%s\t%d\t%04x\t%08x\t%s"
                  % (info.filename, info.file_size, info.flag_bits, info.external_attr,
                     head.hex()))
        bad = archive.testzip()
        if bad is not None:
            sys.exit("bad crc: " + bad)
    print("crc ok")


if __name__ == "__main__":
    main()
